// The index section of a build: the staged keys in key order, each with the offset
// of its object's record.
#pragma once

#include <cstdint>
#include <vector>

#include "util/large_buffer.hpp"
#include "writer.hpp"

namespace vornel {

// One entry per key, in ascending key order, naming the record at kDataOffset +
// record_starts[obj_id]. Key lengths and object IDs must be within the format's limits.
// `spare`, when given, receives the memory that the sort worked in, 32 bytes per key and
// already faulted in, for the caller to reuse.
LargeBuffer lay_out_index(const std::vector<StagedKey>& keys,
                          const std::vector<uint64_t>& record_starts,
                          LargeBuffer* spare = nullptr);

}  // namespace vornel
