// The persisted key table: what a reader needs to answer lookups and ordered scans
// straight from the mapped file, instead of indexing every key in memory at open. The
// writer stores it as the last record of the data section, a record that no index entry
// names, and marks it in the header (format.hpp Marks): readers that do not know it see
// one more object, and both checksums cover it.
//
//   record payload, integers big-endian, nothing aligned:
//     slots    slot_count x u64: 0 for an empty slot, else (tag << 48) | (position + 1),
//              the tag being the low 16 bits of the key's hash and the position where
//              the key's entry starts in the index section. Home slot and probing as
//              open_table's: fastrange of the hash, then linear, wrapping at the end.
//     ranks    num_keys x u32, or x u64 when the index section is longer than 4 GiB:
//              the position of each rank's entry, ranks in key order.
//     sample   ceil(num_keys / 16) x u64: the head (first 8 key bytes, zero-padded) of
//              the key of rank 0, 16, 32, ...
//     trailer  kTrailerSize bytes, ending the payload, so that a reader finds it right
//              before index_offset:
//        0  magic "VRNLKTAB"          8  u32 version (1)         12  u32 sample step (16)
//       16  u64 payload length       24  u64 num_keys           32  u64 index_offset
//       40  u64 index section length 48  u64 slot count         56  u64 ranks at
//       64  u64 sample at            72  u8 rank width (4 or 8) 73  u8 position bits (48)
//       74  6 reserved zero bytes    80  u64 hash seed s0       88  u64 hash seed s1
//       96  4 reserved zero bytes   100  u32 CRC-32 of bytes 0 to 99
//
// The key hash is KeyHash under the stored seed, which the writer derives from the index
// section's bytes: the same pairs build the same file, and keys chosen to collide under one
// seed change the seed they meet.
// num_keys, index_offset and the section's length name the store the table was made
// for; the geometry follows from num_keys and that length alone, so a reader recomputes
// it and takes the table only when every field agrees.
//
// Size: a slot per 3/4 key (10.7 bytes per key), a 4-byte rank and half a byte of
// sample: about 15.2 bytes per key. A load of 3/4 keeps a lookup of an absent key to
// about 8.5 slots, one or two cache lines; the ranks give any rank's entry in one read,
// which a scan and an ordered search need; the sample lets an ordered search narrow to
// 16 entries, adjacent in the section, before it reads a key.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>

#include "format/format.hpp"
#include "format/index_step.hpp"
#include "util/key_hash.hpp"
#include "util/large_buffer.hpp"
#include "util/open_table.hpp"

namespace vornel {

// Whether a reader answers from the persisted table, and why not.
enum class KeyTableState : uint8_t {
  Absent,   // the store has none, or the reader did not look for one
  InUse,    // queries go through it
  Ignored,  // there is one, but it is unsound or not this store's: the index is in memory
};

// Why a reader ignores a table (bindings word it, store_words.hpp).
enum class TableNote : uint8_t {
  None,
  TrailerChecksum,  // its trailer fails its checksum
  Unframed,         // no record frames it
  Version,          // its format version is not one this reader knows
  OtherStore,       // it was made for another store
  Geometry,         // its geometry does not match its store
  Disagrees,        // it disagrees with the index section
  RecordChecksum,   // its record fails its checksum
  Missing,          // the header marks one that the data section does not end with
  MarksDamaged,     // the header's marks fail their checksum
  NamedByKey,       // a key names its record
};

// Where everything lies in a table's payload, which follows from the number of keys
// and the length of the index section alone.
struct KeyTableGeometry {
  static constexpr uint64_t kTrailerSize = 104;
  static constexpr uint32_t kVersion = 1;
  static constexpr uint32_t kSampleStep = 16;
  static constexpr uint8_t kPositionBits = 48;

  uint64_t num_keys = 0;
  uint64_t index_length = 0;
  uint64_t slot_count = 0;
  uint8_t rank_width = 4;
  uint64_t ranks_at = 0;  // slots start the payload
  uint64_t sample_at = 0;
  uint64_t payload_length = 0;  // the trailer included

