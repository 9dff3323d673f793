#include "reader.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "crc32.hpp"
#include "key_bytes.hpp"
#include "key_index.hpp"
#include "util/fault_guard.hpp"
#include "util/file.hpp"
#include "util/large_buffer.hpp"
#include "util/mapping.hpp"
#include "util/offset_set.hpp"
#include "util/piece_groups.hpp"

namespace vornel {

namespace {

// A bus error in a guarded read that began at file offset `start`: the file was cut
// short under the mapping. The offset named is that of the faulting byte, or `start`
// where the system does not say which byte it was.
StoreError mapping_fault(const void* addr, uint64_t start) {
  const uint64_t at = FileMapping::offset_of(addr).value_or(start);
  return StoreError::io("store file changed while mapped: bus error at offset " +
                        std::to_string(at));
}

// CRC-32 of everything after the header, which file_crc32 covers.
Result<uint32_t> body_crc(Bytes file) {
  uint32_t crc = 0;
  const Bytes body = file.subspan(kHeaderSize);
  if (const void* fault = guarded([&] { crc = crc32(body.data(), body.size()); })) {
    return fail(mapping_fault(fault, kHeaderSize));
  }
  return crc;
}

// The error of the first of `count` entries from `pos` on that runs past the end of the
// file; the caller knows that one does. Allocates nothing.
StoreError index_bound_error(Bytes file, uint64_t pos, uint32_t count) {
  IndexEntry::Bound bound = IndexEntry::Bound::Inside;
  const void* fault = guarded([&] {
    IndexEntry entry;
    for (uint32_t i = 0; i < count; ++i) {
      bound = IndexEntry::locate(file, pos, &entry);
      if (bound != IndexEntry::Bound::Inside) return;
      pos += entry.encoded_size();
    }
  });
  if (fault != nullptr) return mapping_fault(fault, pos);
  return IndexEntry::bound_error(bound);
}

// The size that `h` promises at least: every index entry takes kIndexEntryMin bytes or
// more after index_offset.
uint64_t promised_size(const Header& h) {
  const uint64_t entries = uint64_t{h.num_keys} * kIndexEntryMin;
  return h.index_offset > UINT64_MAX - entries ? UINT64_MAX : h.index_offset + entries;
}

StoreError crc_mismatch(uint32_t stored, uint32_t computed) {
  return StoreError::corrupt("file CRC32 mismatch  stored=" + crc_hex(stored) +
                             "  computed=" + crc_hex(computed));
}

// Reads one byte of every page that `b` reaches beyond the page holding `seen`,
// which the caller has just read. A page the file no longer backs then faults here,
// inside the caller's guarded region, rather than in a later copy; a small object
// that shares its page with its record prefix costs nothing more.
void touch_pages(const uint8_t* seen, Bytes b) {
  constexpr uintptr_t kStep = 4096;  // no larger than any page, and pages align to it
  const uintptr_t start = reinterpret_cast<uintptr_t>(b.data());
  const uintptr_t next_page = (reinterpret_cast<uintptr_t>(seen) | (kStep - 1)) + 1;
  const volatile uint8_t* p = b.data();
  for (size_t i = next_page > start ? next_page - start : 0; i < b.size(); i += kStep) (void)p[i];
}

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
      return StoreError::corrupt("object offset " + std::to_string(off) + " out of bounds");
    case RecordCheck::PayloadOutside:
      return record_error(RecordBound::PayloadOutside, off);
    case RecordCheck::Mismatch:
    case RecordCheck::Intact:
      break;
  }
  return StoreError::corrupt("object CRC32 mismatch at offset " + std::to_string(off));
}

// The outcome of one pass over the file: its body checksum, and whether every record that
// some entry names lies inside the file and matches its checksum.
struct FileCheck {
  uint32_t body_crc = 0;
  bool records_intact = true;
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
Result<FileCheck> check_in_pieces(const Offsets& index, Bytes file) {
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
      })) {
    return fail(mapping_fault(fault, from));
  }
  return check;
}

