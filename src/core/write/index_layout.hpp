// The index section of a build: the staged keys in key order, each with the offset
// of its object's record.
#pragma once

#include <cstdint>
#include <vector>

#include "util/large_buffer.hpp"
#include "write/writer.hpp"

namespace vornel {

// A staged key awaiting its place in key order, with what ordering it needs at hand:
// `head` and `next` hold the key's first 16 bytes (while sorting, the 16 from the depth
// reached), so that most comparisons never leave the array. Key lengths and object IDs
// fit 32 bits once the limits are checked; `value` is the staged key's obj_id.
struct SortedKey {
  uint64_t head;
  uint64_t next;
  const uint8_t* key;
  uint32_t key_len;
  uint32_t value;
  Bytes key_bytes() const { return {key, key_len}; }
};

// The keys in ascending key order, by reference: a buffer of keys.size() SortedKeys.
// Each key's obj_id must fit 32 bits.
LargeBuffer sort_staged_keys(const std::vector<StagedKey>& keys);

// One entry per key, in ascending key order, naming the record at kDataOffset +
// record_starts[obj_id]. Key lengths and object IDs must be within the format's limits.
// `spare`, when given, receives the memory that the sort worked in, 32 bytes per key and
// already faulted in, for the caller to reuse.
LargeBuffer lay_out_index(const std::vector<StagedKey>& keys,
                          const std::vector<uint64_t>& record_starts,
                          LargeBuffer* spare = nullptr);

}  // namespace vornel
