#include "read/store_check.hpp"

#include <algorithm>
#include <system_error>
#include <thread>
#include <string>
#include <utility>
#include <vector>

#include "util/crc32.hpp"
#include "util/key_bytes.hpp"
#include "util/large_buffer.hpp"
#include "util/offset_set.hpp"
#include "util/piece_groups.hpp"

namespace vornel {

// CRC-32 of everything after the header, which file_crc32 covers.
Result<uint32_t> body_crc(Bytes file) {
  uint32_t crc = 0;
  const Bytes body = file.subspan(kHeaderSize);
  if (const void* fault = guarded([&] { crc = crc32(body.data(), body.size()); })) {
    return fail(mapping_fault(fault, kHeaderSize));
  }
  return crc;
}

StoreError crc_mismatch(uint32_t stored, uint32_t computed) {
  return StoreError::mismatch(Fault::FileChecksum, stored, computed);
}

namespace {

// The record offsets of the index entries, in index order, as verify() reads them: from
// the in-memory index, or from a list gathered by walking the mapped index section.
// Anything with size() and offset_at(i) serves.
struct OffsetList {
  const uint64_t* offsets;
  size_t n;
  size_t size() const { return n; }
  uint64_t offset_at(size_t i) const { return offsets[i]; }
};

// The record offsets of every index entry in ascending order, repeats included. An LSD radix
// sort on 11-bit digits, with only as many passes as the largest offset needs: offsets are
// below the file size, so a store of a few hundred megabytes takes three.
template <class Offsets>
std::vector<uint64_t> offsets_in_file_order(const Offsets& index) {
  const size_t n = index.size();
  std::vector<uint64_t> a(n);
  uint64_t top = 0;
  bool ascending = true;
  for (size_t i = 0; i < n; ++i) {
    const uint64_t off = index.offset_at(i);
    ascending &= off >= top;
    top = off > top ? off : top;
    a[i] = off;
  }
  if (ascending) return a;  // a store staged in key order
  constexpr unsigned kDigitBits = 11;
  constexpr size_t kBuckets = size_t{1} << kDigitBits;
  std::vector<uint64_t> b(n);
  const unsigned bits = top == 0 ? 1 : 64 - static_cast<unsigned>(__builtin_clzll(top));
  std::vector<size_t> count(kBuckets);
  for (unsigned shift = 0; shift < bits; shift += kDigitBits) {
    std::fill(count.begin(), count.end(), 0);
    for (uint64_t v : a) ++count[(v >> shift) & (kBuckets - 1)];
    size_t sum = 0;
    for (size_t& c : count) sum += std::exchange(c, sum);
    for (uint64_t v : a) b[count[(v >> shift) & (kBuckets - 1)]++] = v;
    a.swap(b);
  }
  return a;
}

// The record check of verify(): the bounds of the record, then its checksum.
enum class RecordCheck : uint8_t { Intact, PrefixOutside, PayloadOutside, Mismatch };

// A record inside the file, with the checksum stored in front of it.
struct BoundedRecord {
  Bytes payload;
  uint32_t stored_crc = 0;
};

// The first half of the check: whether the record at `off` lies inside the file. Apart
// from the second so that checksums can run in batches.
RecordCheck bound_record(Bytes file, uint64_t off, BoundedRecord* record) {
  switch (locate_record(file, off, &record->payload)) {
    case RecordBound::PrefixOutside:
      return RecordCheck::PrefixOutside;
    case RecordBound::PayloadOutside:
      return RecordCheck::PayloadOutside;
    case RecordBound::Inside:
      break;
  }
  record->stored_crc = RecordPrefix::decode(file.data() + off).crc;
  return RecordCheck::Intact;
}

// The whole check of the record at `off`. Reads the mapping: call it inside a guarded
// region.
RecordCheck check_record(Bytes file, uint64_t off) {
  BoundedRecord record;
  if (const RecordCheck c = bound_record(file, off, &record); c != RecordCheck::Intact) return c;
  const bool same = crc32(record.payload.data(), record.payload.size()) == record.stored_crc;
  return same ? RecordCheck::Intact : RecordCheck::Mismatch;
}

// verify()'s words for the record at `off` that failed its check as `check`.
StoreError record_check_error(RecordCheck check, uint64_t off) {
  switch (check) {
    case RecordCheck::PrefixOutside:
      return StoreError::corrupt(Fault::ObjectPrefixOutside, off);
    case RecordCheck::PayloadOutside:
      return record_error(RecordBound::PayloadOutside, off);
    case RecordCheck::Mismatch:
    case RecordCheck::Intact:
      break;
  }
  return StoreError::corrupt(Fault::ObjectChecksum, off);
}

// The records of the data section walked back to back from the header's end, as far as
// they stay before `end` (index_offset, bounded by the file): they tile the section when
// the walk stops exactly there.
struct RecordWalk {
  uint64_t pos = kDataOffset;
  uint64_t count = 0;
  bool done = false;