template <class Offsets>
Result<FileCheck> check_file(const Offsets& index, Bytes file) {
  if (file.size() / kSmallRecordBytesPerEntry <= index.size()) {
    return check_in_pieces(index, file);
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

// verify()'s record checks over the entries' offsets, in index order: one pass over the
// file for the whole-file checksum and the records, in file order; a record fault is then
// looked up again in index order, which decides the one reported. The whole-file result is
// reported first, as if it had been checked first. `then` runs between the two, for a
// fault that ranks after the file's checksum but before the records.
template <class Offsets, class Then>
Status verify_records(const Offsets& offsets, Bytes file, uint32_t stored_crc, Then&& then) {
  auto check = check_file(offsets, file);
  if (!check) return fail(std::move(check.error()));
  if (check->body_crc != stored_crc) return fail(crc_mismatch(stored_crc, check->body_crc));
  if (Status s = then(); !s) return s;
  if (check->records_intact) return {};
  // One guarded region for the whole walk: it stops at the first record that fails.
  OffsetSet seen(offsets.size());
  uint64_t off = 0;
  RecordCheck record = RecordCheck::Intact;
  if (const void* fault = guarded([&] {
        for (size_t i = 0; i < offsets.size() && record == RecordCheck::Intact; ++i) {
          off = offsets.offset_at(i);
          if (seen.insert(off)) record = check_record(file, off);
        }
      })) {
    return fail(mapping_fault(fault, off));
  }
  if (record != RecordCheck::Intact) return fail(record_check_error(record, off));
  return {};
}

StoreError rank_range_error(size_t first, size_t n, size_t size) {
  return StoreError::invalid("ranks " + std::to_string(first) + " to " + std::to_string(first + n) +
                             " out of range (have " + std::to_string(size) + " keys)");
}

StoreError unnamed_rank(size_t rank) {
  return StoreError::corrupt("key table names no entry for rank " + std::to_string(rank));
}

StoreError table_disagrees(const KeyTable::Check& c) {
  const std::string entry = "entry " + std::to_string(c.entry);
  std::string what;
  switch (c.what) {
    case KeyTable::Disagreement::Order:
      what = entry + " is not above the key before it";
      break;
    case KeyTable::Disagreement::Rank:
      what = "the rank of " + entry + " names another entry";
      break;
    case KeyTable::Disagreement::Sample:
      what = "the sampled head of " + entry + " is not its key's";
      break;
    case KeyTable::Disagreement::NotFound:
      what = entry + " is not found at its own position";
      break;
    case KeyTable::Disagreement::NamesTable:
      what = entry + " names the key table's own record";
      break;
    case KeyTable::Disagreement::Leftover:
      what = "bytes follow the last entry";
      break;
    case KeyTable::Disagreement::ExtraSlots:
      what = "its slots name more entries than there are";
      break;
    case KeyTable::Disagreement::None:
    case KeyTable::Disagreement::EntryOutside:
      break;
  }
  return StoreError::corrupt("key table disagrees with the index section: " + what);
}

}  // namespace

struct Reader::State {
  State(std::string p, Header h, uint64_t size, FileMapping m, KeyIndex i, KeyTable t,
        KeyTable::Verdict v)
      : path(std::move(p)), header(h), file_size(size), mapping(std::move(m)),
        index(std::move(i)), table(t), verdict(v), table_note(v.note) {}

  std::string path;
  Header header;
  uint64_t file_size;
  FileMapping mapping;
  KeyIndex index;  // empty while the table is in use
  KeyTable table;
  KeyTable::Verdict verdict;
  std::string table_note;

  Bytes file() const { return Bytes(mapping.data(), file_size); }
  bool uses_table() const { return verdict.state == KeyTableState::InUse; }
  // A guarded read of the table failed at `fault`.
  StoreError table_fault(const void* fault) const { return mapping_fault(fault, header.index_offset); }
};

Reader::~Reader() = default;

Result<std::unique_ptr<Reader>> Reader::open(std::string_view path, bool verify) {
  return open(path, verify, OpenOptions{});
}

Result<std::unique_ptr<Reader>> Reader::open(std::string_view path, bool verify,
                                             const OpenOptions& options) {
  std::string c_path;
  if (!to_c_path(path, c_path)) {
    return fail(StoreError::io("cannot open " + std::string(path) + ": " + kNulInPathText));
  }
  // O_NONBLOCK keeps a FIFO from blocking the open; its mapping then fails.
  FileDescriptor fd(
      retry_eintr([&] { return ::open(c_path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK); }));
  if (!fd.valid()) return fail(StoreError::os(errno, "cannot open " + std::string(path) + ": "));
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return fail(StoreError::os(errno, "mmap failed: "));
  if (options.refuse_directory && S_ISDIR(st.st_mode)) return fail(StoreError::os(EISDIR));
  const auto file_size = static_cast<uint64_t>(st.st_size);
  auto mapping = FileMapping::map(fd.get(), file_size == 0 ? 1 : file_size);
  if (!mapping) return fail(StoreError::io("mmap failed: " + mapping.error().message()));
  // The mapping keeps the contents reachable; the descriptor is no longer needed.
  fd.reset();

  const uint8_t* base = mapping->data();
  const Bytes file(base, file_size);
  // Every read of the mapping is guarded: the file may be cut short under it.
  uint8_t header_bytes[kHeaderSize];
  const size_t header_len = file_size < kHeaderSize ? file_size : kHeaderSize;
  if (const void* fault = guarded([&] { std::memcpy(header_bytes, base, header_len); })) {
    return fail(mapping_fault(fault, 0));
  }
  auto header = Header::decode(Bytes(header_bytes, header_len));
  if (!header) return fail(std::move(header.error()));
  // Damage found from here on, as the options ask it reported.
  const auto damaged = [&](StoreError e) {
    if (options.name_truncation && e.kind() == ErrorKind::Corrupt && S_ISREG(st.st_mode)) {
      if (const uint64_t promised = promised_size(*header); file_size < promised) {
        e = StoreError::corrupt("truncated: " + std::to_string(file_size) +
                                " bytes, the header expects at least " + std::to_string(promised));
      }
    }
    return fail(std::move(e));
  };

  if (verify) {
    auto computed = body_crc(file);
    if (!computed) return fail(std::move(computed.error()));
    if (*computed != header->file_crc32) return damaged(crc_mismatch(header->file_crc32, *computed));
  }

  KeyTable table;
  KeyTable::Verdict verdict;
  if (options.use_key_table) {
    if (const void* fault = guarded([&] { verdict = table.open(file, *header); })) {
      return fail(mapping_fault(fault, header->index_offset));
    }
  }
  const auto make = [&](KeyIndex index) {
    std::unique_ptr<Reader> reader(new Reader());
    reader->state_ = std::make_unique<State>(std::string(path), *header, file_size,
                                             std::move(*mapping), std::move(index), table,
                                             verdict);
    return reader;
  };
  if (verdict.state == KeyTableState::InUse) {
    auto reader = make(KeyIndex(Bytes(), 0));
    // A checked open trusts the table only once it agrees with the index section, as
    // verify() would. The file's checksum above covers every byte of both, but a table
    // record whose own checksum was already wrong when the file's was taken passes it:
    // check_table checks that one too, for a report that names the record.
    if (verify) {
      Status agreed = reader->check_table(
          nullptr, [](const KeyTable::Check&, auto&& entries_whole) { return entries_whole(); });
      if (!agreed) return damaged(std::move(agreed.error()));
    }
    return reader;
  }

  // Every entry takes at least kIndexEntryMin bytes: a count that the rest of the file
  // cannot hold fails the walk below before anything is allocated for it.
  const uint32_t count = header->num_keys;
  const uint64_t start = header->index_offset;
  const uint64_t capacity = start < file_size ? file_size - start : 0;
  if (count > capacity / kIndexEntryMin) return damaged(index_bound_error(file, start, count));

  // One forward pass copies the index section, bounds each entry and hashes its key;
  // the table is then filled from the copy alone.
  // With no keys the section is never read, and its offset may lie anywhere.
  const uint8_t* const section = count == 0 ? base : base + start;
  KeyIndex::Loader loader(count, std::min<uint64_t>(capacity, count * kMaxIndexEntry));
  IndexEntry::Bound bound = IndexEntry::Bound::Inside;
  if (const void* fault = guarded([&] { bound = loader.scan(section); })) {
    return fail(mapping_fault(fault, start + loader.scanned()));
  }
  if (bound != IndexEntry::Bound::Inside) return damaged(IndexEntry::bound_error(bound));
  return make(KeyIndex(std::move(loader)));
}

const std::string& Reader::path() const { return state_->path; }
Bytes Reader::mapped_file() const { return state_->file(); }
const Header& Reader::header() const { return state_->header; }
uint64_t Reader::file_size() const { return state_->file_size; }

KeyTableState Reader::key_table_state() const { return state_->verdict.state; }
const std::string& Reader::key_table_note() const { return state_->table_note; }
uint64_t Reader::user_objects() const {
  return state_->header.num_objects - (state_->verdict.record ? 1 : 0);
}

size_t Reader::size() const {
  return state_->uses_table() ? state_->table.size() : state_->index.size();
}

Result<std::optional<uint64_t>> Reader::lookup(Bytes key) const {
  const State& s = *state_;
  if (!s.uses_table()) return s.index.find(key, s.file());
  KeyTable::Hit hit;
  if (const void* fault = guarded([&] { hit = s.table.find(key); })) {
    return fail(s.table_fault(fault));
  }
  if (!hit.found) return std::nullopt;
  return hit.offset;
}

Result<std::optional<Bytes>> Reader::get(Bytes key) const {
  // No room to copy to: a payload is located and its pages touched, as read_object does.
  auto found = get_into(key, nullptr, 0);
  if (!found) return fail(std::move(found.error()));
  if (!*found) return std::nullopt;
  return (*found)->payload;
}

Result<std::optional<Reader::Value>> Reader::get_into(Bytes key, uint8_t* dst,
                                                      size_t capacity) const {
  const State& s = *state_;
  const Bytes file = s.file();
  bool found = false;
  uint64_t off = 0;
  if (!s.uses_table()) {
    const auto at = s.index.find(key, file);  // the index is memory of its own
    if (!at) return std::nullopt;
    found = true;
    off = *at;
  }
  Bytes payload;
  RecordBound bound = RecordBound::Inside;
  if (const void* fault = guarded([&] {
        if (s.uses_table()) {
          const KeyTable::Hit hit = s.table.find(key);
          if (!hit.found) return;
          found = true;
          off = hit.offset;
        }
        bound = locate_record(file, off, &payload);
        if (bound != RecordBound::Inside) return;
        if (payload.size() <= capacity) {
          if (!payload.empty()) std::memcpy(dst, payload.data(), payload.size());
        } else {
          touch_pages(file.data() + off, payload);
        }
      })) {
    return fail(found ? mapping_fault(fault, off) : s.table_fault(fault));
  }
  if (!found) return std::nullopt;
  if (bound != RecordBound::Inside) return fail(record_error(bound, off));
  return Value{payload, payload.size() <= capacity};
}

Result<bool> Reader::holds(Bytes key) const {
  const State& s = *state_;
  if (!s.uses_table()) return s.index.contains(key);
  bool found = false;
  if (const void* fault = guarded([&] { found = s.table.contains(key); })) {
    return fail(s.table_fault(fault));
  }
  return found;
}

Result<size_t> Reader::lower_bound(Bytes key) const {
  const State& s = *state_;
  if (!s.uses_table()) return first_not_below(key);
  size_t rank = 0;
  bool named = true;
  if (const void* fault = guarded([&] { named = s.table.lower_bound(key, &rank); })) {
    return fail(s.table_fault(fault));
  }
  if (!named) return fail(unnamed_rank(rank));
  return rank;
}

Status Reader::locate_keys(size_t first, size_t n, Bytes* out) const {
  const State& s = *state_;
  if (first > size() || n > size() - first) return fail(rank_range_error(first, n, size()));
  if (!s.uses_table()) {
    for (size_t i = 0; i < n; ++i) out[i] = s.index.key_at(first + i);
    return {};
  }
  size_t unnamed = n;
  if (const void* fault = guarded([&] {
        for (size_t i = 0; i < n; ++i) {
          IndexEntry e;
          if (!s.table.entry(first + i, &e)) {
            unnamed = i;
            return;
          }
          out[i] = e.key;
          touch_pages(e.key.data() - kKeyLenSize, e.key);
        }
      })) {
    return fail(s.table_fault(fault));
  }
  if (unnamed != n) return fail(unnamed_rank(first + unnamed));
  return {};
}

Bytes Reader::key_at(size_t i) const {
  return state_->uses_table() ? Bytes() : state_->index.key_at(i);
}
uint64_t Reader::offset_at(size_t i) const {
  return state_->uses_table() ? ~uint64_t{0} : state_->index.offset_at(i);
}

bool Reader::contains(Bytes key) const {
  return !state_->uses_table() && state_->index.contains(key);
}

std::optional<uint64_t> Reader::find(Bytes key) const {
  if (state_->uses_table()) return std::nullopt;
  // Callers mostly read the record next: start fetching it during the key comparison.
  return state_->index.find(key, state_->file());
}

Result<Bytes> Reader::read_object(uint64_t off) const {
  const Bytes file = state_->file();
  Bytes payload;
  RecordBound bound = RecordBound::Inside;
  // Touching the payload's pages here reports a file already cut short as an error
  // of this call; copy_out guards the copy itself against a cut that comes later.
  if (const void* fault = guarded([&] {
        bound = locate_record(file, off, &payload);
        if (bound == RecordBound::Inside) touch_pages(file.data() + off, payload);
      })) {
    return fail(mapping_fault(fault, off));
  }
  if (bound != RecordBound::Inside) return fail(record_error(bound, off));
  return payload;
}

void Reader::prefetch_entry(size_t i) const {
  if (!state_->uses_table()) prefetch_record(state_->index.offset_at(i));
}

void Reader::prefetch_record(uint64_t off) const {
  if (off >= state_->file_size) return;
  // The prefix and a small payload span two cache lines as often as not.
  const uint8_t* record = state_->mapping.data() + off;
  __builtin_prefetch(record);
  if (state_->file_size - off > 64) __builtin_prefetch(record + 64);
}

size_t Reader::first_not_below(Bytes key) const {
  const KeyIndex& index = state_->index;
  const size_t n = index.size();
  if (n == 0) return 0;
  // Every search finds the same entry in a sorted index; an unsorted one gets the plain
  // binary search, whose steps then decide the answer.
  if (index.sorted()) return index.lower_bound(key);
  size_t base = 0;
  size_t size = n;
  while (size > 1) {
    const size_t half = size / 2;
    const size_t mid = base + half;
    if (key_less(index.key_at(mid), key)) base = mid;
    size -= half;
  }
  return base + (key_less(index.key_at(base), key) ? 1 : 0);
}

Result<std::pair<size_t, size_t>> Reader::prefix_range(Bytes prefix) const {
  const State& s = *state_;
  auto first = lower_bound(prefix);
  if (!first) return fail(std::move(first.error()));
  if (!s.uses_table() && !s.index.sorted()) {
    // The binary search's steps decided the lower bound; the matches that count are
    // the run from there.
    size_t last = *first;
    while (last < s.index.size() && has_prefix(s.index.key_at(last), prefix)) ++last;
    return std::pair{*first, last};
  }
  // The smallest key above every key with the prefix: the prefix without its trailing
  // 0xFF bytes, the last remaining byte one higher.
  size_t len = prefix.size();
  while (len > 0 && prefix[len - 1] == 0xFF) --len;
  if (len == 0) return std::pair{*first, size()};
  uint8_t small[256];  // most prefixes; a longer one is copied to the heap
  std::vector<uint8_t> large;
  uint8_t* above = small;
  if (len > sizeof small) {
    large.resize(len);
    above = large.data();
  }
  std::memcpy(above, prefix.data(), len);
  ++above[len - 1];
  auto last = lower_bound(Bytes(above, len));
  if (!last) return fail(std::move(last.error()));
  return std::pair{*first, *last};
}

// The payloads of n records, each bounds-checked and its pages touched, in one guarded
// region; the error of the first that fails. The records are asked for a batch ahead of
// their reading: a scan in key order meets them in any order, and the next offsets do
// not wait for the records before them.
template <class OffsetOf>
Status Reader::locate(size_t first, size_t n, OffsetOf offset_of, Bytes* out) const {
  constexpr size_t kAhead = 32;
  const Bytes file = state_->file();
  uint64_t offsets[kAhead];
  uint64_t off = 0;
  size_t unnamed = n;
  RecordBound bound = RecordBound::Inside;
  if (const void* fault = guarded([&] {
        for (size_t base = 0; base < n; base += kAhead) {
          const size_t batch = n - base < kAhead ? n - base : kAhead;
          size_t named = 0;
          while (named < batch && offset_of(base + named, &offsets[named])) {
            prefetch_record(offsets[named]);
            ++named;
          }
          for (size_t j = 0; j < named; ++j) {
            off = offsets[j];
            bound = locate_record(file, off, &out[base + j]);
            if (bound != RecordBound::Inside) return;
            touch_pages(file.data() + off, out[base + j]);
          }
          if (named != batch) {
            unnamed = base + named;
            return;
          }
        }
      })) {
    return fail(mapping_fault(fault, off));
  }
  if (unnamed != n) return fail(unnamed_rank(first + unnamed));
  if (bound != RecordBound::Inside) return fail(record_error(bound, off));
  return {};
}

Status Reader::locate_entries(size_t first, size_t n, Bytes* out) const {
  const State& s = *state_;
  if (!s.uses_table()) {
    return locate(first, n, [&](size_t i, uint64_t* off) {
      *off = s.index.offset_at(first + i);
      return true;
    }, out);
  }
  if (first > size() || n > size() - first) return fail(rank_range_error(first, n, size()));
  return locate(first, n, [&](size_t i, uint64_t* off) {
    IndexEntry e;
    if (!s.table.entry(first + i, &e)) return false;
    *off = e.offset;
    return true;
  }, out);
}

Status Reader::locate_items(size_t first, size_t n, Bytes* keys, Bytes* payloads) const {
  const State& s = *state_;
  if (first > size() || n > size() - first) return fail(rank_range_error(first, n, size()));
  if (!s.uses_table()) {
    return locate(first, n, [&](size_t i, uint64_t* off) {
      keys[i] = s.index.key_at(first + i);
      *off = s.index.offset_at(first + i);
      return true;
    }, payloads);
  }
  return locate(first, n, [&](size_t i, uint64_t* off) {
    IndexEntry e;
    if (!s.table.entry(first + i, &e)) return false;
    keys[i] = e.key;
    touch_pages(e.key.data() - kKeyLenSize, e.key);
    *off = e.offset;
    return true;
  }, payloads);
}

Status Reader::locate_records(const uint64_t* offsets, size_t n, Bytes* out) const {
  return locate(0, n, [&](size_t i, uint64_t* off) {
    *off = offsets[i];
    return true;
  }, out);
}

Result<std::vector<Bytes>> Reader::read_entries(size_t first, size_t last) const {
  if (last > size()) last = size();
  if (first > last) first = last;
  std::vector<Bytes> payloads(last - first);  // sized here: the region allocates nothing
  if (Status s = locate_entries(first, last - first, payloads.data()); !s) {
    return fail(std::move(s.error()));
  }
  return payloads;
}

std::vector<uint64_t> Reader::distinct_offsets() const {
  if (state_->uses_table()) return {};
  const KeyIndex& index = state_->index;
  OffsetSet seen(index.size());
  std::vector<uint64_t> offsets;
  for (size_t i = 0; i < index.size(); ++i) {
    if (const uint64_t off = index.offset_at(i); seen.insert(off)) offsets.push_back(off);
  }
  return offsets;
}

Result<std::vector<Bytes>> Reader::distinct_objects() const {
  const std::vector<uint64_t> offsets = distinct_offsets();
  std::vector<Bytes> payloads(offsets.size());
  if (Status s = locate_records(offsets.data(), offsets.size(), payloads.data()); !s) {
    return fail(std::move(s.error()));
  }
  return payloads;
}

Status Reader::verify() const {
  const State& s = *state_;
  if (s.uses_table()) return verify_with_table();
  return verify_records(s.index, s.file(), s.header.file_crc32, [] { return Status(); });
}

template <typename Records>
Status Reader::check_table(uint64_t* offsets, Records&& records) const {
  const State& s = *state_;
  KeyTable::Check check;
  if (const void* fault = guarded([&] {
        check = s.table.check_against_index(offsets, s.verdict.record_offset);
      })) {
    return fail(s.table_fault(fault));
  }
  // An index section whose entries overrun it fails as at an open that indexes in
  // memory; `records` decides where that ranks.
  const auto entries_whole = [&]() -> Status {
    if (check.what == KeyTable::Disagreement::EntryOutside) {
      return fail(IndexEntry::bound_error(check.bound));
    }
    return {};
  };
  if (Status r = records(check, entries_whole); !r) return r;
  // The table's own record, which no entry names.
  RecordCheck record = RecordCheck::Intact;
  if (const void* fault = guarded([&] { record = check_record(s.file(), s.verdict.record_offset); })) {
    return fail(mapping_fault(fault, s.verdict.record_offset));
  }
  if (record != RecordCheck::Intact) {
    return fail(StoreError::corrupt("key table record CRC32 mismatch at offset " +
                                    std::to_string(s.verdict.record_offset)));
  }
  if (check.what != KeyTable::Disagreement::None) return fail(table_disagrees(check));
  return {};
}

Status Reader::verify_with_table() const {
  const State& s = *state_;
  // The walk of the index section gives the offsets that the records' check needs, and
  // checks the table against every entry on the way.
  LargeBuffer offsets(s.table.size() * sizeof(uint64_t));
  return check_table(offsets.as<uint64_t>(), [&](const KeyTable::Check& check,
                                                  auto&& entries_whole) {
    // An index section whose entries overrun it ranks after the file's checksum and
    // before the records, as it would at an open that indexes in memory.
    return verify_records(OffsetList{offsets.as<uint64_t>(), check.walked}, s.file(),
                          s.header.file_crc32, entries_whole);
  });
}

Status copy_out(uint8_t* dst, Bytes src) {
  if (const void* fault = guarded([&] {
        if (!src.empty()) std::memcpy(dst, src.data(), src.size());
      })) {
    return fail(mapping_fault(fault, FileMapping::offset_of(src.data()).value_or(0)));
  }
  return {};
}

Status copy_out(uint8_t* const* dst, const Bytes* src, size_t n) {
  volatile size_t at = 0;  // the copy under way, still known after a fault's jump
  if (const void* fault = guarded([&] {
        for (size_t i = 0; i < n; ++i) {
          at = i;
          if (!src[i].empty()) std::memcpy(dst[i], src[i].data(), src[i].size());
        }
      })) {
    return fail(mapping_fault(fault, FileMapping::offset_of(src[at].data()).value_or(0)));
  }
  return {};
}

}  // namespace vornel