  static KeyTableGeometry of(uint64_t num_keys, uint64_t index_length);
  // Whether a table can name every entry: its positions fit the slots' 48 bits.
  bool positions_fit() const;
  uint64_t trailer_at() const { return payload_length - kTrailerSize; }
};

// Builds the payload of the key table for `index`, an index section of `num_keys`
// entries in ascending key order with distinct keys, which a store places at
// `index_offset`, and returns it: the first payload_length bytes of `room`. The build
// works in `room` (16 bytes per key past the payload, which it then hands back), made
// anew when it is too small: a writer passes the memory its sort worked in, so that
// nothing needs fresh pages. The geometry must be KeyTableGeometry::of(num_keys,
// index.size()) and positions_fit().
Bytes build_key_table(Bytes index, uint64_t num_keys, uint64_t index_offset,
                      const KeyTableGeometry& geometry, const HashSeed& seed, LargeBuffer& room);

// The seed of the table of an index section whose CRC-32 is `index_crc`: the same pairs
// build the same file, byte for byte. Keys picked to collide under one seed change the
// section, and with it the seed; and a table that collides costs its readers time, never
// a wrong answer.
HashSeed key_table_seed(uint32_t index_crc, uint64_t index_size);

// Writes the trailer that ends the payload of a table of geometry `g` for a store whose
// index section starts at `index_offset`, hashed under `seed`: the last kTrailerSize
// bytes that build_key_table writes.
void encode_key_table_trailer(uint8_t* out, const KeyTableGeometry& g, uint64_t index_offset,
                              const HashSeed& seed);

// A table found in a mapped store file, answering the reader's index vocabulary
// (store_index.hpp). Every method reads the mapping and allocates nothing: call them
// inside a guarded region. Every position the table gives is checked against the index
// section before it is used, every lookup compares the key bytes of the entry it is sent
// to, and every entry an ordered query returns is confirmed against its neighbours in
// the section: a forged or stale table can miss a key, or fail as damaged, but never
// give another key's entry.
class KeyTable {
 public:
  // What open() made of the end of the data section.
  struct Verdict {
    KeyTableState state = KeyTableState::Absent;
    TableNote note = TableNote::None;  // why it was ignored
    bool record = false;    // a table's record is there, sound or not
    uint64_t record_offset = 0;
    // The table names this store in every field a cheap open can check: in use, unless
    // a walk of the index section finds it damaged or finds that a key names its record.
    bool claimed() const { return state == KeyTableState::InUse; }
  };

  // Reads n bytes at file offset `off` into `out`; false when it cannot. Open reads the
  // few bytes it checks through it, so that an open need not fault in the mapping.
  using ReadAt = std::function<bool(uint64_t off, size_t n, uint8_t* out)>;
  // Looks for a table ending the data section of `file`, whose header is `header` and
  // marks one, and sets *this to it when it is in use. Reads the trailer and the record's length field
  // through `read_at`, and nothing else.
  Verdict open(Bytes file, const Header& header, const ReadAt& read_at);

  // ---- The index vocabulary.
  bool in_key_order() const { return true; }  // every ordered answer confirms it
  // The record offset of `key`'s entry, or nullopt. Starts fetching the record.
  std::optional<uint64_t> find(Bytes key) const {
    const Hit hit = find_hashed(key, hash_(key.data(), key.size()), true);
    if (!hit.found) return std::nullopt;
    return hit.offset;
  }
  // The entries of ranks [first, first + n), each confirmed to start where the entry
  // before it ends (rank 0 at the section's start, the last rank ending with the
  // section) and to hold a key above that entry's.
  IndexStep entries(size_t first, size_t n, IndexEntry* out) const;
  // The first rank whose key is not less than `key`, the landing entry confirmed
  // against its neighbours as entries() confirms a run.
  IndexStep lower_bound(Bytes key, size_t* rank) const;

  // Whether `key` has an entry; fetches no record.
  bool contains(Bytes key) const {
    return find_hashed(key, hash_(key.data(), key.size()), false).found;
  }

  size_t size() const { return static_cast<size_t>(num_keys_); }

