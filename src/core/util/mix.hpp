// splitmix64's finaliser, the one bit mixer that the core's hashes of small numbers
// share (seeds, samples, record offsets, payload keys).
#pragma once

#include <cstdint>

namespace vornel {

// splitmix64's increment, the golden ratio's 64-bit fraction.
inline constexpr uint64_t kGoldenGamma = 0x9E3779B97F4A7C15;

// A bijection of 64 bits in which each output bit depends on every input bit.
constexpr uint64_t mix64(uint64_t z) {
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EB;
  return z ^ (z >> 31);
}

}  // namespace vornel
