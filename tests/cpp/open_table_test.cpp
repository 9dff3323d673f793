// The pieces the open-addressing tables share, the offset set, and the portable
// 128-bit multiply, each against a plain model.
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <random>
#include <set>
#include <vector>

#include "util/offset_set.hpp"
#include "util/open_table.hpp"
#include "util/port.hpp"

namespace vornel {
namespace {

TEST(MulHigh, PortableFormMatchesTheWideProduct) {
  std::mt19937_64 rng(7);
  std::vector<uint64_t> values = {0, 1, 2, 0xFFFFFFFF, 0x100000000, UINT64_MAX, UINT64_MAX - 1,
                                  0x8000000000000000};
  for (int i = 0; i < 2000; ++i) values.push_back(rng() >> (rng() % 64));
  for (uint64_t a : values) {
    for (size_t j = 0; j < 16; ++j) {
      const uint64_t b = values[(j * 131 + a) % values.size()];
#ifdef __SIZEOF_INT128__
      const auto wide = static_cast<unsigned __int128>(a) * b;
      ASSERT_EQ(port::mul_high_portable(a, b), static_cast<uint64_t>(wide >> 64)) << a << " " << b;
#endif
      uint64_t lo, hi;
      port::mul_wide(a, b, &lo, &hi);
      ASSERT_EQ(lo, a * b);
      ASSERT_EQ(hi, port::mul_high_portable(a, b));
    }
  }
}

TEST(OpenTable, HomeCoversEveryTableSizeWithoutLeavingIt) {
  for (size_t n : {1u, 3u, 16u, 1000u}) {
    std::set<size_t> hit;
    for (uint64_t h = 0; h < 64 * n; ++h) {
      const size_t i = open_table::home(h * (UINT64_MAX / (64 * n)), n);
      ASSERT_LT(i, n);
      hit.insert(i);
    }
    EXPECT_EQ(hit.size(), n);  // high bits spread over all of the table
    EXPECT_EQ(open_table::next(n - 1, n), 0u);
  }
}

TEST(OpenTable, SlotWordsKeepTagAndPositionApart) {
  using Slot = open_table::TaggedSlot<40>;
  for (uint64_t hash : {uint64_t{0}, UINT64_MAX, uint64_t{0x123456789ABCDEF0}}) {
    for (uint64_t pos : {uint64_t{0}, Slot::kMaxPosition, uint64_t{12345}}) {
      const uint64_t s = Slot::make(hash, pos);
      EXPECT_NE(s, 0u);  // position 0 with tag 0 is still an occupied slot
      EXPECT_EQ(Slot::position_of(s), pos);
      EXPECT_EQ(Slot::tag_of(s), Slot::tag(hash));
      EXPECT_EQ(Slot::tag(hash), hash & 0xFFFFFF);
    }
  }
}

// A set of small integers on the shared pieces, with a hash that the test chooses.
struct ModelTable {
  using Slot = open_table::TaggedSlot<48>;
  std::vector<uint64_t> slots;
  std::vector<uint64_t> keys;
  uint64_t (*hash)(uint64_t);

  size_t probe(uint64_t key, int* compared) const {
    return open_table::probe<Slot>(slots.data(), slots.size(), hash(key), [&](uint64_t pos, size_t) {
      ++*compared;
      return keys[pos] == key;
    });
  }
  bool insert(uint64_t key) {
    int compared = 0;
    const size_t i = probe(key, &compared);
    if (slots[i] != 0) return false;
    keys.push_back(key);
    slots[i] = Slot::make(hash(key), keys.size() - 1);
    return true;
  }
  bool contains(uint64_t key, int* compared) const { return slots[probe(key, compared)] != 0; }
};

TEST(OpenTable, ProbeFindsEveryKeyUnderCollisionsAndWrapAround) {
  // All keys share the last home slot, so every run wraps; half share one tag.
  auto colliding = +[](uint64_t k) -> uint64_t { return (UINT64_MAX & ~uint64_t{0xFFFF}) | (k % 2); };
  auto spread = +[](uint64_t k) -> uint64_t { return k * 0x9E3779B97F4A7C15; };
  for (auto hash : {colliding, spread}) {
    ModelTable t{std::vector<uint64_t>(67, 0), {}, hash};
    std::set<uint64_t> model;
    std::mt19937_64 rng(3);
    for (int i = 0; i < 50; ++i) {
      const uint64_t k = rng() % 80;
      EXPECT_EQ(t.insert(k), model.insert(k).second) << k;
    }
    for (uint64_t k = 0; k < 100; ++k) {
      int compared = 0;
      EXPECT_EQ(t.contains(k, &compared), model.count(k) == 1) << k;
      if (hash == spread) {
        EXPECT_LE(compared, 2) << k;  // the tag spares most comparisons
      }
    }
  }
}

TEST(OffsetSet, MatchesAModelIncludingTheSentinelValue) {
  std::mt19937_64 rng(11);
  std::vector<uint64_t> values = {0, UINT64_MAX, UINT64_MAX - 1, 40};
  for (int i = 0; i < 3000; ++i) values.push_back(rng() % 500 * 40);  // many repeats
  OffsetSet set(values.size());
  std::set<uint64_t> model;
  for (uint64_t v : values) EXPECT_EQ(set.insert(v), model.insert(v).second) << v;
  for (uint64_t v : values) EXPECT_FALSE(set.insert(v));
}

}  // namespace
}  // namespace vornel
