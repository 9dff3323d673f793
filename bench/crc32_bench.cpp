// Throughput of every supported CRC-32 kernel against zlib's crc32, measured in the same run.
//
// For each buffer size, the contenders take turns for a few trials (so that a burst of load on the
// machine hits them alike); each one's best trial counts.
// Prints GB/s (10^9 bytes per second) and the ratio to zlib. Measures only; never judges.
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "util/crc32.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using CrcFn = std::function<uint32_t(const uint8_t*, size_t)>;

constexpr double kTrialSeconds = 0.25;
constexpr int kTrials = 3;

uint32_t sink = 0;  // every result goes here and is printed, so no call can be optimised away

// Throughput in GB/s of one trial: calls for at least kTrialSeconds, reading the clock only once
// per 64 KiB or so, so that it does not weigh on small buffers.
double measure(const CrcFn& fn, const uint8_t* data, size_t n) {
  const size_t batch = std::max<size_t>(1, (size_t{64} << 10) / std::max<size_t>(n, 1));
  size_t rounds = 0;
  const auto start = Clock::now();
  double elapsed = 0;
  do {
    for (size_t i = 0; i < batch; ++i) sink += fn(data, n);
    rounds += batch;
    elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  } while (elapsed < kTrialSeconds);
  return static_cast<double>(rounds) * static_cast<double>(n) / elapsed / 1e9;
}

std::string size_name(size_t n) {
  if (n >= (1u << 20) && n % (1u << 20) == 0) return std::to_string(n >> 20) + " MiB";
  if (n >= (1u << 10) && n % (1u << 10) == 0) return std::to_string(n >> 10) + " KiB";
  return std::to_string(n) + " B";
}

// Records as verify() meets them: many short inputs, each behind an 8-byte prefix, in a
// 64 KiB stretch that stays in the cache. One crc32 call per record against crc32_each over
// batches of 64, in nanoseconds per record.
void records(const uint8_t* data) {
  constexpr size_t kSpan = size_t{64} << 10;
  constexpr size_t kBatch = 64;
  std::printf("%-10s %-16s %10s %10s\n", "record", "path", "ns/record", "x one by one");
  for (size_t size : {size_t{20}, size_t{100}, size_t{200}}) {
    std::vector<vornel::Crc32Job> jobs;
    for (size_t at = 8; at + size <= kSpan; at += size + 8) jobs.push_back({data + at, size, 0});
    const CrcFn one_by_one = [&](const uint8_t*, size_t) {
      uint32_t all = 0;
      for (const auto& j : jobs) all += vornel::crc32(j.data, j.size);
      return all;
    };
    const CrcFn batched = [&](const uint8_t*, size_t) {
      uint32_t all = 0;
      for (size_t i = 0; i < jobs.size(); i += kBatch) {
        vornel::crc32_each(jobs.data() + i, std::min(kBatch, jobs.size() - i));
      }
      for (const auto& j : jobs) all += j.crc;
      return all;
    };
    double best_one = 0, best_batched = 0;
    for (int trial = 0; trial < kTrials; ++trial) {
      best_one = std::max(best_one, measure(one_by_one, data, kSpan));
      best_batched = std::max(best_batched, measure(batched, data, kSpan));
    }
    // measure() counts kSpan bytes a call; a call covers jobs.size() records.
    const auto ns = [&](double gbps) { return kSpan / gbps / static_cast<double>(jobs.size()); };
    std::printf("%-10s %-16s %10.2f %10.2f\n", size_name(size).c_str(), "one by one",
                ns(best_one), 1.0);
    std::printf("%-10s %-16s %10.2f %10.2f\n", size_name(size).c_str(), "crc32_each",
                ns(best_batched), ns(best_batched) / ns(best_one));
  }
  std::printf("\n");
}

}  // namespace

// Usage: crc32_bench [size in bytes]...  (default: 64 B, 256 B, 4 KiB, 1 MiB, 256 MiB)
int main(int argc, char** argv) {
  using vornel::Crc32Kernel;
  std::vector<size_t> sizes = {size_t{64}, size_t{256}, size_t{4} << 10, size_t{1} << 20,
                               size_t{256} << 20};
  if (argc > 1) {
    sizes.clear();
    for (int i = 1; i < argc; ++i) sizes.push_back(std::stoull(argv[i]));
  }

  // One buffer of pseudo-random bytes, 64-byte aligned plus one byte, so every kernel sees an
  // unaligned start as real records do.
  std::vector<uint8_t> storage(*std::max_element(sizes.begin(), sizes.end()) + 64 + 1);
  uint64_t state = 0x9E3779B97F4A7C15;
  for (auto& b : storage) {
    state ^= state << 13, state ^= state >> 7, state ^= state << 17;
    b = static_cast<uint8_t>(state);
  }
  const auto base = reinterpret_cast<uintptr_t>(storage.data());
  const uint8_t* data = storage.data() + ((64 - base % 64) % 64) + 1;

  struct Contender {
    std::string name;
    CrcFn fn;
  };
  std::vector<Contender> contenders;
  contenders.push_back({"zlib", [](const uint8_t* p, size_t n) {
                          return static_cast<uint32_t>(crc32_z(0, p, n));
                        }});
  for (Crc32Kernel k : vornel::kAllCrc32Kernels) {
    if (!vornel::crc32_kernel_supported(k)) continue;
    contenders.push_back({std::string(vornel::crc32_kernel_name(k)),
                          [k](const uint8_t* p, size_t n) {
                            return vornel::crc32_extend_with(k, 0, p, n);
                          }});
  }
  contenders.push_back({"crc32 (active)", [](const uint8_t* p, size_t n) {
                          return vornel::crc32(p, n);
                        }});

  const std::string active(vornel::crc32_kernel_name(vornel::crc32_active_kernel()));
  std::printf("active kernel: %s\n\n", active.c_str());
  std::printf("%-10s %-16s %10s %10s\n", "size", "kernel", "GB/s", "x zlib");
  for (size_t n : sizes) {
    std::vector<double> best(contenders.size(), 0.0);
    for (int trial = 0; trial < kTrials; ++trial) {
      for (size_t i = 0; i < contenders.size(); ++i)
        best[i] = std::max(best[i], measure(contenders[i].fn, data, n));
    }
    const double zlib_rate = best[0];  // contenders[0] is zlib
    for (size_t i = 0; i < contenders.size(); ++i) {
      std::printf("%-10s %-16s %10.2f %10.2f\n", size_name(n).c_str(),
                  contenders[i].name.c_str(), best[i], best[i] / zlib_rate);
    }
    std::printf("\n");
    std::fflush(stdout);
  }
  records(data);
  std::printf("(sum of all results: %08x)\n", sink);
  return 0;
}
