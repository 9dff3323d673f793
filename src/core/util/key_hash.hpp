// The one keyed hash of key bytes: the writer's staging map and the reader's index key it
// with a seed drawn once per process; the persisted key table with a seed that it
// stores, so its words load in a fixed byte order and give the same hash on every host.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "util/port.hpp"

namespace vornel {

// Random per-process secrets that key the hash, so that no file can be crafted to
// make every key collide.
struct HashSeed {
  uint64_t s0;
  uint64_t s1;
};

// A new seed from std::random_device (or the clock, where there is none).
HashSeed fresh_hash_seed();

// fresh_hash_seed(), drawn once on first use; thread-safe.
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
  // Little-endian whatever the host: free where most hosts are, and hashes stay stable.
  static uint64_t load64(const uint8_t* p) { return port::load_le<uint64_t>(p); }
  static uint64_t load32(const uint8_t* p) { return port::load_le<uint32_t>(p); }
};

}  // namespace vornel
