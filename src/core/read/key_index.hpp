// The reader's in-memory index: every index entry (key bytes and record offset) in
// file order, and an open-addressing hash table from key bytes to the last entry
// that holds them.
//
// The entries live in one arena, an owned copy of the file's index section, so that
// an entry's length, key and offset sit side by side. A table slot is two words in one
// cache line: a hash tag with the entry's arena position, and the entry's record
// offset. A presence check reads one slot and one entry; a lookup also reads the
// offset beside the slot, so that the record can be fetched while the key is still
// being compared.
//
// Building it reads the file's index section once, front to back, then fills the table
// in order of home slot (open_table::HomeOrder), so that its writes sweep the table
// rather than miss the cache on every key.
//
// Memory per key: the key and 10 bytes in the arena, a 4-byte position in the entry
// list (8 bytes past 4 GiB of entries), 16 bytes per slot (tag and position, offset) at
// a load of 3/4, and half a byte of sample for the ordered search. Building takes 32
// bytes per key more for a moment: each key's hash, then the entries gathered by bucket.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <utility>
#include <vector>

#include "format/format.hpp"
#include "util/key_bytes.hpp"
#include "util/key_hash.hpp"
#include "util/large_buffer.hpp"
#include "util/open_table.hpp"

namespace vornel {

// Immutable once constructed: any number of threads may call it at once. `Hash` is
// a parameter only so that tests can force collisions.
template <class Hash>
class BasicKeyIndex {
 public:
  // The first stage of building an index from a file: the buffers for `count` entries
  // in at most `capacity` section bytes, then scan() copies and bounds the section.
  class Loader {
   public:
    Loader(size_t count, uint64_t capacity, Hash hash = Hash())
        : hash_(hash),
          count_(count),
          capacity_(capacity),
          narrow_(capacity <= UINT32_MAX),
          arena_(static_cast<size_t>(capacity)),
          positions_(count * (narrow_ ? sizeof(uint32_t) : sizeof(uint64_t))),
          hashes_(count * sizeof(uint64_t)),
          order_(count),
          sample_(sample_count(count) * sizeof(uint64_t)) {}

    // Copies the section from `src`, where `capacity` bytes are readable, entry by entry
    // in one forward pass: each entry is bounded against the capacity, then hashed,
    // counted into its bucket and checked for key order. Returns Inside, or the bound of
    // the first entry that runs past the end. Allocates nothing, so that it may run where
    // a read of `src` can fault; scanned() then tells how far it got.
    IndexEntry::Bound scan(const uint8_t* src) {
      uint8_t* const arena = arena_.data();
      uint64_t* const hashes = hashes_.template as<uint64_t>();
      uint64_t* const sample = sample_.template as<uint64_t>();
      Bytes previous;
      uint64_t previous_head = 0;
      uint64_t pos = 0;
      for (size_t i = 0; i < count_; ++i) {
        // Keep a whole entry of the largest size copied past pos, so that bounding
        // against the copy so far decides as bounding against the capacity would.
        if (copied_ - pos < kMaxIndexEntry && copied_ < capacity_) {
          const uint64_t n = std::min<uint64_t>(capacity_ - copied_, kCopyStep);
          std::memcpy(arena + copied_, src + copied_, static_cast<size_t>(n));
          copied_ += n;
        }
        IndexEntry entry;
        const auto bound = IndexEntry::locate(Bytes(arena, copied_), pos, &entry);
        if (bound != IndexEntry::Bound::Inside) return bound;
        set_position(i, pos);
        pos += entry.encoded_size();
        const uint64_t h = hash_(entry.key.data(), entry.key.size());
        hashes[i] = h;
        order_.count(h);
        const uint64_t head = key_head_followed(entry.key);
        if (i % kSampleStep == 0) sample[i / kSampleStep] = head;
        if (i != 0 && sorted_ && head <= previous_head) {
          const int c = head == previous_head ? compare_keys_followed(previous, entry.key) : 1;
          sorted_ = c <= 0;
          distinct_ = distinct_ && c != 0;
        }
        previous = entry.key;
        previous_head = head;
      }
      section_size_ = pos;
      return IndexEntry::Bound::Inside;
    }
    // Bytes of `src` read by scan() so far.
    uint64_t scanned() const { return copied_; }

   private:
    friend class BasicKeyIndex;
    static constexpr uint64_t kCopyStep = uint64_t{1} << 18;
    static_assert(kCopyStep >= kMaxIndexEntry);

    void set_position(size_t i, uint64_t pos) {
      if (narrow_) {
        positions_.template as<uint32_t>()[i] = static_cast<uint32_t>(pos);
      } else {
        positions_.template as<uint64_t>()[i] = pos;
      }
    }

    Hash hash_;
    size_t count_;
    uint64_t capacity_;
    bool narrow_;
    LargeBuffer arena_;
    LargeBuffer positions_;
    LargeBuffer hashes_;  // per entry, the hash of its key
    open_table::HomeOrder order_;
    LargeBuffer sample_;
    bool sorted_ = true;
    bool distinct_ = true;  // while sorted_: no key repeats the one before it
    uint64_t copied_ = 0;
    uint64_t section_size_ = 0;
  };

