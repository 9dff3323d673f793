// What differs between hosts: byte order, the strerror_r variant, Linux-only memory
// calls and the 128-bit multiply. Everything else in the core is plain C++ and POSIX.
#pragma once

#include <sys/mman.h>

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace vornel::port {

// Loads in a given byte order through memcpy: legal at any alignment, and a single load
// plus a byte swap (or nothing, where the host's order is that one) once optimised.
template <class T, std::endian Order>
inline T load_ordered(const uint8_t* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  if constexpr (std::endian::native != Order) v = std::byteswap(v);
  return v;
}

// Big-endian, the order of every integer in a store file.
template <class T>
inline T load_be(const uint8_t* p) {
  return load_ordered<T, std::endian::big>(p);
}
template <class T>
inline void store_be(uint8_t* p, T v) {
  if constexpr (std::endian::native == std::endian::little) v = std::byteswap(v);
  std::memcpy(p, &v, sizeof v);
}

// Little-endian, for values that must not depend on the host, such as a hash that a
// file stores the results of.
template <class T>
inline T load_le(const uint8_t* p) {
  return load_ordered<T, std::endian::little>(p);
}

// The system's message for `errnum`, whichever strerror_r the C library declares.
inline std::string error_message(int errnum) {
  char buf[256];
  buf[0] = '\0';
#if defined(__GLIBC__) && defined(_GNU_SOURCE)
  // glibc's variant may return a static string instead of filling buf.
  return std::string(strerror_r(errnum, buf, sizeof buf));
#else
  if (strerror_r(errnum, buf, sizeof buf) != 0) return "Unknown error " + std::to_string(errnum);
  return std::string(buf);
#endif
}

// The high 64 bits of the 128-bit product a * b, from 32-bit halves: what hosts
// without a 128-bit integer type use, kept visible so that tests can compare it.
constexpr uint64_t mul_high_portable(uint64_t a, uint64_t b) {
  const uint64_t a_lo = a & 0xFFFFFFFF, a_hi = a >> 32;
  const uint64_t b_lo = b & 0xFFFFFFFF, b_hi = b >> 32;
  const uint64_t lo_lo = a_lo * b_lo, hi_lo = a_hi * b_lo, lo_hi = a_lo * b_hi;
  // Cannot overflow: at most (2^32 - 1) + (2^32 - 1) + (2^32 - 1)^2 = 2^64 - 1.
  const uint64_t cross = (lo_lo >> 32) + (hi_lo & 0xFFFFFFFF) + lo_hi;
  return a_hi * b_hi + (hi_lo >> 32) + (cross >> 32);
}

// The high 64 bits of the 128-bit product a * b.
inline uint64_t mul_high(uint64_t a, uint64_t b) {
#ifdef __SIZEOF_INT128__
  return static_cast<uint64_t>((static_cast<unsigned __int128>(a) * b) >> 64);
#else
  return mul_high_portable(a, b);
#endif
}

// Both halves of the 128-bit product a * b.
inline void mul_wide(uint64_t a, uint64_t b, uint64_t* lo, uint64_t* hi) {
#ifdef __SIZEOF_INT128__
  const unsigned __int128 r = static_cast<unsigned __int128>(a) * b;
  *lo = static_cast<uint64_t>(r);
  *hi = static_cast<uint64_t>(r >> 64);
#else
  *lo = a * b;
  *hi = mul_high(a, b);
#endif
}

// Asks for huge pages on [p, p + n); only a hint, so hosts without it do nothing.
inline void advise_huge_pages(void* p, size_t n) {
#ifdef MADV_HUGEPAGE
  (void)::madvise(p, n, MADV_HUGEPAGE);
#else
  (void)p;
  (void)n;
#endif
}

// Moves an anonymous private mapping of `old_size` bytes to one of `new_size` bytes,
// keeping its contents: pages are remapped where the system can, copied otherwise.
// Returns MAP_FAILED, leaving the old mapping intact, when there is no memory.
inline void* grow_mapping(void* old, size_t old_size, size_t new_size) {
#ifdef MREMAP_MAYMOVE
  return ::mremap(old, old_size, new_size, MREMAP_MAYMOVE);
#else
  void* p = ::mmap(nullptr, new_size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return p;
  std::memcpy(p, old, old_size);
  ::munmap(old, old_size);
  return p;
#endif
}

}  // namespace vornel::port
