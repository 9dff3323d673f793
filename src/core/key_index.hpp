// The reader's in-memory index: every index entry (key bytes and record offset) in
// file order, and an open-addressing hash table from key bytes to the last entry
// that holds them.
//
// The entries live in one arena, an owned copy of the file's index section, so that
// an entry's length, key and offset sit side by side. A table slot holds a hash tag
// and the entry's arena position, and a parallel array holds the entry's record
// offset. A presence check reads one slot and one entry; a lookup also reads the
// offset beside the slot, so that the record can be fetched while the key is still
// being compared.
//
// Memory per key: the key and 10 bytes in the arena, an 8-byte position in the entry
// list, and 16 bytes per slot (tag and position, offset) at a load of 3/4.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>

#include "format.hpp"
#include "key_hash.hpp"
#include "large_buffer.hpp"

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
      : hash_(hash),
        arena_(section.size()),
        positions_(count * sizeof(uint64_t)),
        size_(count),
        slots_(count + count / 3 + 8),
        table_(slots_ * sizeof(uint64_t)),
        offsets_(slots_ * sizeof(uint64_t)) {
    if (!section.empty()) std::memcpy(arena_.data(), section.data(), section.size());
    fill();
  }

  size_t size() const { return size_; }
  Bytes key_at(size_t i) const { return key_of(positions()[i]); }
  uint64_t offset_at(size_t i) const {
    const Bytes key = key_at(i);
    return load_be64(key.data() + key.size());
  }

  // Whether some entry's key equals `key`. One hash, usually one key comparison.
  bool contains(Bytes key) const {
    const uint64_t h = hash_(key.data(), key.size());
    for (size_t i = home(h);; i = next(i)) {
      const uint64_t slot = table()[i];
      if (slot == 0) return false;
      if (tag_of(slot) == tag(h) && same_key(key_of(position_of(slot)), key)) return true;
    }
  }

  // The record offset of the last entry whose key equals `key`, or nullopt. Given
  // `records` (the file), a candidate's record at records + offset is prefetched
  // before its key is compared; a prefetch never faults, whatever the offset.
  std::optional<uint64_t> find(Bytes key, const uint8_t* records = nullptr) const {
    const uint64_t h = hash_(key.data(), key.size());
    for (size_t i = home(h);; i = next(i)) {
      const uint64_t slot = table()[i];
      if (slot == 0) return std::nullopt;
      if (tag_of(slot) == tag(h)) {
        const uint64_t offset = offsets()[i];
        if (records != nullptr) {
          const uintptr_t at = reinterpret_cast<uintptr_t>(records) + offset;
          __builtin_prefetch(reinterpret_cast<const void*>(at));
          __builtin_prefetch(reinterpret_cast<const void*>(at + 64));
        }
        if (same_key(key_of(position_of(slot)), key)) return offset;
      }
    }
  }

 private:
  // A slot is 0 when empty, else a 16-bit tag from the key's hash above (arena
  // position + 1). At most 3/4 of the slots fill, so every probe run ends.
  static constexpr unsigned kPosBits = 48;
  static constexpr uint64_t kPosMask = (uint64_t{1} << kPosBits) - 1;

  // The home slot comes from the high bits of the hash, the tag from the low ones.
  size_t home(uint64_t h) const {
    return static_cast<size_t>((static_cast<unsigned __int128>(h) * slots_) >> 64);
  }
  size_t next(size_t i) const { return i + 1 == slots_ ? 0 : i + 1; }
  static uint64_t tag(uint64_t h) { return h & 0xFFFF; }
  static uint64_t tag_of(uint64_t slot) { return slot >> kPosBits; }
  static uint64_t position_of(uint64_t slot) { return (slot & kPosMask) - 1; }

  uint64_t* positions() const { return positions_.as<uint64_t>(); }
  uint64_t* table() const { return table_.as<uint64_t>(); }
  uint64_t* offsets() const { return offsets_.as<uint64_t>(); }

  Bytes key_of(uint64_t pos) const {
    const uint8_t* entry = arena_.data() + pos;
    return Bytes(entry + kKeyLenSize, load_be16(entry));
  }

  static bool same_key(Bytes a, Bytes b) {
    return a.size() == b.size() && (b.empty() || std::memcmp(a.data(), b.data(), b.size()) == 0);
  }

  void fill() {
    // Hash a batch and prefetch its slots before inserting it, so that the cache
    // misses of a batch overlap instead of following one another.
    constexpr size_t kBatch = 16;
    uint64_t hashes[kBatch];
    uint64_t pos = 0;
    for (size_t first = 0; first < size_; first += kBatch) {
      const size_t n = size_ - first < kBatch ? size_ - first : kBatch;
      for (size_t k = 0; k < n; ++k) {
        positions()[first + k] = pos;
        const Bytes key = key_of(pos);
        pos += kKeyLenSize + key.size() + kOffsetSize;
        hashes[k] = hash_(key.data(), key.size());
        __builtin_prefetch(&table()[home(hashes[k])], 1);
        __builtin_prefetch(&offsets()[home(hashes[k])], 1);
      }
      for (size_t k = 0; k < n; ++k) insert(positions()[first + k], hashes[k]);
    }
  }

  // A repeated key takes over the slot of its earlier entry.
  void insert(uint64_t pos, uint64_t h) {
    const Bytes key = key_of(pos);
    for (size_t i = home(h);; i = next(i)) {
      const uint64_t slot = table()[i];
      if (slot == 0 || (tag_of(slot) == tag(h) && same_key(key_of(position_of(slot)), key))) {
        table()[i] = (tag(h) << kPosBits) | (pos + 1);
        offsets()[i] = load_be64(key.data() + key.size());
        return;
      }
    }
  }

  Hash hash_;
  // Huge-page backed where large: lookups jump at random across all of these.
  LargeBuffer arena_;      // the index section, verbatim
  LargeBuffer positions_;  // uint64_t per entry: its arena position, in file order
  size_t size_;
  size_t slots_;
  LargeBuffer table_;    // uint64_t per slot: tag and arena position
  LargeBuffer offsets_;  // uint64_t per slot: record offset of that entry
};

using KeyIndex = BasicKeyIndex<KeyHash>;

}  // namespace vornel
