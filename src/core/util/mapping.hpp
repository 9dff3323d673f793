// Ownership of a read-only shared memory mapping of a whole file.
#pragma once

#include <sys/mman.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>

#include "util/store_error.hpp"

namespace vornel {

// Unmaps what it owns when it goes out of scope.
class FileMapping {
 public:
  FileMapping() = default;
  FileMapping(FileMapping&& other) noexcept
      : addr_(std::exchange(other.addr_, nullptr)), length_(std::exchange(other.length_, 0)) {}
  FileMapping& operator=(FileMapping&& other) noexcept {
    if (this != &other) {
      reset();
      addr_ = std::exchange(other.addr_, nullptr);
      length_ = std::exchange(other.length_, 0);
    }
    return *this;
  }
  FileMapping(const FileMapping&) = delete;
  FileMapping& operator=(const FileMapping&) = delete;
  ~FileMapping() { reset(); }

  // Maps the first `length` bytes of `fd` read-only and shared; a failure is
  // StoreError::os. The system refuses a mapping of length 0, so the caller passes at
  // least 1.
  [[nodiscard]] static Result<FileMapping> map(int fd, size_t length) {
    void* addr = ::mmap(nullptr, length, PROT_READ, MAP_SHARED, fd, 0);
    if (addr == MAP_FAILED) return fail(StoreError::os(errno));
    FileMapping m;
    m.addr_ = addr;
    m.length_ = length;
    enroll(addr, length);
    return m;
  }

  // The file offset that `addr` has in some live mapping, or nullopt. For messages
  // about a fault, which know only the address.
  static std::optional<uint64_t> offset_of(const void* addr);

  const uint8_t* data() const { return static_cast<const uint8_t*>(addr_); }

 private:
  static void enroll(const void* addr, size_t length);
  static void withdraw(const void* addr);

  void reset() {
    if (addr_ != nullptr) {
      withdraw(addr_);
      ::munmap(addr_, length_);
    }
    addr_ = nullptr;
    length_ = 0;
  }

  void* addr_ = nullptr;
  size_t length_ = 0;
};

}  // namespace vornel
