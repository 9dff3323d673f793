// The checksum of records and of the whole file: the reflected CRC-32 over
// 0xEDB88320 with all-ones preset and final XOR, so values equal zlib's crc32, which
// the tests check against.
//
// The fastest kernel the CPU supports is picked once, at first use; the portable table kernel is
// always there. The kernels are exposed so that tests and benchmarks can run each one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace vornel {

// Returns the CRC-32 of A‖data, given the CRC-32 of A (0 for nothing).
uint32_t crc32_extend(uint32_t crc, const uint8_t* data, size_t n);

inline uint32_t crc32(const uint8_t* data, size_t n) { return crc32_extend(0, data, n); }

// Returns the CRC-32 of A‖B from the CRC-32 of A, that of B and B's length, without B's
// bytes: a piece whose CRC is already known is not read again.
uint32_t crc32_combine(uint32_t crc_a, uint32_t crc_b, uint64_t length_b);

// Kernels from slowest to fastest; the fastest supported one is active.
enum class Crc32Kernel {
  Table,     // slice-by-8 tables, portable
  Clmul,     // x86 PCLMULQDQ folding, 4 x 128-bit lanes
  Clmul256,  // x86 VPCLMULQDQ on AVX2 registers, 4 x 256-bit lanes
  Clmul512,  // x86 VPCLMULQDQ on AVX-512 registers, 4 x 512-bit lanes
};

inline constexpr Crc32Kernel kAllCrc32Kernels[] = {Crc32Kernel::Table, Crc32Kernel::Clmul,
                                                   Crc32Kernel::Clmul256, Crc32Kernel::Clmul512};

// True if this CPU (and OS) can run the kernel.
bool crc32_kernel_supported(Crc32Kernel kernel);

// The kernel that crc32_extend uses on this machine.
Crc32Kernel crc32_active_kernel();

// crc32_extend with the given kernel; an unsupported kernel computes with the table instead.
uint32_t crc32_extend_with(Crc32Kernel kernel, uint32_t crc, const uint8_t* data, size_t n);

std::string_view crc32_kernel_name(Crc32Kernel kernel);

// Bytes to checksum and, once crc32_each has run, their CRC-32.
struct Crc32Job {
  const uint8_t* data = nullptr;
  size_t size = 0;
  uint32_t crc = 0;
};

// Sets the crc of each of the n jobs. Small inputs such as records cost mostly the latency of
// one chain of carry-less products; here the chains of several jobs run side by side.
void crc32_each(Crc32Job* jobs, size_t n);

// crc32_each with the given kernel; an unsupported kernel computes with the table instead.
void crc32_each_with(Crc32Kernel kernel, Crc32Job* jobs, size_t n);

}  // namespace vornel
