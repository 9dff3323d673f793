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
LargeBuffer lay_out_index(const std::vector<StagedKey>& keys,
                          const std::vector<uint64_t>& record_starts);

}  // namespace vornel
