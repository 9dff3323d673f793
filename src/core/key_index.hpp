// The reader's in-memory index: every index entry (key bytes and record offset) in
// file order, and an open-addressing hash table from key bytes to the last entry
// that holds them.
//
// The entries live in one arena, an owned copy of the file's index section, so that
// an entry's length, key and offset sit side by side. A table slot is two words in one
// cache line: a hash tag with the entry's arena position, and the entry's record
// offset. A presence check reads one slot and one entry; a lookup also reads the
// offset beside the slot, so that the record can be fetched while the key is still
// being compared. Filling the table touches one line per key.
//
// Memory per key: the key and 10 bytes in the arena, a 4-byte position in the entry
// list (8 bytes past 4 GiB of entries), 16 bytes per slot (tag and position, offset) at
// a load of 3/4, and half a byte of sample for the ordered search.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <utility>

#include "format.hpp"
#include "util/key_hash.hpp"
#include "util/large_buffer.hpp"
#include "util/open_table.hpp"

namespace vornel {

// Immutable once constructed: any number of threads may call it at once. `Hash` is
// a parameter only so that tests can force collisions.
template <class Hash>
class BasicKeyIndex {
 public:
  // Copies `section`, which must hold exactly `count` well-formed index entries back
  // to back (the caller has bounded each), and indexes them. A repeated key is found
  // at its last entry. `section` is shorter than 2^48 bytes (a mapping is).
  BasicKeyIndex(Bytes section, size_t count, Hash hash = Hash())
      : BasicKeyIndex(copy_of(section), count, hash) {}
  // The same over a section already copied into `section`, which the index keeps.
  BasicKeyIndex(LargeBuffer section, size_t count, Hash hash = Hash())
      : hash_(hash),
        arena_(std::move(section)),
        positions_(count * (narrow() ? sizeof(uint32_t) : sizeof(uint64_t))),
        size_(count),
        slots_(count + count / 3 + 8),
        table_(slots_ * kSlotWords * sizeof(uint64_t)),
        sample_(sample_count() * sizeof(uint64_t)) {
    fill();
  }

  size_t size() const { return size_; }
  Bytes key_at(size_t i) const { return key_of(position(i)); }

  // Whether the keys are in ascending order (repeats allowed), as a writer leaves them.
  bool sorted() const { return sorted_; }
  // The first entry whose key is not less than `key`; only for a sorted() index. The
  // sample of every kSampleStep-th key's first bytes, small enough to stay in the cache,
  // narrows the search to about one step's entries before any entry is read.
  size_t lower_bound(Bytes key) const {
    const uint64_t h = head_of(key);
    const uint64_t* sample = sample_.template as<uint64_t>();
    const size_t m = sample_count();
    // A head below h means a key below `key`; a head above it, a key above.
    const size_t below = static_cast<size_t>(std::lower_bound(sample, sample + m, h) - sample);
    const size_t above =
        static_cast<size_t>(std::upper_bound(sample + below, sample + m, h) - sample);
    size_t lo = below == 0 ? 0 : (below - 1) * kSampleStep + 1;
    size_t hi = above == m ? size_ : above * kSampleStep;
    while (lo < hi) {
      const size_t mid = lo + (hi - lo) / 2;
      if (compare_keys(key_at(mid), key) < 0) {
        lo = mid + 1;
      } else {
        hi = mid;
      }
    }
    return lo;
  }
  uint64_t offset_at(size_t i) const { return entry_at(position(i)).offset; }

  // Whether some entry's key equals `key`. One hash, usually one key comparison.
  bool contains(Bytes key) const {
    const uint64_t h = hash_(key.data(), key.size());
    const size_t i = open_table::probe<Slot, kSlotWords>(
        table(), slots_, h, [&](uint64_t pos, size_t) { return same_key(key_of(pos), key); });
    return table()[i * kSlotWords] != 0;
  }

  // The record offset of the last entry whose key equals `key`, or nullopt. Given
  // `records` (the file), a candidate's record at records + offset is prefetched
  // before its key is compared; a prefetch never faults, whatever the offset.
  std::optional<uint64_t> find(Bytes key, Bytes records = {}) const {
    const uint64_t h = hash_(key.data(), key.size());
    const size_t i = open_table::probe<Slot, kSlotWords>(table(), slots_, h, [&](uint64_t pos,
                                                                                size_t at) {
      // Only offsets inside `records` form an address; the rest fail their read anyway.
      if (const uint64_t offset = table()[at * kSlotWords + 1]; offset < records.size()) {
        __builtin_prefetch(records.data() + offset);
        if (records.size() - offset > 64) __builtin_prefetch(records.data() + offset + 64);
      }
      return same_key(key_of(pos), key);
    });
    if (table()[i * kSlotWords] == 0) return std::nullopt;
    return table()[i * kSlotWords + 1];
  }

