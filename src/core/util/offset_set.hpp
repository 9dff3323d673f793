// A set of 64-bit values (record offsets), sized up front: verify and the object
// listing use it to visit each shared record once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "util/open_table.hpp"

namespace vornel {

class OffsetSet {
 public:
  // Room for at most `count` insertions at a load of 3/4.
  explicit OffsetSet(size_t count) {
    size_t slots = 8;
    while (slots / 4 * 3 < count) slots *= 2;
    slots_.assign(slots, kEmpty);
  }

  // Adds `off`; false when it was already there.
  bool insert(uint64_t off) {
    if (off == kEmpty) return !std::exchange(has_empty_value_, true);
    const size_t n = slots_.size();
    // Offsets are far from random in their high bits: spread them first.
    for (size_t i = open_table::home(off * 0x9E3779B97F4A7C15, n);; i = open_table::next(i, n)) {
      if (slots_[i] == off) return false;
      if (slots_[i] == kEmpty) {
        slots_[i] = off;
        return true;
      }
    }
  }

 private:
  static constexpr uint64_t kEmpty = ~uint64_t{0};  // the value itself is kept aside

  std::vector<uint64_t> slots_;
  bool has_empty_value_ = false;
};

}  // namespace vornel
