// The pieces that the core's open-addressing tables share: where a hash lands, how a
// probe steps, the slot word of a table whose entries are kept elsewhere, and how a
// table is filled anew (place, HomeOrder).
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "util/large_buffer.hpp"
#include "util/port.hpp"

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

// Puts an entry of distinct key into the first empty slot from the home of `hash` on, as
// Slot::make(hash, position), and returns that slot: what filling a table anew does for
// each entry. The table must have an empty slot.
template <class Slot>
inline size_t place(uint64_t* slots, size_t n, uint64_t hash, uint64_t position) {
  size_t i = home(hash, n);
  while (slots[i] != 0) i = next(i, n);
  slots[i] = Slot::make(hash, position);
  return i;
}

// Filling a table in order of home slot. Inserted at random, entries of a table much
// larger than the cache miss it on nearly every insert; grouped first by the high bits of
// their hash, which decide the home slot, they sweep it instead. One bucket per 512
// entries (11 KiB of 16-byte slots) or so, but no more than 2^14: distributing over more
// would write to more places at once than the cache holds (at 10^8 keys, 2^18 buckets
// took three times the CPU of 2^14).
//
// Two passes: count() each entry's hash, then run(), which gathers the entries into
// bucket order and hands each to the caller's insert. count() allocates nothing.
class HomeOrder {
 public:
  explicit HomeOrder(size_t count)
      : shift_(63 - bits_for(count)), start_(size_t{1} << bits_for(count), 0) {}

  void count(uint64_t hash) { ++start_[bucket(hash)]; }

  // How many buckets a fill of `count` entries has, and the bucket of `hash` among them:
  // the order run() hands entries over in, for fills that gather them some other way.
  static size_t buckets_for(size_t count) { return size_t{1} << bits_for(count); }
  static size_t bucket_of(uint64_t hash, size_t count) {
    return static_cast<size_t>((hash >> 1) >> (63 - bits_for(count)));
  }

  // Calls put(item_at(k)) for every k below `count` (the number of entries counted),
  // the items in bucket order. Items of one bucket keep their order, so the last of
  // several entries of one key is put last. `gathered()` runs once item_at is done
  // with: the caller may free what it read. Item is a plain struct with the entry's
  // `hash`. The items gather in `room` (count of them) when the caller has it to spare;
  // otherwise in a buffer of their own, whose pages go back as the inserts consume them.
  template <class Item, class ItemAt, class Gathered, class Put>
  void run(size_t count, ItemAt&& item_at, Gathered&& gathered, Put&& put, Item* room = nullptr) {
    if (start_.size() == 1) {  // one bucket: the table fits the cache anyway
      for (size_t k = 0; k < count; ++k) put(item_at(k));
      gathered();
      return;
    }
    size_t sum = 0;
    for (size_t& n : start_) sum += std::exchange(n, sum);
    LargeBuffer buffer(room == nullptr ? count * sizeof(Item) : 0);
    auto* const items = room == nullptr ? buffer.as<Item>() : room;
    for (size_t k = 0; k < count; ++k) {
      const Item item = item_at(k);
      items[start_[bucket(item.hash)]++] = item;
    }
    gathered();
    // The inserts sweep the table as they consume the gathered items: handing those
    // back as they go keeps the two together at about the size of the larger.
    constexpr size_t kDiscardStep = size_t{4} << 20;
    size_t done = 0;  // bytes of items consumed and handed back
    for (size_t k = 0; k < count; ++k) {
      put(items[k]);
      if (const size_t used = (k + 1) * sizeof(Item); room == nullptr && used - done >= kDiscardStep) {
        // Whole steps only, so that no page straddling two calls is kept for good.
        const size_t upto = used / kDiscardStep * kDiscardStep;
        buffer.discard(done, upto);
        done = upto;
      }
    }
  }

 private:
  static unsigned bits_for(size_t count) {
    unsigned bits = 0;
    while (bits < 14 && (size_t{512} << bits) < count) ++bits;
    return bits;
  }
  // The top 63 - shift bits of `hash` (none for a shift of 63).
  size_t bucket(uint64_t hash) const { return static_cast<size_t>((hash >> 1) >> shift_); }

  unsigned shift_;
  std::vector<size_t> start_;  // entries per bucket, then where each one's next goes
};

}  // namespace vornel::open_table
