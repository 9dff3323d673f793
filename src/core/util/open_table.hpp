// The pieces that the core's open-addressing tables share: where a hash lands, how a
// probe steps, and the slot word of a table whose entries are kept elsewhere.
#pragma once

#include <cstddef>
#include <cstdint>

#include "port.hpp"

namespace vornel::open_table {

// The home slot of `hash` in a table of `n` slots, from the hash's high bits: the
// high half of hash * n, so n need not be a power of two.
inline size_t home(uint64_t hash, size_t n) { return static_cast<size_t>(port::mul_high(hash, n)); }

// Linear probing, wrapping at the end of the table.
inline size_t next(size_t i, size_t n) { return i + 1 == n ? 0 : i + 1; }

// A slot word: 0 when the slot is empty, else the low bits of the key's hash as a tag
// above (entry position + 1). The tag rejects most other keys without reading their
// entry, and it is independent of home(), which uses the high bits.
template <unsigned PosBits>
struct TaggedSlot {
  static_assert(PosBits > 0 && PosBits < 64);
  static constexpr uint64_t kPosMask = (uint64_t{1} << PosBits) - 1;
  // Positions 0 .. kMaxPosition fit; the +1 keeps a word for position 0 non-zero.
  static constexpr uint64_t kMaxPosition = kPosMask - 1;

  static constexpr uint64_t tag(uint64_t hash) { return hash & (~uint64_t{0} >> PosBits); }
  static constexpr uint64_t make(uint64_t hash, uint64_t position) {
    return (tag(hash) << PosBits) | (position + 1);
  }
  static constexpr uint64_t tag_of(uint64_t slot) { return slot >> PosBits; }
  static constexpr uint64_t position_of(uint64_t slot) { return (slot & kPosMask) - 1; }
};

// The first slot, from the home of `hash` on, that is empty or holds an entry for
// which `same(position, slot_index)` is true; `same` is asked only when the tags
// agree. The table must have an empty slot, or the walk never ends. Slot i is the word
// slots[i * Stride]: a table may keep each slot's value in the words after it.
template <class Slot, size_t Stride = 1, class Same>
inline size_t probe(const uint64_t* slots, size_t n, uint64_t hash, Same&& same) {
  const uint64_t tag = Slot::tag(hash);
  for (size_t i = home(hash, n);; i = next(i, n)) {
    const uint64_t s = slots[i * Stride];
    if (s == 0 || (Slot::tag_of(s) == tag && same(Slot::position_of(s), i))) return i;
  }
}

}  // namespace vornel::open_table
