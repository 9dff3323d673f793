#include "format/key_table.hpp"

#include <algorithm>
#include <cstring>

#include "util/crc32.hpp"
#include "util/key_bytes.hpp"
#include "util/mix.hpp"

namespace vornel {
namespace {

constexpr uint8_t kTableMagic[8] = {'V', 'R', 'N', 'L', 'K', 'T', 'A', 'B'};
constexpr uint64_t kTrailerCrcAt = KeyTableGeometry::kTrailerSize - 4;

// The trailer's fields, as the payload's last kTrailerSize bytes hold them.
struct Trailer {
  uint32_t version = 0;
  uint32_t sample_step = 0;
  uint64_t payload_length = 0;
  uint64_t num_keys = 0;
  uint64_t index_offset = 0;
  uint64_t index_length = 0;
  uint64_t slot_count = 0;
  uint64_t ranks_at = 0;
  uint64_t sample_at = 0;
  uint8_t rank_width = 0;
  uint8_t position_bits = 0;
  HashSeed seed{};

  void encode_to(uint8_t* out) const {
    std::memset(out, 0, KeyTableGeometry::kTrailerSize);
    std::memcpy(out, kTableMagic, sizeof kTableMagic);
    store_be32(out + 8, version);
    store_be32(out + 12, sample_step);
    store_be64(out + 16, payload_length);
    store_be64(out + 24, num_keys);
    store_be64(out + 32, index_offset);
    store_be64(out + 40, index_length);
    store_be64(out + 48, slot_count);
    store_be64(out + 56, ranks_at);
    store_be64(out + 64, sample_at);
    out[72] = rank_width;
    out[73] = position_bits;
    store_be64(out + 80, seed.s0);
    store_be64(out + 88, seed.s1);
    store_be32(out + kTrailerCrcAt, crc32(out, kTrailerCrcAt));
  }
  // From the kTrailerSize bytes at `p`, once their magic and checksum are known good.
  static Trailer decode(const uint8_t* p) {
    Trailer t;
    t.version = load_be32(p + 8);
    t.sample_step = load_be32(p + 12);
    t.payload_length = load_be64(p + 16);
    t.num_keys = load_be64(p + 24);
    t.index_offset = load_be64(p + 32);
    t.index_length = load_be64(p + 40);
    t.slot_count = load_be64(p + 48);
    t.ranks_at = load_be64(p + 56);
    t.sample_at = load_be64(p + 64);
    t.rank_width = p[72];
    t.position_bits = p[73];
    t.seed = {load_be64(p + 80), load_be64(p + 88)};
    return t;
  }
  // Whether the trailer describes `g`.
  bool describes(const KeyTableGeometry& g) const {
    return sample_step == KeyTableGeometry::kSampleStep &&
           position_bits == KeyTableGeometry::kPositionBits && payload_length == g.payload_length &&
           slot_count == g.slot_count && ranks_at == g.ranks_at && sample_at == g.sample_at &&
           rank_width == g.rank_width;
  }
};

uint64_t sample_count(uint64_t n) {
  return (n + KeyTableGeometry::kSampleStep - 1) / KeyTableGeometry::kSampleStep;
}

}  // namespace

KeyTableGeometry KeyTableGeometry::of(uint64_t num_keys, uint64_t index_length) {
  KeyTableGeometry g;
  g.num_keys = num_keys;
  g.index_length = index_length;
  g.slot_count = num_keys + num_keys / 3 + 1;  // at most 3/4 full, and never without a slot
  // Positions lie below the section's length.
  g.rank_width = index_length <= (uint64_t{1} << 32) ? 4 : 8;
  g.ranks_at = g.slot_count * sizeof(uint64_t);
  g.sample_at = g.ranks_at + num_keys * g.rank_width;
  g.payload_length = g.sample_at + sample_count(num_keys) * sizeof(uint64_t) + kTrailerSize;
  return g;
}

bool KeyTableGeometry::positions_fit() const {
  // A position below the section's length fits a slot when the length itself does.
  return index_length <= open_table::TaggedSlot<kPositionBits>::kMaxPosition + 1;
}

HashSeed key_table_seed(uint32_t index_crc, uint64_t index_size) {
  const auto mix = [](uint64_t z) { return mix64(z + kGoldenGamma); };
  const uint64_t s0 = mix(index_crc ^ (index_size << 32));
  return {s0, mix(s0)};
}

void encode_key_table_trailer(uint8_t* out, const KeyTableGeometry& g, uint64_t index_offset,
                              const HashSeed& seed) {
  Trailer t;
  t.version = KeyTableGeometry::kVersion;
  t.sample_step = KeyTableGeometry::kSampleStep;
  t.payload_length = g.payload_length;
  t.num_keys = g.num_keys;
  t.index_offset = index_offset;
  t.index_length = g.index_length;
  t.slot_count = g.slot_count;
  t.ranks_at = g.ranks_at;
  t.sample_at = g.sample_at;
  t.rank_width = g.rank_width;
  t.position_bits = KeyTableGeometry::kPositionBits;
  t.seed = seed;
  t.encode_to(out);
}

Bytes build_key_table(Bytes index, uint64_t num_keys, uint64_t index_offset,
                      const KeyTableGeometry& g, const HashSeed& seed, LargeBuffer& room) {
  using Slot = open_table::TaggedSlot<KeyTableGeometry::kPositionBits>;
  // What the slots are filled from, gathered by home after the payload.
  struct Pending {
    uint64_t hash;
    uint64_t pos;
  };
  const size_t n = static_cast<size_t>(num_keys);
  const size_t pending_at = static_cast<size_t>((g.payload_length + 7) / 8 * 8);
  if (const size_t need = pending_at + n * sizeof(Pending); room.size() < need) {
    room = LargeBuffer(need);
  } else {
    std::memset(room.data(), 0, static_cast<size_t>(g.ranks_at));  // the rest is written whole
  }
  uint8_t* const out = room.data();
  const KeyHash hash{seed};

  // One pass over the section for the ranks and the sample, counting each key's home.
  open_table::HomeOrder order(n);
  uint64_t pos = 0;
  for (size_t i = 0; i < n; ++i) {
    const IndexEntry e = IndexEntry::decode_bounded(index.data() + pos);
    uint8_t* const rank = out + g.ranks_at + i * g.rank_width;
    if (g.rank_width == 4) {
      store_be32(rank, static_cast<uint32_t>(pos));
    } else {
      store_be64(rank, pos);
    }
    if (i % KeyTableGeometry::kSampleStep == 0) {
      store_be64(out + g.sample_at + i / KeyTableGeometry::kSampleStep * sizeof(uint64_t),
                 key_head_followed(e.key));
    }
    order.count(hash(e.key.data(), e.key.size()));
    pos += e.encoded_size();
  }

  // The slots, filled in home order from a second pass (hashing a key again costs less
  // than keeping its hash). Each word is turned big-endian once placed: only whether a
  // slot is empty matters to the entries placed after it.
  auto* const slots = reinterpret_cast<uint64_t*>(out);
  order.run<Pending>(
      n,
      [&](size_t i) {
        const uint8_t* rank = out + g.ranks_at + i * g.rank_width;
        const uint64_t at = g.rank_width == 4 ? load_be32(rank) : load_be64(rank);
        const Bytes key = IndexEntry::decode_bounded(index.data() + at).key;
        return Pending{hash(key.data(), key.size()), at};
      },
      [] {},
      [&](const Pending& p) {
        const size_t i =
            open_table::place<Slot>(slots, static_cast<size_t>(g.slot_count), p.hash, p.pos);
        store_be64(out + i * sizeof(uint64_t), slots[i]);
      },
      reinterpret_cast<Pending*>(out + pending_at));

  encode_key_table_trailer(out + g.trailer_at(), g, index_offset, seed);
  room.shrink(static_cast<size_t>(g.payload_length));
  return Bytes(out, static_cast<size_t>(g.payload_length));
}

KeyTable::Verdict KeyTable::open(Bytes file, const Header& header, const ReadAt& read_at) {
  using Geometry = KeyTableGeometry;
  Verdict v;
  const uint64_t end = header.index_offset;  // where the data section, and the table, ends
  // Room for the smallest table's record after the header, before the index section.
  if (end < kDataOffset || end > file.size() ||
      end - kDataOffset < kRecordPrefix + Geometry::kTrailerSize) {
    return v;
  }
  uint8_t trailer[Geometry::kTrailerSize];
  if (!read_at(end - Geometry::kTrailerSize, sizeof trailer, trailer)) return v;
  if (std::memcmp(trailer, kTableMagic, sizeof kTableMagic) != 0) return v;
  v.state = KeyTableState::Ignored;
  if (crc32(trailer, kTrailerCrcAt) != load_be32(trailer + kTrailerCrcAt)) {
    v.note = TableNote::TrailerChecksum;
    return v;
  }
  const Trailer t = Trailer::decode(trailer);
  // The record's prefix must frame the payload exactly, and be counted.
  uint8_t frame[4] = {};
  if (t.payload_length < Geometry::kTrailerSize ||
      t.payload_length > end - kDataOffset - kRecordPrefix ||
      !read_at(end - t.payload_length - kRecordPrefix, sizeof frame, frame) ||
      load_be32(frame) != t.payload_length || header.num_objects == 0) {
    v.note = TableNote::Unframed;
    return v;
  }
  v.record = true;
  v.record_offset = end - t.payload_length - kRecordPrefix;
  if (t.version != Geometry::kVersion) {
    v.note = TableNote::Version;
    return v;
  }
  const uint64_t index_length = file.size() - end;
  if (t.num_keys != header.num_keys || t.index_offset != end || t.index_length != index_length) {
    v.note = TableNote::OtherStore;
    return v;
  }
  const Geometry g = Geometry::of(header.num_keys, index_length);
  if (!g.positions_fit() || !t.describes(g)) {
    v.note = TableNote::Geometry;
    return v;
  }

  const uint8_t* const payload = file.data() + end - t.payload_length;
  file_ = file.data();
  file_size_ = file.size();
  section_ = file.data() + end;
  section_length_ = index_length;
  slots_ = payload;
  slot_count_ = g.slot_count;
  ranks_ = payload + g.ranks_at;
  rank_width_ = g.rank_width;
  sample_ = payload + g.sample_at;
  num_keys_ = g.num_keys;
  hash_ = KeyHash{t.seed};
  v.state = KeyTableState::InUse;
  return v;
}

KeyTable::Hit KeyTable::find_hashed(Bytes key, uint64_t h, bool fetch_record) const {
  Hit hit;
  probe(h, [&](uint64_t pos) {
    // An entry of this key ends in its record offset where the key's length says: asked
    // for now, a line that the entry runs into comes with its first, not after it.
    if (range_within(pos, kIndexEntryMin + key.size(), section_length_)) {
      __builtin_prefetch(section_ + pos + kKeyLenSize + key.size());
    }
    IndexEntry e;
    if (IndexEntry::locate(section(), pos, &e) != IndexEntry::Bound::Inside) return false;
    // The caller reads the record next: start fetching it while the key is compared.
    if (fetch_record && e.offset < file_size_) __builtin_prefetch(file_ + e.offset);
    if (!same_bytes(e.key, key)) return false;
    hit = {true, pos, e.offset};
    return true;
  });
  return hit;
}

IndexStep KeyTable::entries(size_t first, size_t n, IndexEntry* out) const {
  uint64_t end = 0;  // where the next entry must start
  Bytes before;      // the key it must be above
  if (first != 0) {
    uint64_t pos;
    IndexEntry e;
    if (!position(first - 1, &pos) ||
        IndexEntry::locate(section(), pos, &e) != IndexEntry::Bound::Inside) {
      return {IndexFault::UnnamedRank, first - 1};
    }
    end = pos + e.encoded_size();
    before = e.key;
  }
  for (size_t i = 0; i < n; ++i) {
    const size_t rank = first + i;
    uint64_t pos;
    if (!position(rank, &pos)) return {IndexFault::UnnamedRank, rank};
    if (pos != end) return {IndexFault::Unchained, rank};
    if (IndexEntry::locate(section(), pos, &out[i]) != IndexEntry::Bound::Inside) {
      return {IndexFault::UnnamedRank, rank};
    }
    if (rank != 0 && compare_keys_followed(before, out[i].key) >= 0) {
      return {IndexFault::Unordered, rank};
    }
    end = pos + out[i].encoded_size();
    before = out[i].key;
  }
  // The last entry ends the section: a run that reaches it has seen every entry.
  if (first + n == size() && size() != 0 && end != section_length_) {
    return {IndexFault::Unchained, size() - 1};
  }
  return {};
}

IndexStep KeyTable::lower_bound(Bytes key, size_t* rank) const {
  IndexStep step;
  *rank = sampled_lower_bound(
      size(), KeyTableGeometry::kSampleStep, key_head(key),
      [&](size_t j) { return load_be64(sample_ + j * sizeof(uint64_t)); },
      [&](size_t i) {
        IndexEntry e;
        if (!entry(i, &e)) {
          if (step.ok()) step = {IndexFault::UnnamedRank, i};
          return false;
        }
        return compare_keys(e.key, key) < 0;
      });
  if (!step.ok()) return step;
  // The landing entry, confirmed against its neighbours: the entries around it lie back
  // to back, the one before it holds a key below `key`, and its own is not below.
  const size_t r = *rank;
  const size_t n = std::min<size_t>(size() - r, 2);
  IndexEntry run[2];
  if (step = entries(r, n, run); !step.ok()) return step;
  if (n != 0 && compare_keys(run[0].key, key) < 0) return {IndexFault::Misled, r};
  if (r != 0) {
    IndexEntry before;
    if (!entry(r - 1, &before)) return {IndexFault::UnnamedRank, r - 1};
    if (compare_keys(before.key, key) >= 0) return {IndexFault::Misled, r};
  }
  return {};
}

bool KeyTable::found_at(Bytes key, uint64_t h, uint64_t start) const {
  bool here = false;
  probe(h, [&](uint64_t pos) {
    // The entry at `start` holds `key`: a lookup that reaches this slot ends there
    // without reading the entry again. Another entry with the same tag ends it first
    // only if it holds the same key.
    if (pos == start) return here = true;
    IndexEntry e;
    return IndexEntry::locate(section(), pos, &e) == IndexEntry::Bound::Inside &&
           same_bytes(e.key, key);
  });
  return here;
}

size_t KeyTable::entry_offsets(uint64_t* offsets) const {
  uint64_t pos = 0;
  for (size_t i = 0; i < size(); ++i) {
    IndexEntry e;
    if (IndexEntry::locate(section(), pos, &e) != IndexEntry::Bound::Inside) return i;
    offsets[i] = e.offset;
    pos += e.encoded_size();
  }
  return size();
}

KeyTable::Check KeyTable::check_against_index(uint64_t record_offset) const {
  Check c;
  const auto disagree = [&](Disagreement what, uint64_t i) {
    if (c.what == Disagreement::None) {
      c.what = what;
      c.entry = i;
    }
  };
  // The walk is in file order, the slots it checks in hash order: entries are taken a
  // block at a time, and each one's home slot fetched before the first is looked up.
  constexpr size_t kBlock = 16;
  IndexEntry block[kBlock];
  uint64_t hashes[kBlock];
  uint64_t starts[kBlock];
  Bytes previous;
  uint64_t pos = 0;
  for (size_t first = 0; first < size(); first += kBlock) {
    const size_t n = std::min(kBlock, size() - first);
    for (size_t j = 0; j < n; ++j) {
      if (const auto bound = IndexEntry::locate(section(), pos, &block[j]);
          bound != IndexEntry::Bound::Inside) {
        c.what = Disagreement::EntryOutside;  // before any other: the walk ends here
        c.entry = first + j;
        c.bound = bound;
        c.end = pos;
        return c;
      }
      starts[j] = pos;
      pos += block[j].encoded_size();
      hashes[j] = hash_(block[j].key.data(), block[j].key.size());
      __builtin_prefetch(slots_ + open_table::home(hashes[j], static_cast<size_t>(slot_count_)) *
                                      sizeof(uint64_t));
    }
    for (size_t j = 0; j < n; ++j) {
      const size_t i = first + j;
      const IndexEntry& e = block[j];
      uint64_t ranked;
      if (i != 0 && compare_keys_followed(previous, e.key) >= 0) disagree(Disagreement::Order, i);
      if (!position(i, &ranked) || ranked != starts[j]) disagree(Disagreement::Rank, i);
      if (i % KeyTableGeometry::kSampleStep == 0 &&
          load_be64(sample_ + i / KeyTableGeometry::kSampleStep * sizeof(uint64_t)) !=
              key_head_followed(e.key)) {
        disagree(Disagreement::Sample, i);
      }
      if (!found_at(e.key, hashes[j], starts[j])) disagree(Disagreement::NotFound, i);
      c.names_record |= e.offset == record_offset;
      previous = e.key;
    }
  }
  c.end = pos;
  if (pos != section_length_) disagree(Disagreement::Leftover, size());
  uint64_t filled = 0;
  for (uint64_t s = 0; s < slot_count_; ++s) filled += slot(s) != 0;
  if (filled != num_keys_) disagree(Disagreement::ExtraSlots, size());
  return c;
}

}  // namespace vornel