  // Indexes what a loader has scanned, all of it Inside.
  explicit BasicKeyIndex(Loader&& loader)
      : hash_(loader.hash_),
        narrow_(loader.narrow_),
        arena_(std::move(loader.arena_)),
        positions_(std::move(loader.positions_)),
        size_(loader.count_),
        slots_(size_ + size_ / 3 + 8),
        table_(slots_ * kSlotWords * sizeof(uint64_t)),
        sample_(std::move(loader.sample_)),
        sorted_(loader.sorted_),
        distinct_(loader.distinct_),
        section_size_(loader.section_size_) {
    arena_.shrink(static_cast<size_t>(loader.section_size_));
    fill(loader);
  }
  // Copies `section`, which must hold exactly `count` well-formed index entries back
  // to back (the caller has bounded each), and indexes them. A repeated key is found
  // at its last entry. `section` is shorter than 2^48 bytes (a mapping is).
  BasicKeyIndex(Bytes section, size_t count, Hash hash = Hash())
      : BasicKeyIndex(loader_over(section, count, hash)) {}

  size_t size() const { return size_; }
  // The length of the index section that the entries fill.
  uint64_t section_size() const { return section_size_; }
  Bytes key_at(size_t i) const { return key_of(position(i)); }

  // Whether the keys are in ascending order (repeats allowed), as a writer leaves them.
  bool sorted() const { return sorted_; }
  // Whether no key repeats, for a sorted() index.
  bool distinct() const { return distinct_; }
  // The first entry whose key is not less than `key`; only for a sorted() index. The
  // sample of every kSampleStep-th key's first bytes, small enough to stay in the cache,
  // narrows the search to about one step's entries before any entry is read.
  size_t lower_bound(Bytes key) const {
    const uint64_t* sample = sample_.template as<uint64_t>();
    return sampled_lower_bound(
        size_, kSampleStep, key_head(key), [&](size_t j) { return sample[j]; },
        [&](size_t i) { return compare_keys(key_at(i), key) < 0; });
  }
  uint64_t offset_at(size_t i) const { return entry_at(position(i)).offset; }

  // Whether some entry's key equals `key`. One hash, usually one key comparison.
  bool contains(Bytes key) const {
    const uint64_t h = hash_(key.data(), key.size());
    const size_t i = open_table::probe<Slot, kSlotWords>(
        table(), slots_, h, [&](uint64_t pos, size_t) { return same_bytes(key_of(pos), key); });
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
      return same_bytes(key_of(pos), key);
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

  static size_t sample_count(size_t n) { return (n + kSampleStep - 1) / kSampleStep; }

  // Positions take 4 bytes each while the section is below 4 GiB, as it is for up to
  // about a hundred million keys of common lengths, and 8 bytes beyond.
  uint64_t position(size_t i) const {
    return narrow_ ? positions_.as<uint32_t>()[i] : positions_.as<uint64_t>()[i];
  }
  uint64_t* table() const { return table_.as<uint64_t>(); }

  // A loader that has scanned `section`, which holds `count` well-formed entries.
  static Loader loader_over(Bytes section, size_t count, Hash hash) {
    Loader loader(count, section.size(), hash);
    loader.scan(section.data());
    return loader;
  }

  IndexEntry entry_at(uint64_t pos) const { return IndexEntry::decode_bounded(arena_.data() + pos); }
  Bytes key_of(uint64_t pos) const { return entry_at(pos).key; }

  // What an insert needs of an entry, gathered by bucket.
  struct Pending {
    uint64_t hash;
    uint64_t pos;
    uint64_t offset;
  };

  void fill(Loader& loader) {
    const uint64_t* const hashes = loader.hashes_.template as<uint64_t>();
    loader.order_.template run<Pending>(
        size_,
        [&](size_t i) {
          const uint64_t pos = position(i);
          return Pending{hashes[i], pos, entry_at(pos).offset};
        },
        [&] { loader.hashes_ = LargeBuffer(); }, [&](const Pending& e) { insert(e); });
  }

  // A repeated key takes over the slot of its earlier entry.
  void insert(const Pending& e) {
    const size_t i = open_table::probe<Slot, kSlotWords>(
        table(), slots_, e.hash,
        [&](uint64_t other, size_t) { return same_bytes(key_of(other), key_of(e.pos)); });
    table()[i * kSlotWords] = Slot::make(e.hash, e.pos);
    table()[i * kSlotWords + 1] = e.offset;
  }

  Hash hash_;
  bool narrow_;  // positions take 4 bytes each
  // Huge-page backed where large: lookups jump at random across all of these.
  LargeBuffer arena_;      // the index section, verbatim
  LargeBuffer positions_;  // per entry, its arena position, in file order (see narrow_)
  size_t size_;
  size_t slots_;
  LargeBuffer table_;  // two uint64_t per slot: tag and arena position, record offset
  LargeBuffer sample_;  // uint64_t per kSampleStep entries: the head of the first key
  bool sorted_;
  bool distinct_;
  uint64_t section_size_;
};

using KeyIndex = BasicKeyIndex<KeyHash>;

}  // namespace vornel