 private:
  // 48 bits of arena position leave a 16-bit tag. At most 3/4 of the slots fill, so
  // every probe run ends.
  using Slot = open_table::TaggedSlot<48>;
  static constexpr size_t kSlotWords = 2;  // the slot word, then the record offset
  static constexpr size_t kSampleStep = 16;  // 0.5 bytes of sample per key

  size_t sample_count() const { return (size_ + kSampleStep - 1) / kSampleStep; }

  // The first 8 key bytes as a big-endian number, zero-padded: heads order keys as
  // compare_keys does, except that two keys may share a head.
  static uint64_t head_of(Bytes key) {
    uint8_t bytes[8] = {};
    if (!key.empty()) std::memcpy(bytes, key.data(), key.size() < 8 ? key.size() : 8);
    return load_be64(bytes);
  }

  // Positions take 4 bytes each while the arena is below 4 GiB, as it is for up to about
  // a hundred million keys of common lengths, and 8 bytes beyond.
  bool narrow() const { return arena_.size() <= UINT32_MAX; }
  uint64_t position(size_t i) const {
    return narrow() ? positions_.as<uint32_t>()[i] : positions_.as<uint64_t>()[i];
  }
  void set_position(size_t i, uint64_t pos) {
    if (narrow()) {
      positions_.as<uint32_t>()[i] = static_cast<uint32_t>(pos);
    } else {
      positions_.as<uint64_t>()[i] = pos;
    }
  }
  uint64_t* table() const { return table_.as<uint64_t>(); }

  static LargeBuffer copy_of(Bytes section) {
    LargeBuffer copy(section.size());
    if (!section.empty()) std::memcpy(copy.data(), section.data(), section.size());
    return copy;
  }

  IndexEntry entry_at(uint64_t pos) const { return IndexEntry::decode_bounded(arena_.data() + pos); }
  Bytes key_of(uint64_t pos) const { return entry_at(pos).key; }

  static bool same_key(Bytes a, Bytes b) {
    return a.size() == b.size() && (b.empty() || std::memcmp(a.data(), b.data(), b.size()) == 0);
  }

  void fill() {
    // Hash each entry and prefetch its home slot a number of entries before inserting
    // it, so that the cache misses of the inserts in between overlap. The same walk
    // checks the key order and takes the sample.
    constexpr size_t kAhead = 32;
    uint64_t hashes[kAhead];
    uint64_t pos = 0;
    uint64_t* const sample = sample_.template as<uint64_t>();
    Bytes previous;
    uint64_t previous_head = 0;
    for (size_t i = 0; i < size_ + kAhead; ++i) {
      if (i >= kAhead) insert(position(i - kAhead), hashes[i % kAhead]);
      if (i < size_) {
        set_position(i, pos);
        const IndexEntry entry = entry_at(pos);
        pos += entry.encoded_size();
        const uint64_t h = hash_(entry.key.data(), entry.key.size());
        hashes[i % kAhead] = h;
        __builtin_prefetch(&table()[open_table::home(h, slots_) * kSlotWords], 1);
        const uint64_t head = head_of(entry.key);
        if (i % kSampleStep == 0) sample[i / kSampleStep] = head;
        if (i != 0 && sorted_ && head <= previous_head) {
          sorted_ = head == previous_head && compare_keys(previous, entry.key) <= 0;
        }
        previous = entry.key;
        previous_head = head;
      }
    }
  }

  // A repeated key takes over the slot of its earlier entry.
  void insert(uint64_t pos, uint64_t h) {
    const IndexEntry entry = entry_at(pos);
    const size_t i = open_table::probe<Slot, kSlotWords>(
        table(), slots_, h,
        [&](uint64_t other, size_t) { return same_key(key_of(other), entry.key); });
    table()[i * kSlotWords] = Slot::make(h, pos);
    table()[i * kSlotWords + 1] = entry.offset;
  }

  Hash hash_;
  // Huge-page backed where large: lookups jump at random across all of these.
  LargeBuffer arena_;      // the index section, verbatim
  LargeBuffer positions_;  // per entry, its arena position, in file order (see narrow())
  size_t size_;
  size_t slots_;
  LargeBuffer table_;  // two uint64_t per slot: tag and arena position, record offset
  LargeBuffer sample_;  // uint64_t per kSampleStep entries: the head of the first key
  bool sorted_ = true;
};

using KeyIndex = BasicKeyIndex<KeyHash>;

}  // namespace vornel
