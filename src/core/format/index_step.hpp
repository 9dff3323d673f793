// What an ordered query of an index finds when the index does not hold together: the
// answer of every step of the reader's index vocabulary (store_index.hpp).
#pragma once

#include <cstddef>
#include <cstdint>

namespace vornel {

enum class IndexFault : uint8_t {
  None,
  UnnamedRank,  // the index names no entry inside the index section for the rank
  Unchained,    // the rank's entry does not start where the entry before it ends
  Unordered,    // the rank's key is not above the key before it
  Misled,       // a search lands on a rank that the keys around it show to be wrong
};

struct IndexStep {
  IndexFault fault = IndexFault::None;
  size_t rank = 0;  // the rank at fault
  bool ok() const { return fault == IndexFault::None; }
};

}  // namespace vornel
