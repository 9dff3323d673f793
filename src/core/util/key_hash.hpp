// The keyed hash of the in-memory key maps (the writer's staging map and the reader's
// index), seeded once per process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "port.hpp"

namespace vornel {

// Random per-process secrets that key the hash, so that no file can be crafted to
// make every key collide.
struct HashSeed {
  uint64_t s0;
  uint64_t s1;
};

// Drawn from std::random_device on first use; thread-safe.
const HashSeed& process_hash_seed();

// A multiply-mix hash over 8-byte words, keyed by a HashSeed.
struct KeyHash {
  HashSeed seed = process_hash_seed();

  uint64_t operator()(const uint8_t* p, size_t n) const {
    constexpr uint64_t k0 = 0x9E3779B97F4A7C15;
    constexpr uint64_t k1 = 0xC2B2AE3D27D4EB4F;
    const uint64_t len = n;
    uint64_t h = seed.s0 ^ (len * k0);
    while (n > 16) {
      h = mix(load64(p) ^ seed.s1, load64(p + 8) ^ h);
      p += 16;
      n -= 16;
    }
    // The last 1..16 bytes, read with overlapping loads; the length is already in h.
    uint64_t a = 0;
    uint64_t b = 0;
    if (n > 8) {
      a = load64(p);
      b = load64(p + n - 8);
    } else if (n >= 4) {
      a = load32(p);
      b = load32(p + n - 4);
    } else if (n > 0) {
      a = (uint64_t{p[0]} << 16) | (uint64_t{p[n >> 1]} << 8) | p[n - 1];
    }
    uint64_t lo, hi;
    port::mul_wide(a ^ seed.s1, b ^ h, &lo, &hi);
    return mix(lo ^ k0 ^ len, hi ^ k1);
  }

 private:
  static uint64_t mix(uint64_t a, uint64_t b) {
    uint64_t lo, hi;
    port::mul_wide(a, b, &lo, &hi);
    return lo ^ hi;
  }
  // Native byte order: only the hash sees these values.
  static uint64_t load64(const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
  }
  static uint64_t load32(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
  }
};

}  // namespace vornel
