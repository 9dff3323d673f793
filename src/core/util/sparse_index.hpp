// Every so many bytes of a sorted file, its key and where its entry starts: enough to find
// the one block of the file that may hold a key, for a few bytes per block.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "util/key_bytes.hpp"
#include "util/arena.hpp"

namespace vornel {

class SparseIndex {
 public:
  // Blocks span about this many bytes of the file.
  static constexpr uint64_t kBlockBytes = 4096;

  // Offered every entry's key and start, in ascending key order; keeps those that open a
  // new block. `end` is where the file's entries end.
  void offer(Bytes key, uint64_t position) {
    if (!marks_.empty() && position - marks_.back().position < kBlockBytes) return;
    uint8_t* copy = keys_.allocate(key.size());
    if (!key.empty()) std::memcpy(copy, key.data(), key.size());
    marks_.push_back({copy, static_cast<uint32_t>(key.size()), position});
  }

  // [first, last) of the positions where an entry of `key` would lie, if anywhere, in a
  // file whose entries end at `end`; empty when `key` comes before every entry.
  std::pair<uint64_t, uint64_t> block(Bytes key, uint64_t end) const {
    // The last mark whose key is not above `key`.
    auto after = std::upper_bound(marks_.begin(), marks_.end(), key,
                                  [](Bytes k, const Mark& m) { return key_less(k, m.bytes()); });
    if (after == marks_.begin()) return {0, 0};
    const uint64_t last = after == marks_.end() ? end : after->position;
    return {std::prev(after)->position, last};
  }

  uint64_t memory_bytes() const { return keys_.used() + marks_.capacity() * sizeof(Mark); }

 private:
  struct Mark {
    const uint8_t* key;
    uint32_t size;
    uint64_t position;
    Bytes bytes() const { return {key, size}; }
  };
  // A few keys per block of the file: small blocks, so that each of many runs costs little.
  Arena keys_{size_t{4} << 10};
  std::vector<Mark> marks_;
};

}  // namespace vornel
