// The writer's record of distinct encodings: the object ID of each one staged, found by
// a keyed 64-bit hash of the bytes and confirmed against the bytes the writer holds, so
// that two different encodings are never merged. The table keeps no bytes of its own.
#pragma once

#include <cstdint>
#include <vector>

#include "util/key_bytes.hpp"
#include "util/key_hash.hpp"
#include "util/open_table.hpp"
#include "write/writer.hpp"

namespace vornel {

// Open addressing over one 8-byte word per slot, at most half full: 16 to 32 bytes per
// distinct value.
class ObjectTable {
 public:
  uint64_t hash(Bytes data) const { return hash_(data.data(), data.size()); }

  // The object of `w` holding `data`: the one recorded, or a new one staged and
  // recorded. A failure (bad_alloc) stages and records nothing.
  uint64_t intern(Writer& w, Bytes data) { return intern_hashed(w, data, hash(data)); }
  // intern() for data whose hash is `h`: one probe finds the object or the slot for it.
  uint64_t intern_hashed(Writer& w, Bytes data, uint64_t h) {
    if (slots_.empty()) grow(w);
    size_t i = probe(w, data, h);
    if (slots_[i] != 0) return Slot::position_of(slots_[i]);
    // Room first, so that staging the object and recording it cannot come apart.
    if ((count_ + 1) * 2 > slots_.size()) {
      grow(w);
      i = probe(w, data, h);
    }
    const uint64_t obj_id = w.add_object(data);
    // An ID beyond what a slot holds is left out: its bytes are then staged again when
    // they recur, which costs space but never merges distinct values.
    if (obj_id <= Slot::kMaxPosition) {
      slots_[i] = Slot::make(h, obj_id);
      ++count_;
    }
    return obj_id;
  }

  // Starts fetching the slot where the probe for hash `h` begins.
  void prefetch(uint64_t h) const {
    if (!slots_.empty()) __builtin_prefetch(&slots_[open_table::home(h, slots_.size())]);
  }

  uint64_t size() const { return count_; }
  uint64_t memory_bytes() const { return slots_.capacity() * sizeof(uint64_t); }

 private:
  // Object IDs are below 2^32 within the format's limits; the rest of the word is tag.
  using Slot = open_table::TaggedSlot<32>;

  size_t probe(const Writer& w, Bytes data, uint64_t h) const {
    return open_table::probe<Slot>(slots_.data(), slots_.size(), h, [&](uint64_t id, size_t) {
      return same_bytes(w.object_bytes(id), data);
    });
  }

  // Rehashes from the writer's bytes: the slots keep only part of each hash.
  void grow(const Writer& w) {
    const size_t capacity = slots_.empty() ? 16 : slots_.size() * 2;
    std::vector<uint64_t> fresh(capacity, 0);
    for (uint64_t s : slots_) {
      if (s == 0) continue;
      const uint64_t id = Slot::position_of(s);
      open_table::place<Slot>(fresh.data(), capacity, hash(w.object_bytes(id)), id);
    }
    slots_.swap(fresh);
  }

  KeyHash hash_;
  std::vector<uint64_t> slots_;
  uint64_t count_ = 0;
};

}  // namespace vornel
