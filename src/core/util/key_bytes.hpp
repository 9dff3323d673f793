// What the core does with key bytes, each in one place: equality, key order, and the
// 8-byte head that orders most keys with one integer comparison.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "util/port.hpp"

namespace vornel {

using Bytes = std::span<const uint8_t>;

// Whether a and b hold the same bytes: keys, or staged objects.
inline bool same_bytes(Bytes a, Bytes b) {
  return a.size() == b.size() && (b.empty() || std::memcmp(a.data(), b.data(), b.size()) == 0);
}

// Key order: unsigned bytewise, a proper prefix before the longer key.
inline int compare_keys(Bytes a, Bytes b) {
  const size_t common = a.size() < b.size() ? a.size() : b.size();
  if (common != 0) {
    if (int c = std::memcmp(a.data(), b.data(), common); c != 0) return c < 0 ? -1 : 1;
  }
  return a.size() < b.size() ? -1 : (a.size() > b.size() ? 1 : 0);
}
inline bool key_less(Bytes a, Bytes b) { return compare_keys(a, b) < 0; }

// Whether `key` begins with `prefix`.
inline bool has_prefix(Bytes key, Bytes prefix) {
  return key.size() >= prefix.size() &&
         (prefix.empty() || std::memcmp(key.data(), prefix.data(), prefix.size()) == 0);
}

// Key bytes [from, from + 8) as a big-endian number, zero-padded past the key's end.
inline uint64_t key_word(Bytes key, size_t from) {
  uint8_t bytes[8] = {};
  if (key.size() > from) {
    const size_t n = key.size() - from < sizeof bytes ? key.size() - from : sizeof bytes;
    std::memcpy(bytes, key.data() + from, n);
  }
  return port::load_be<uint64_t>(bytes);
}

// The key's first 8 bytes, zero-padded: heads order keys as compare_keys does, except
// that two keys may share a head.
inline uint64_t key_head(Bytes key) { return key_word(key, 0); }

// Keys of an index section, which its entry's 8-byte record offset follows: at least 8
// bytes are readable past the key's end, so these read whole words.

// key_head of such a key, in one load whatever its length.
inline uint64_t key_head_followed(Bytes key) {
  const uint64_t word = port::load_be<uint64_t>(key.data());
  return key.size() >= 8 ? word : word & ~(~uint64_t{0} >> (8 * key.size()));
}

// compare_keys for two such keys, a word at a time.
inline int compare_keys_followed(Bytes a, Bytes b) {
  const size_t common = a.size() < b.size() ? a.size() : b.size();
  for (size_t i = 0; i < common; i += 8) {
    uint64_t x = port::load_be<uint64_t>(a.data() + i);
    uint64_t y = port::load_be<uint64_t>(b.data() + i);
    if (const size_t left = common - i; left < 8) {
      x >>= 8 * (8 - left);
      y >>= 8 * (8 - left);
    }
    if (x != y) return x < y ? -1 : 1;
  }
  return a.size() < b.size() ? -1 : (a.size() > b.size() ? 1 : 0);
}

// The first of `n` keys in ascending order that is not less than `key`, whose head is
// `head`. head_at(j) is the head of key j * step, for j below ceil(n / step), and
// less_at(i) whether key i is less than `key`. The heads narrow the search to about
// `step` keys before any key is read: a head below `head` means a key below `key`, and a
// head above it a key above.
template <class HeadAt, class LessAt>
size_t sampled_lower_bound(size_t n, size_t step, uint64_t head, HeadAt&& head_at,
                           LessAt&& less_at) {
  const size_t m = (n + step - 1) / step;
  size_t lo = 0;
  size_t hi = m;
  while (lo < hi) {  // the first sample whose head is not below `head`
    const size_t mid = lo + (hi - lo) / 2;
    if (head_at(mid) < head) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  const size_t below = lo;
  hi = m;
  while (lo < hi) {  // the first sample whose head is above `head`
    const size_t mid = lo + (hi - lo) / 2;
    if (head_at(mid) <= head) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  const size_t above = lo;
  size_t first = below == 0 ? 0 : (below - 1) * step + 1;
  size_t last = above == m ? n : above * step;
  while (first < last) {
    const size_t mid = first + (last - first) / 2;
    if (less_at(mid)) {
      first = mid + 1;
    } else {
      last = mid;
    }
  }
  return first;
}

}  // namespace vornel
