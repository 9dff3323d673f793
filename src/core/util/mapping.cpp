#include "util/mapping.hpp"

#include <algorithm>
#include <mutex>
#include <vector>

namespace vornel {
namespace {

struct Live {
  uintptr_t start;
  size_t length;
};

std::mutex g_mutex;
std::vector<Live>& live() {
  static std::vector<Live>* mappings = new std::vector<Live>();  // outlives every reader
  return *mappings;
}

}  // namespace

void FileMapping::enroll(const void* addr, size_t length) {
  std::lock_guard lock(g_mutex);
  live().push_back({reinterpret_cast<uintptr_t>(addr), length});
}

void FileMapping::withdraw(const void* addr) {
  std::lock_guard lock(g_mutex);
  auto& all = live();
  const auto it = std::find_if(all.begin(), all.end(), [&](const Live& m) {
    return m.start == reinterpret_cast<uintptr_t>(addr);
  });
  if (it != all.end()) {
    *it = all.back();
    all.pop_back();
  }
}

std::optional<uint64_t> FileMapping::offset_of(const void* addr) {
  const auto at = reinterpret_cast<uintptr_t>(addr);
  std::lock_guard lock(g_mutex);
  for (const Live& m : live()) {
    if (at >= m.start && at - m.start < m.length) return at - m.start;
  }
  return std::nullopt;
}

}  // namespace vornel