  // Walks on over the records that start before `until`. Reads the mapping.
  void advance(Bytes file, uint64_t end, uint64_t until) {
    while (!done && pos < until) {
      if (pos >= end || end - pos < kRecordPrefix) {
        done = true;
        return;
      }
      const uint64_t len = RecordPrefix::decode(file.data() + pos).length;
      if (len > end - pos - kRecordPrefix) {
        done = true;
        return;
      }
      pos += kRecordPrefix + len;
      ++count;
    }
  }
};

// The outcome of one pass over the file: its body checksum, whether every record that
// some entry names lies inside the file and matches its checksum, and the walk of the
// records.
struct FileCheck {
  uint32_t body_crc = 0;
  bool records_intact = true;
  RecordWalk records;
};

// Stores of small records, up to this many file bytes per entry, take the path that groups
// the offsets by piece and checksums records side by side; the groups then cost at most
// about 4 bytes per entry.
constexpr uint64_t kSmallRecordBytesPerEntry = 256;
// The body is checksummed in pieces that stay in the cache for the records starting there.
constexpr uint64_t kPieceSize = PieceGroups::kPieceSize;
static_assert(kPieceSize % 64 == 0);
// Records checksummed side by side.
constexpr size_t kBatch = 64;

// Both checks of verify() in one read of the file, for stores of small records: each piece
// of the body is checksummed whole, then the referenced records that start in it, while it
// is still in the cache.
template <class Offsets>
Result<FileCheck> check_in_pieces(const Offsets& index, Bytes file, uint64_t records_end) {
  const uint64_t size = file.size();
  const size_t n = index.size();
  FileCheck check;
  PieceGroups groups(size, n);
  for (size_t i = 0; i < n; ++i) {
    const uint64_t off = index.offset_at(i);
    if (off >= size) {
      check.records_intact = false;
      break;
    }
    groups.add(off);
  }
  // A bitmap of the piece, small enough for the first-level cache, lets a record that several
  // keys share be checked once.
  uint64_t marks[kPieceSize / 64] = {};
  Crc32Job jobs[kBatch];
  uint32_t stored[kBatch];
  size_t queued = 0;
  const auto run_batch = [&] {
    crc32_each(jobs, queued);
    for (size_t k = 0; k < queued; ++k) check.records_intact &= jobs[k].crc == stored[k];
    queued = 0;
  };
  uint64_t from = kHeaderSize;  // where the piece being read begins
  if (const void* fault = guarded([&] {
        for (size_t p = 0; p < groups.pieces(); ++p) {
          const uint64_t base = p * kPieceSize;
          const uint64_t to = std::min(size, base + kPieceSize);
          from = std::max(base, kHeaderSize);
          if (check.records_intact) groups.prefetch(p);
          if (from < to) {
            check.body_crc = crc32_extend(check.body_crc, file.data() + from, to - from);
          }
          check.records.advance(file, records_end, to);
          if (!check.records_intact) continue;
          groups.for_each(p, [&](PieceGroups::Place place) {
            const uint64_t bit = uint64_t{1} << (place % 64);
            uint64_t& word = marks[place / 64];
            if (word & bit) return;
            word |= bit;
            BoundedRecord record;
            if (bound_record(file, base + place, &record) != RecordCheck::Intact) {
              check.records_intact = false;
              return;  // the marks are still cleared below
            }
            jobs[queued] = {record.payload.data(), record.payload.size(), 0};
            stored[queued] = record.stored_crc;
            if (++queued == kBatch) run_batch();
          });
          groups.for_each(p, [&](PieceGroups::Place place) { marks[place / 64] = 0; });
        }
        run_batch();
        check.records.advance(file, records_end, UINT64_MAX);
      })) {
    return fail(mapping_fault(fault, from));
  }
  return check;
}

// `records_end`: where the records must end, index_offset bounded by the file.
template <class Offsets>
Result<FileCheck> check_file(const Offsets& index, Bytes file, uint64_t records_end) {
  if (file.size() / kSmallRecordBytesPerEntry <= index.size()) {
    return check_in_pieces(index, file, records_end);
  }
  // Large records: the two passes cost the same however they are interleaved.
  FileCheck check;
  auto crc = body_crc(file);
  if (!crc) return fail(std::move(crc.error()));
  check.body_crc = *crc;
  const std::vector<uint64_t> offsets = offsets_in_file_order(index);
  const uint64_t* const sorted = offsets.data();
  const size_t n = offsets.size();
  uint64_t at = 0;  // the record being read
  if (const void* fault = guarded([&] {
        check.records.advance(file, records_end, UINT64_MAX);  // few records: few prefixes
        for (size_t i = 0; i < n && check.records_intact; ++i) {
          if (i != 0 && sorted[i] == sorted[i - 1]) continue;  // a shared record, checked already
          at = sorted[i];
          check.records_intact = check_record(file, at) == RecordCheck::Intact;
        }
      })) {
    return fail(mapping_fault(fault, at));
  }
  return check;
}

// The first fault of the referenced records, looked up again in index order, which
// decides the one reported: one guarded region for the whole walk, which stops at the
// first record that fails.
template <class Offsets>
Status first_record_fault(const ReaderState& s, const Offsets& offsets) {
  OffsetSet seen(offsets.size());
  uint64_t off = 0;
  RecordCheck record = RecordCheck::Intact;
  if (const void* fault = s.read([&] {
        for (size_t i = 0; i < offsets.size() && record == RecordCheck::Intact; ++i) {
          off = offsets.offset_at(i);
          if (seen.insert(off)) record = check_record(s.file(), off);
        }
      })) {
    return fail(s.read_error(fault, off));
  }
  if (record != RecordCheck::Intact) return fail(record_check_error(record, off));
  return {};
}

// The table's own record against its checksum, then the table against the walk of the
// index section, for a table that no key names.
Status check_claimed_table(const ReaderState& s, const KeyTable::Check& walk) {
  const uint64_t at = s.verdict.record_offset;
  RecordCheck record = RecordCheck::Intact;
  if (const void* fault = s.read([&] { record = check_record(s.file(), at); })) {
    return fail(s.read_error(fault, at));
  }
  if (record != RecordCheck::Intact) return fail(table_record_error(at));
  if (walk.what != KeyTable::Disagreement::None) return fail(table_disagrees(walk));
  if (walk.names_record) {
    return fail(StoreError::about(Fault::MarkedTableIgnored, static_cast<uint8_t>(TableNote::NamedByKey)));
  }
  return {};
}

// The header's marks: sound, and every record they mark in use.
Status check_marks(const ReaderState& s) {
  if (s.marks.state == Marks::State::Damaged) return fail(StoreError::corrupt(Fault::MarksDamaged));
  if (s.marked_table() && s.verdict.state != KeyTableState::InUse) {
    return fail(StoreError::about(Fault::MarkedTableIgnored, static_cast<uint8_t>(s.verdict.note)));
  }
  return {};
}

Status check_walked_layout(const ReaderState& s, uint64_t entries_end, const RecordWalk& walk);

// What verify() reports after the whole-file pass (`check`), in order.
template <class Offsets>
Status verify_over(const ReaderState& s, Result<FileCheck>& check, const Offsets& offsets,
                   const KeyTable::Check* walk, uint64_t entries_end, bool ordered,
                   size_t unordered_at) {
  if (!check) return fail(std::move(check.error()));
  if (check->body_crc != s.header.file_crc32) {
    return fail(crc_mismatch(s.header.file_crc32, check->body_crc));
  }
  if (walk != nullptr && walk->what == KeyTable::Disagreement::EntryOutside) {
    return fail(IndexEntry::bound_error(walk->bound));
  }
  if (!check->records_intact) {
    if (Status r = first_record_fault(s, offsets); !r) return r;
  }
  if (Status layout = check_walked_layout(s, entries_end, check->records); !layout) return layout;
  if (s.strict && !ordered) return fail(unordered_error(unordered_at));
  return {};
}

}  // namespace

StoreError table_disagrees(const KeyTable::Check& c) {
  return StoreError::table_disagrees(static_cast<uint8_t>(c.what), static_cast<size_t>(c.entry));
}

StoreError table_record_error(uint64_t offset) {
  return StoreError::corrupt(Fault::TableRecordChecksum, offset);
}

size_t first_unordered(const MemoryIndex& index) {
  IndexEntry pair[2];
  for (size_t i = 1; i < index.size(); ++i) {
    (void)index.entries(i - 1, 2, pair);
    if (compare_keys(pair[0].key, pair[1].key) >= 0) return i;
  }
  return index.size();
}

StoreError unordered_error(size_t entry) {
  return StoreError::at_rank(Fault::KeysUnordered, entry);
}

namespace {

// check_layout over records already walked.
Status check_walked_layout(const ReaderState& s, uint64_t entries_end, const RecordWalk& walk) {
  const Header& h = s.header;
  if (entries_end != s.file_size) {
    return fail(StoreError::mismatch(Fault::EntriesEnd, s.file_size, s.file_size, entries_end));
  }
  // The records, back to back from the header's end, must end exactly where the index
  // section begins.
  const uint64_t end = std::min(h.index_offset, s.file_size);  // as entries_end shows it is
  const uint64_t pos = walk.pos;
  const uint64_t count = walk.count;
  if (pos != end) {
    return fail(pos > end ? StoreError::corrupt(Fault::IndexOffsetInHeader, end)
                          : StoreError::mismatch(Fault::RecordsUntiled, end, end, pos));
  }
  if (s.strict && count != h.num_objects) {
    return fail(StoreError::mismatch(Fault::ObjectCount, h.num_objects, count));
  }
  return {};
}

}  // namespace

Status check_layout(const ReaderState& s, uint64_t entries_end) {
  RecordWalk walk;
  if (entries_end == s.file_size) {
    if (const void* fault = s.read([&] {
          walk.advance(s.file(), std::min(s.header.index_offset, s.file_size), UINT64_MAX);
        })) {
      return fail(s.read_error(fault, walk.pos));
    }
  }
  return check_walked_layout(s, entries_end, walk);
}

KeyTable::Check walk_table(const ReaderState& s, const void** fault) {
  KeyTable::Check walk;
  *fault = s.read([&] { walk = s.table.check_against_index(s.verdict.record_offset); });
  return walk;
}

Status verify_store(const ReaderState& s) {
  const Status result = std::visit(
      [&](const auto& index) -> Status {
        using Index = std::decay_t<decltype(index)>;
        KeyTable::Check walk;
        const void* walk_fault = nullptr;
        const auto walk_claimed = [&] { walk = walk_table(s, &walk_fault); };
        Result<FileCheck> check;
        const uint64_t records_end = std::min(s.header.index_offset, s.file_size);
        if constexpr (std::is_same_v<Index, MemoryIndex>) {
          if (s.table_claimed) {
            side_by_side([&] { check = check_file(index, s.file(), records_end); }, walk_claimed);
            if (walk_fault != nullptr) return fail(s.read_error(walk_fault, s.header.index_offset));
          } else {
            check = check_file(index, s.file(), records_end);
          }
          const bool ordered = index.in_key_order() && index.keys_distinct();
          if (Status st = verify_over(s, check, index, nullptr,
                                      s.header.index_offset + index.section_size(), ordered,
                                      ordered ? 0 : first_unordered(index));
              !st) {
            return st;
          }
          if (s.table_claimed) {
            if (Status st = check_claimed_table(s, walk); !st) return st;
          }
          return check_marks(s);
        } else {
          // The records' offsets from a plain walk of the index section; the table is
          // checked against every entry beside the whole-file pass.
          LargeBuffer buffer(index.size() * sizeof(uint64_t));
          uint64_t* const offsets = buffer.as<uint64_t>();
          size_t walked = 0;
          if (const void* fault = s.read([&] { walked = index.entry_offsets(offsets); })) {
            return fail(s.read_error(fault, s.header.index_offset));
          }
          const OffsetList list{offsets, walked};
          side_by_side([&] { check = check_file(list, s.file(), records_end); }, walk_claimed);
          if (walk_fault != nullptr) return fail(s.read_error(walk_fault, s.header.index_offset));
          const bool ordered = walk.what != KeyTable::Disagreement::Order;
          if (Status st = verify_over(s, check, list, &walk, s.header.index_offset + walk.end,
                                      ordered, walk.entry);
              !st) {
            return st;
          }
          if (Status st = check_claimed_table(s, walk); !st) return st;
          return check_marks(s);
        }
      },
      s.index);
  // A file cut while it was read reads as damage: say what happened instead.
  if (const void* fault = s.read([] {})) return fail(s.read_error(fault, s.file_size));
  return result;
}

}  // namespace vornel