  // How the table and the index section disagree, if they do.
  enum class Disagreement : uint8_t {
    None,
    EntryOutside,    // the section's entries do not fill it (IndexEntry bound in detail)
    Order,           // a key is not greater than the one before it
    Rank,            // a rank's position is not that entry's
    Sample,          // a sampled head is not that key's
    NotFound,        // a key's lookup does not end at its own entry
    Leftover,        // the entries end before the section does
    ExtraSlots,      // more slots are filled than there are entries
  };
  struct Check {
    Disagreement what = Disagreement::None;
    uint64_t entry = 0;  // the entry in question, counted in section order
    IndexEntry::Bound bound = IndexEntry::Bound::Inside;  // for EntryOutside
    uint64_t end = 0;    // where the walk stopped in the section: past the last entry
    // An entry names the table's record: the record is that key's value, and no table.
    bool names_record = false;
  };
  // The record offsets of the index section's entries in file order, into
  // offsets[0, size()), up to the first entry that runs past the section; how many.
  size_t entry_offsets(uint64_t* offsets) const;
  // Walks the index section in file order and checks that the table agrees with it: ranks in file order, keys ascending, the sample right, every key found at its
  // own entry, no entry naming the record at `record_offset`, no slot beyond those.
  // Stops at an entry that runs past the section; reports the first disagreement.
  Check check_against_index(uint64_t record_offset) const;

 private:
  using Slot = open_table::TaggedSlot<KeyTableGeometry::kPositionBits>;

  // An entry that a lookup found, and where it starts in the index section.
  struct Hit {
    bool found = false;
    uint64_t position = 0;
    uint64_t offset = 0;  // of the key's record
  };
  // The entry of `rank` (below size()), or false when the table names no entry there.
  // Unconfirmed: what the table says, bounded by the section.
  bool entry(size_t rank, IndexEntry* out) const {
    uint64_t pos;
    return position(rank, &pos) &&
           IndexEntry::locate(section(), pos, out) == IndexEntry::Bound::Inside;
  }

  // find() with the key's hash already known; `fetch_record` starts fetching the record
  // of a match, which a lookup reads next and a check does not.
  Hit find_hashed(Bytes key, uint64_t h, bool fetch_record) const;
  // The probe of every lookup: the slots of hash `h` from its home on, to an empty one
  // (or past every slot, as a forged table may have none), giving at(position) the
  // position of each whose tag matches until it returns true. Whether one did.
  template <class At>
  bool probe(uint64_t h, At&& at) const {
    const uint64_t tag = Slot::tag(h);
    const auto n = static_cast<size_t>(slot_count_);
    size_t i = open_table::home(h, n);
    for (uint64_t step = 0; step < slot_count_; ++step, i = open_table::next(i, n)) {
      const uint64_t word = slot(i);
      if (word == 0) return false;
      if (Slot::tag_of(word) == tag && at(Slot::position_of(word))) return true;
    }
    return false;
  }
  // Whether a lookup of `key`, whose hash is `h`, ends at the entry starting at `start`
  // (which holds `key`), reading no entry it need not.
  bool found_at(Bytes key, uint64_t h, uint64_t start) const;

  Bytes section() const { return {section_, section_length_}; }
  // Where the entry of `rank` starts, if inside the section.
  bool position(size_t rank, uint64_t* pos) const {
    const uint8_t* const p = ranks_ + rank * rank_width_;
    *pos = rank_width_ == 4 ? load_be32(p) : load_be64(p);
    return *pos < section_length_;
  }
  uint64_t slot(uint64_t i) const { return load_be64(slots_ + i * sizeof(uint64_t)); }

  const uint8_t* file_ = nullptr;
  uint64_t file_size_ = 0;
  const uint8_t* section_ = nullptr;
  uint64_t section_length_ = 0;
  const uint8_t* slots_ = nullptr;
  uint64_t slot_count_ = 1;
  const uint8_t* ranks_ = nullptr;
  uint8_t rank_width_ = 4;
  const uint8_t* sample_ = nullptr;
  uint64_t num_keys_ = 0;
  KeyHash hash_;
};

}  // namespace vornel
