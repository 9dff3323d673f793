// What a copy of sorted sources remembers so that records shared in its sources stay
// shared in its output: where each record that later entries name again went
// (SharedRecords), and with dedup, where each distinct payload went (ContentTable), with
// the payloads that were staged (PayloadFilter), which the records of stores may meet.
// Both stay within a budget of memory; past it they remember nothing more, and the
// output then holds a record more than once, which costs space, never a wrong value.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "util/key_bytes.hpp"
#include "util/store_error.hpp"
#include "util/key_hash.hpp"
#include "util/large_buffer.hpp"
#include "util/mix.hpp"
#include "util/open_table.hpp"
#include "write/hash_filter.hpp"

namespace vornel {

class SharedRecords {
 public:
  explicit SharedRecords(uint64_t budget_bytes) : budget_(budget_bytes) {}

  // Where the copy of `record` went, if it is remembered; counts one of its uses.
  std::optional<uint64_t> take(uint64_t record) {
    if (count_ == 0) return std::nullopt;
    const size_t i = find(record);
    if (slots_[i].record == 0) return std::nullopt;
    const uint64_t handle = slots_[i].handle;
    if (--slots_[i].uses == 0) erase(i);
    return handle;
  }

  // Whether `record` is remembered; counts nothing.
  bool contains(uint64_t record) const {
    return count_ != 0 && slots_[find(record)].record != 0;
  }

  // Remembers that `record`, which `uses` more entries will name, went to `handle`.
  // A record remembered already is remembered anew; past the budget, a new one is not.
  void keep(uint64_t record, uint64_t handle, uint64_t uses) {
    if (count_ != 0) {
      if (const size_t i = find(record); slots_[i].record != 0) {
        if (uses == 0) {
          erase(i);
        } else {
          slots_[i] = {record + 1, handle, uses};
        }
        return;
      }
    }
    if (uses == 0) return;
    if ((count_ + 1) * 2 > slots_.size()) {
      if ((slots_.size() * 2 + 16) * sizeof(Slot) > budget_) return;
      grow();
    }
    slots_[find(record)] = {record + 1, handle, uses};
    ++count_;
  }

  uint64_t size() const { return count_; }

 private:
  struct Slot {
    uint64_t record;  // + 1; 0 for an empty slot
    uint64_t handle;
    uint64_t uses;
  };

  size_t home(uint64_t record) const { return mix64(record) & (slots_.size() - 1); }
  size_t find(uint64_t record) const {
    size_t i = home(record);
    while (slots_[i].record != 0 && slots_[i].record != record + 1) i = (i + 1) & (slots_.size() - 1);
    return i;
  }
  // Linear probing's deletion: the entries after the hole move back where their probe
  // would otherwise miss them.
  void erase(size_t hole) {
    const size_t mask = slots_.size() - 1;
    for (size_t j = (hole + 1) & mask; slots_[j].record != 0; j = (j + 1) & mask) {
      const size_t h = home(slots_[j].record - 1);
      if (((j - h) & mask) >= ((j - hole) & mask)) {
        slots_[hole] = slots_[j];
        hole = j;
      }
    }
    slots_[hole] = {};
    --count_;
  }
  void grow() {
    std::vector<Slot> old;
    old.swap(slots_);
    slots_.assign(old.empty() ? 16 : old.size() * 2, Slot{});
    for (const Slot& s : old) {
      if (s.record != 0) slots_[find(s.record - 1)] = s;
    }
  }

  uint64_t budget_;
  std::vector<Slot> slots_;
  uint64_t count_ = 0;
};

// A set of payloads (HashFilter): a payload is known by its CRC-32 and length, which
// every record carries, so that nothing is read to ask.
class PayloadFilter {
 public:
  static uint64_t key_of(uint32_t crc, uint64_t length) {
    return mix64(crc ^ (length << 32) ^ kGoldenGamma);
  }

  explicit PayloadFilter(uint64_t expected) : set_(expected) {}

  void add(uint32_t crc, uint64_t length) { set_.add(key_of(crc, length)); }
  bool maybe(uint32_t crc, uint64_t length) const { return set_.maybe(key_of(crc, length)); }
  uint64_t memory_bytes() const { return set_.memory_bytes(); }

 private:
  HashFilter set_;
};

class ContentTable {
 public:
  // A table for up to `entries` payloads, or as many as `budget_bytes` hold: its size is
  // fixed from the start, since a copy knows how many entries its sources hold.
  // Its slots are huge pages where the system has them: probes land at random.
  ContentTable(uint64_t entries, uint64_t budget_bytes) {
    const uint64_t wanted = entries + entries / 3 + 1;  // at most 3/4 full
    const uint64_t affordable = budget_bytes / sizeof(uint64_t);
    count_slots_ = static_cast<size_t>(wanted < affordable ? wanted : affordable);
    words_ = LargeBuffer(count_slots_ * sizeof(uint64_t));
  }

  uint64_t hash(Bytes payload) const { return hash_(payload.data(), payload.size()); }
  void prefetch(uint64_t h) const {
    if (count_slots_ != 0) __builtin_prefetch(slots() + open_table::home(h, count_slots_));
  }

  // The handle of a payload kept with hash `h` for which `same(handle)` gives true, if
  // any. `same` returns Result<bool>; its failure is the result's.
  template <class Same>
  Result<std::optional<uint64_t>> find(uint64_t h, Same&& same) const {
    if (count_slots_ == 0) return std::nullopt;
    const uint64_t tag = Slot::tag(h);
    for (size_t i = open_table::home(h, count_slots_);; i = open_table::next(i, count_slots_)) {
      const uint64_t s = slots()[i];
      if (s == 0) return std::nullopt;
      if (Slot::tag_of(s) != tag) continue;
      const uint64_t handle = Slot::position_of(s);
      Result<bool> r = same(handle);
      if (!r) return fail(std::move(r.error()));
      if (*r) return handle;
    }
  }

  // Keeps `handle` for payloads of hash `h` while the table has room.
  void keep(uint64_t h, uint64_t handle) {
    if (handle > Slot::kMaxPosition || (count_ + 1) * 4 > count_slots_ * 3) return;
    open_table::place<Slot>(slots(), count_slots_, h, handle);
    ++count_;
  }

  uint64_t size() const { return count_; }

 private:
  // Handles are file offsets, far below 2^48; the 16 bits above them are tag.
  using Slot = open_table::TaggedSlot<48>;

  uint64_t* slots() const { return words_.as<uint64_t>(); }

  KeyHash hash_;
  LargeBuffer words_;
  size_t count_slots_ = 0;
  uint64_t count_ = 0;
};

}  // namespace vornel
