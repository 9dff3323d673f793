#include "util/key_hash.hpp"

#include <chrono>
#include <random>

namespace vornel {

HashSeed fresh_hash_seed() {
  HashSeed seed{};
  try {
    std::random_device rd;
    seed.s0 = (uint64_t{rd()} << 32) ^ rd();
    seed.s1 = (uint64_t{rd()} << 32) ^ rd();
  } catch (...) {
    // No entropy source: the clock and an address still differ between processes.
    const auto now = static_cast<uint64_t>(
        std::chrono::steady_clock::now().time_since_epoch().count());
    seed.s0 = now * 0x9E3779B97F4A7C15;
    seed.s1 = reinterpret_cast<uintptr_t>(&seed) * 0xC2B2AE3D27D4EB4F ^ now;
  }
  return seed;
}

const HashSeed& process_hash_seed() {
  static const HashSeed seed = fresh_hash_seed();
  return seed;
}

}  // namespace vornel
