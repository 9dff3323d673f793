#include "read/reader.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "util/crc32.hpp"
#include "util/key_bytes.hpp"
#include "read/reader_state.hpp"
#include "read/store_check.hpp"
#include "util/fault_guard.hpp"
#include "util/file.hpp"
#include "util/mapping.hpp"
#include "util/offset_set.hpp"

namespace vornel {

StoreError mapping_fault(const void* addr, uint64_t start) {
  return StoreError::changed(Fault::MappingFault, FileMapping::offset_of(addr).value_or(start));
}

namespace {

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

StoreError rank_range_error(size_t first, size_t n, size_t size) {
  return StoreError::rank_range(first, first + n, size);
}

// An index that does not hold together where a query met it.
StoreError index_fault(const IndexStep& step) {
  switch (step.fault) {
    case IndexFault::UnnamedRank:
      return StoreError::at_rank(Fault::TableUnnamedRank, step.rank);
    case IndexFault::Unchained:
      return StoreError::at_rank(Fault::TableUnchained, step.rank);
    case IndexFault::Misled:
      return StoreError::at_rank(Fault::TableMisled, step.rank);
    case IndexFault::Unordered:
    case IndexFault::None:
      break;
  }
  return unordered_error(step.rank);
}

// Whether the payload matches the checksum in front of it. Reads the mapping.
bool record_intact(Bytes file, uint64_t off, Bytes payload) {
  return crc32(payload.data(), payload.size()) == RecordPrefix::decode(file.data() + off).crc;
}

// Reads n bytes at `off` of the open file into `out`: with pread, so that a cold open
// does not fault the mapping in (the kernel reads far around a faulting page), and from
// the mapping where pread comes up short.
bool read_at(int fd, Bytes file, uint64_t off, size_t n, uint8_t* out) {
  if (!range_within(off, n, file.size())) return false;
  size_t done = 0;
  while (done < n) {
    const ssize_t r = ::pread(fd, out + done, n - done, static_cast<off_t>(off + done));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    done += static_cast<size_t>(r);
  }
  if (done == n) return true;
  return guarded([&] { std::memcpy(out, file.data() + off, n); }) == nullptr;
}

}  // namespace

Reader::~Reader() = default;

Result<std::unique_ptr<Reader>> Reader::open(std::string_view path, bool verify,
                                             const OpenOptions& options) {
  std::string c_path;
  if (!to_c_path(path, c_path)) return fail(StoreError::system(Fault::CannotOpen, 0, std::string(path)));
  // O_NONBLOCK keeps a FIFO from blocking the open; its mapping then fails.
  FileDescriptor fd(
      retry_eintr([&] { return ::open(c_path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK); }));
  if (!fd.valid()) return fail(StoreError::system(Fault::CannotOpen, errno, std::string(path)));
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return fail(StoreError::system(Fault::CannotMap, errno));
  if (options.refuse_directory && S_ISDIR(st.st_mode)) {
    return fail(StoreError::system(Fault::IsDirectory, EISDIR, std::string(path)));
  }
  const auto file_size = static_cast<uint64_t>(st.st_size);
  auto mapping = FileMapping::map(fd.get(), file_size == 0 ? 1 : file_size);
  if (!mapping) return fail(StoreError::system(Fault::CannotMap, mapping.error().os_errno()));

  const Bytes file(mapping->data(), file_size);
  const auto read = [&](uint64_t off, size_t n, uint8_t* out) {
    return read_at(fd.get(), file, off, n, out);
  };
  uint8_t header_bytes[kHeaderSize];
  const size_t header_len = file_size < kHeaderSize ? file_size : kHeaderSize;
  if (!read(0, header_len, header_bytes)) {
    return fail(StoreError::changed(Fault::FileCut, header_len));
  }
  auto header = Header::decode(Bytes(header_bytes, header_len));
  if (!header) return fail(std::move(header.error()));
  // The package's own records are looked for only where sound marks say they are.
  Marks::Read marks;
  if (options.use_key_table) {
    marks = Marks::decode(header_bytes);
    if (marks.state == Marks::State::Unknown) {
      return fail(StoreError::marks_unknown(marks.unknown_at, marks.unknown));
    }
  }
  // Damage found from here on, as the options ask it reported.
  const auto damaged = [&](StoreError e) {
    if (options.name_truncation && e.kind() == ErrorKind::Corrupt && S_ISREG(st.st_mode)) {
      if (const uint64_t promised = promised_size(*header); file_size < promised) {
        e = StoreError::mismatch(Fault::Truncated, promised, file_size);
      }
    }
    return fail(std::move(e));
  };
  if (options.strict && (header->index_offset < kHeaderSize || header->index_offset > file_size)) {
    return damaged(StoreError::mismatch(Fault::IndexOffsetOutside, kHeaderSize, file_size,
                                        header->index_offset));
  }

  auto state = std::make_unique<ReaderState>();
  ReaderState& s = *state;
  s.header = *header;
  s.file_size = file_size;
  s.strict = options.strict;
  s.marks = marks;
  // The tail byte: in a store with keys, the last entry's record offset ends the file,
  // and is not zero.
  if (options.strict) {
    uint8_t tail[256];
    const size_t n = static_cast<size_t>(std::min<uint64_t>(file_size, sizeof tail));
    if (n != 0 && read(file_size - n, n, tail)) {
      for (size_t i = n; i > 0; --i) {
        if (tail[i - 1] != 0) {
          s.has_tail = true;
          s.tail_at = file_size - n + i - 1;
          s.tail = tail[i - 1];
          break;
        }
      }
    }
  }
  if (marks.state == Marks::State::Damaged) {
    s.verdict.state = KeyTableState::Ignored;
    s.verdict.note = TableNote::MarksDamaged;
  } else if (s.marked_table()) {
    s.verdict = s.table.open(file, *header, read);
    if (s.verdict.state == KeyTableState::Absent) {
      s.verdict.state = KeyTableState::Ignored;
      s.verdict.note = TableNote::Missing;
    }
  }
  s.table_claimed = s.verdict.claimed();
  // The mapping keeps the contents reachable; the descriptor is no longer needed.
  fd.reset();
  s.mapping = std::move(*mapping);

  // A checked open of a claimed table walks the index section against it beside the
  // whole-file pass; the file's checksum is reported first.
  KeyTable::Check walk;
  const void* walk_fault = nullptr;
  const bool walk_table_too = verify && s.table_claimed;
  if (verify) {
    Result<uint32_t> computed;
    const auto whole_file = [&] { computed = body_crc(file); };
    if (walk_table_too) {
      side_by_side(whole_file, [&] { walk = walk_table(s, &walk_fault); });
    } else {
      whole_file();
    }
    if (!computed) return fail(std::move(computed.error()));
    if (*computed != header->file_crc32) return damaged(crc_mismatch(header->file_crc32, *computed));
  }
  const auto make = [&](StoreIndex index) {
    s.index = std::move(index);
    s.path = std::string(path);
    std::unique_ptr<Reader> reader(new Reader());
    reader->state_ = std::move(state);
    return reader;
  };

  if (s.table_claimed) {
    if (!verify) return make(s.table);  // taken on its identity: every answer confirms itself
    // A checked open walks the index section against the table first: a table that a key
    // names is that key's value, and a damaged one leaves the keys to be indexed in
    // memory, as if it were not there.
    if (walk_fault != nullptr) return fail(s.read_error(walk_fault, header->index_offset));
    if (walk.names_record) {
      s.verdict.state = KeyTableState::Ignored;
      s.verdict.note = TableNote::NamedByKey;
      s.table_claimed = false;
    } else if (walk.what != KeyTable::Disagreement::EntryOutside) {
      // As verify() reports them: the table's own record first, then its agreement.
      bool intact = true;
      const uint64_t at = s.verdict.record_offset;
      if (const void* f = s.read([&] {
            Bytes payload;
            intact = locate_record(file, at, &payload) == RecordBound::Inside &&
                     record_intact(file, at, payload);
          })) {
        return fail(s.read_error(f, at));
      }
      if (intact && walk.what == KeyTable::Disagreement::None) {
        if (s.strict) {
          if (Status layout = check_layout(s, header->index_offset + walk.end); !layout) {
            return damaged(std::move(layout.error()));
          }
        }
        return make(s.table);
      }
      s.verdict.state = KeyTableState::Ignored;
      s.verdict.note = intact ? TableNote::Disagrees : TableNote::RecordChecksum;
    }
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
  const uint8_t* const section = count == 0 ? file.data() : file.data() + start;
  KeyIndex::Loader loader(count, std::min<uint64_t>(capacity, count * kMaxIndexEntry));
  IndexEntry::Bound bound = IndexEntry::Bound::Inside;
  if (const void* fault = s.read([&] { bound = loader.scan(section); })) {
    return fail(s.read_error(fault, start + loader.scanned()));
  }
  if (bound != IndexEntry::Bound::Inside) return damaged(IndexEntry::bound_error(bound));
  MemoryIndex index(KeyIndex(std::move(loader)), file);
  if (verify && s.verdict.record) {
    // A checked open knows every entry: a marked table that a key names is damage, and
    // is not used.
    for (size_t i = 0; i < index.size(); ++i) {
      if (index.offset_at(i) == s.verdict.record_offset) {
        s.verdict.state = KeyTableState::Ignored;
        s.verdict.note = TableNote::NamedByKey;
        s.table_claimed = false;
        break;
      }
    }
  }
  if (verify && s.strict) {
    if (Status layout = check_layout(s, start + index.section_size()); !layout) {
      return damaged(std::move(layout.error()));
    }
    if (!index.in_key_order() || !index.keys_distinct()) {
      return damaged(unordered_error(first_unordered(index)));
    }
  }
  return make(std::move(index));
}

const std::string& Reader::path() const { return state_->path; }
Bytes Reader::mapped_file() const { return state_->file(); }
const Header& Reader::header() const { return state_->header; }
uint64_t Reader::file_size() const { return state_->file_size; }

KeyTableState Reader::key_table_state() const { return state_->verdict.state; }
TableNote Reader::key_table_note() const { return state_->verdict.note; }
const Marks::Read& Reader::marks() const { return state_->marks; }
uint64_t Reader::user_objects() const {
  const ReaderState& s = *state_;
  if (s.marks.state != Marks::State::Sound) return s.header.num_objects;
  const uint64_t own = (s.marks.marks.table != 0 ? 1 : 0) + (s.marks.marks.dictionary ? 1 : 0);
  return s.header.num_objects >= own ? s.header.num_objects - own : 0;
}

size_t Reader::size() const {
  return std::visit([](const auto& index) { return index.size(); }, state_->index);
}

Result<std::optional<Bytes>> Reader::get(Bytes key) const {
  // No room to copy to: a payload is located and its pages touched.
  auto found = get_into(key, nullptr, 0);
  if (!found) return fail(std::move(found.error()));
  if (!*found) return std::nullopt;
  return (*found)->payload;
}

Result<std::optional<Reader::Value>> Reader::get_into(Bytes key, uint8_t* dst,
                                                      size_t capacity) const {
  const ReaderState& s = *state_;
  const Bytes file = s.file();
  std::optional<uint64_t> off;
  Bytes payload;
  RecordBound bound = RecordBound::Inside;
  bool intact = true;
  if (const void* fault = s.read([&] {
        off = std::visit([&](const auto& index) { return index.find(key); }, s.index);
        if (!off) return;
        bound = locate_record(file, *off, &payload);
        if (bound != RecordBound::Inside) return;
        if (s.strict) intact = record_intact(file, *off, payload);
        if (payload.size() <= capacity) {
          if (!payload.empty()) std::memcpy(dst, payload.data(), payload.size());
        } else {
          touch_pages(file.data() + *off, payload);
        }
      })) {
    return fail(s.read_error(fault, off.value_or(s.header.index_offset)));
  }
  if (!off) return std::nullopt;
  if (bound != RecordBound::Inside) return fail(record_error(bound, *off));
  if (!intact) return fail(StoreError::at_rank(Fault::RecordChecksum, 0, *off));
  return Value{payload, payload.size() <= capacity};
}

Result<bool> Reader::holds(Bytes key) const {
  const ReaderState& s = *state_;
  bool found = false;
  if (const void* fault = s.read([&] {
        found = std::visit([&](const auto& index) { return index.contains(key); }, s.index);
      })) {
    return fail(s.read_error(fault, s.header.index_offset));
  }
  return found;
}

Result<size_t> Reader::lower_bound(Bytes key) const {
  const ReaderState& s = *state_;
  size_t rank = 0;
  IndexStep step;
  bool ordered = true;
  if (const void* fault = s.read([&] {
        std::visit([&](const auto& index) {
          ordered = index.in_key_order();
          step = index.lower_bound(key, &rank);
        }, s.index);
      })) {
    return fail(s.read_error(fault, s.header.index_offset));
  }
  if (!step.ok()) return fail(index_fault(step));
  // A strict reader's ordered answers stand on key order.
  if (s.strict && !ordered) return fail(unordered_error(rank));
  return rank;
}

Result<std::pair<size_t, size_t>> Reader::prefix_range(Bytes prefix) const {
  const ReaderState& s = *state_;
  auto first = lower_bound(prefix);
  if (!first) return fail(std::move(first.error()));
  const bool ordered = std::visit([](const auto& index) { return index.in_key_order(); }, s.index);
  if (!ordered) {
    // The binary search's steps decided the lower bound; the matches that count are
    // the run from there.
    size_t last = *first;
    if (const void* fault = s.read([&] {
          std::visit([&](const auto& index) {
            IndexEntry e;
            while (last < index.size() && index.entries(last, 1, &e).ok() &&
                   has_prefix(e.key, prefix)) {
              ++last;
            }
          }, s.index);
        })) {
      return fail(s.read_error(fault, s.header.index_offset));
    }
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
  // Each bound is confirmed where it lands; keys out of order between them can still
  // put the end before the start.
  if (*last < *first) return fail(StoreError::range_crossed(*first, *last));
  return std::pair{*first, *last};
}

Status Reader::locate_keys(size_t first, size_t n, Bytes* out) const {
  const ReaderState& s = *state_;
  if (first > size() || n > size() - first) return fail(rank_range_error(first, n, size()));
  constexpr size_t kRun = 32;
  IndexEntry run[kRun];
  IndexStep step;
  bool ordered = true;
  if (const void* fault = s.read([&] {
        std::visit([&](const auto& index) {
          ordered = index.in_key_order();
          for (size_t i = 0; i < n && step.ok(); i += kRun) {
            const size_t m = std::min(kRun, n - i);
            step = index.entries(first + i, m, run);
            for (size_t j = 0; j < m && step.ok(); ++j) {
              out[i + j] = run[j].key;
              touch_pages(run[j].key.data() - kKeyLenSize, run[j].key);
            }
          }
        }, s.index);
      })) {
    return fail(s.read_error(fault, s.header.index_offset));
  }
  if (!step.ok()) return fail(index_fault(step));
  if (s.strict && !ordered) return fail(unordered_error(first));
  return {};
}

// The payloads of n records, each bounds-checked (and by a strict reader checked against
// its CRC-32) and its pages touched, in one guarded region; the error of the first that
// fails. The records are asked for a batch ahead of their reading: a scan in key order
// meets them in any order, and the next offsets do not wait for the records before them.
template <class OffsetOf>
Status Reader::locate(size_t first, size_t n, OffsetOf offset_of, Bytes* out) const {
  const ReaderState& s = *state_;
  const Bytes file = s.file();
  uint64_t offsets[kAhead];
  uint64_t off = 0;
  size_t at = 0;
  IndexStep step;
  RecordBound bound = RecordBound::Inside;
  bool intact = true;
  if (const void* fault = s.read([&] {
        for (size_t base = 0; base < n; base += kAhead) {
          const size_t batch = n - base < kAhead ? n - base : kAhead;
          step = offset_of(base, batch, offsets);
          if (!step.ok()) return;
          for (size_t j = 0; j < batch; ++j) prefetch_record(offsets[j]);
          for (size_t j = 0; j < batch; ++j) {
            off = offsets[j];
            at = base + j;
            bound = locate_record(file, off, &out[base + j]);
            if (bound != RecordBound::Inside) return;
            if (s.strict && !(intact = record_intact(file, off, out[base + j]))) return;
            touch_pages(file.data() + off, out[base + j]);
          }
        }
      })) {
    return fail(s.read_error(fault, off));
  }
  if (!step.ok()) return fail(index_fault(step));
  if (bound != RecordBound::Inside) return fail(record_error(bound, off));
  if (!intact) return fail(StoreError::at_rank(Fault::RecordChecksum, first + at, off));
  return {};
}

Status Reader::locate_items(size_t first, size_t n, Bytes* keys, Bytes* payloads) const {
  const ReaderState& s = *state_;
  if (first > size() || n > size() - first) return fail(rank_range_error(first, n, size()));
  bool ordered = true;
  const Status st = std::visit([&](const auto& index) {
    ordered = index.in_key_order();
    return locate(first, n, [&](size_t i, size_t m, uint64_t* offsets) {
      IndexEntry run[kAhead];
      const IndexStep step = index.entries(first + i, m, run);
      if (!step.ok()) return step;
      for (size_t j = 0; j < m; ++j) {
        keys[i + j] = run[j].key;
        touch_pages(run[j].key.data() - kKeyLenSize, run[j].key);
        offsets[j] = run[j].offset;
      }
      return step;
    }, payloads);
  }, s.index);
  if (!st) return st;
  if (s.strict && !ordered) return fail(unordered_error(first));
  return {};
}

Status Reader::locate_records(const uint64_t* offsets, size_t n, Bytes* out) const {
  return locate(0, n, [&](size_t i, size_t m, uint64_t* batch) {
    std::copy(offsets + i, offsets + i + m, batch);
    return IndexStep{};
  }, out);
}

Result<std::vector<uint64_t>> Reader::distinct_offsets() const {
  const ReaderState& s = *state_;
  const size_t n = size();
  OffsetSet seen(n);
  std::vector<uint64_t> offsets;
  constexpr size_t kRun = 64;
  IndexEntry run[kRun];
  IndexStep step;
  for (size_t i = 0; i < n && step.ok(); i += kRun) {
    const size_t m = std::min(kRun, n - i);
    if (const void* fault = s.read([&] {
          step = std::visit([&](const auto& index) { return index.entries(i, m, run); }, s.index);
        })) {
      return fail(s.read_error(fault, s.header.index_offset));
    }
    if (!step.ok()) break;
    for (size_t j = 0; j < m; ++j) {
      if (seen.insert(run[j].offset)) offsets.push_back(run[j].offset);
    }
  }
  if (!step.ok()) return fail(index_fault(step));
  return offsets;
}

void Reader::prefetch_record(uint64_t off) const {
  if (off >= state_->file_size) return;
  // The prefix and a small payload span two cache lines as often as not.
  const uint8_t* record = state_->mapping.data() + off;
  __builtin_prefetch(record);
  if (state_->file_size - off > 64) __builtin_prefetch(record + 64);
}

Status Reader::verify() const { return verify_store(*state_); }

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
