// The key index under hash collisions, which a random seed never produces on demand.
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "read/key_index.hpp"

namespace vornel {
namespace {

Bytes as_bytes(const std::string& s) {
  return Bytes(reinterpret_cast<const uint8_t*>(s.data()), s.size());
}

std::string as_string(Bytes b) { return std::string(b.begin(), b.end()); }

// Every key in one slot with one tag: each lookup must fall back to comparing keys.
struct ConstantHash {
  uint64_t operator()(const uint8_t*, size_t) const { return 0x1234567800000005; }
};

// Keys spread over few slots with few tags: long probe runs that wrap the table.
struct CoarseHash {
  uint64_t operator()(const uint8_t* p, size_t n) const {
    uint64_t v = n;
    for (size_t i = 0; i < n; ++i) v += p[i];
    return ((v % 3) << 32) | (~uint64_t{0} - v % 5);
  }
};

// An index section holding `entries` in the given order.
std::vector<uint8_t> encode_section(const std::vector<std::pair<std::string, uint64_t>>& entries) {
  std::vector<uint8_t> out;
  for (const auto& [k, off] : entries) {
    uint8_t field[kOffsetSize];
    store_be16(field, static_cast<uint16_t>(k.size()));
    out.insert(out.end(), field, field + kKeyLenSize);
    out.insert(out.end(), k.begin(), k.end());
    store_be64(field, off);
    out.insert(out.end(), field, field + kOffsetSize);
  }
  return out;
}

template <class Hash>
BasicKeyIndex<Hash> make_index(const std::vector<std::pair<std::string, uint64_t>>& entries) {
  std::vector<uint8_t> section = encode_section(entries);
  BasicKeyIndex<Hash> index(Bytes(section), entries.size());
  section.assign(section.size(), 0xEE);  // the index holds a copy of its own
  return index;
}

template <class Hash>
void expect_matches_model(const BasicKeyIndex<Hash>& index,
                          const std::vector<std::pair<std::string, uint64_t>>& entries,
                          const std::vector<std::string>& absent) {
  std::map<std::string, uint64_t> last;
  for (const auto& [k, off] : entries) last[k] = off;
  ASSERT_EQ(index.size(), entries.size());
  for (size_t i = 0; i < entries.size(); ++i) {
    EXPECT_EQ(as_string(index.key_at(i)), entries[i].first);
    EXPECT_EQ(index.offset_at(i), entries[i].second);
  }
  const uint8_t records[1] = {0};  // prefetches from here never fault, whatever the offset
  for (const auto& [k, off] : last) {
    EXPECT_EQ(index.find(as_bytes(k)), off) << k;
    EXPECT_EQ(index.find(as_bytes(k), records), off) << k;
    EXPECT_TRUE(index.contains(as_bytes(k))) << k;
  }
  for (const auto& k : absent) {
    EXPECT_FALSE(index.find(as_bytes(k), records).has_value()) << k;
    EXPECT_FALSE(index.contains(as_bytes(k))) << k;
  }
}

std::vector<std::pair<std::string, uint64_t>> sample_entries(size_t n) {
  std::vector<std::pair<std::string, uint64_t>> entries;
  entries.emplace_back("", 40);  // the empty key is a key like any other
  for (size_t i = 0; i < n; ++i) {
    entries.emplace_back(std::string("k").append(std::to_string(i)), 100 + i);
  }
  // Repeats, the last of each winning: one right after, one far from its first entry.
  entries.emplace_back("k3", 7);
  entries.emplace_back("k3", 8);
  entries.emplace_back("k0", 9);
  entries.emplace_back("", 10);
  return entries;
}

const std::vector<std::string> kAbsent = {"k", "k00", "K1", std::string(1, '\0'),
                                          std::string("k3\0", 3)};

TEST(KeyIndex, EveryKeyCollidingInSlotAndTag) {
  // Below and above the count where entries are first gathered by bucket: the repeats,
  // all in one bucket, must still end at their last entry.
  for (size_t n : {300u, 1500u}) {
    const auto entries = sample_entries(n);
    expect_matches_model(make_index<ConstantHash>(entries), entries, kAbsent);
  }
}

TEST(KeyIndex, ClusteredSlotsAndSharedTags) {
  const auto entries = sample_entries(2000);
  expect_matches_model(make_index<CoarseHash>(entries), entries, kAbsent);
}

TEST(KeyIndex, SmallAndLargeCounts) {
  // Small tables, where probe runs wrap around the end, up to thousands of keys.
  for (size_t n : {0u, 1u, 2u, 5u, 6u, 7u, 12u, 13u, 3072u, 3073u}) {
    std::vector<std::pair<std::string, uint64_t>> entries;
    for (size_t i = 0; i < n; ++i) {
      entries.emplace_back(std::string(i % 40, 'x') + std::to_string(i), i);
    }
    expect_matches_model(make_index<KeyHash>(entries), entries, kAbsent);
    expect_matches_model(make_index<CoarseHash>(entries), entries, kAbsent);
  }
}

TEST(KeyIndex, EnoughKeysToHandBackMemoryWhileFilling) {
  // Past a few MiB of gathered entries, their pages go back as the fill consumes them:
  // every key must still be found, repeats at their last entry.
  auto entries = sample_entries(300000);
  entries.emplace_back("k299999", 1);
  expect_matches_model(make_index<KeyHash>(entries), entries, kAbsent);
}

TEST(KeyHash, LengthAndEveryByteMatter) {
  // Keys that differ only in length (zero bytes) or in one byte at any position,
  // across the lengths where the word loads overlap.
  const KeyHash hash;
  for (size_t n = 0; n <= 70; ++n) {
    std::string zeros(n, '\0');
    std::string longer(n + 1, '\0');
    EXPECT_NE(hash(as_bytes(zeros).data(), n), hash(as_bytes(longer).data(), n + 1)) << n;
    std::string base(n, 'a');
    const uint64_t h = hash(as_bytes(base).data(), n);
    for (size_t i = 0; i < n; ++i) {
      std::string changed = base;
      changed[i] = 'b';
      EXPECT_NE(h, hash(as_bytes(changed).data(), n)) << n << " " << i;
    }
  }
}

}  // namespace
}  // namespace vornel
