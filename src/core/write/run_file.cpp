#include "write/run_file.hpp"

#include <sys/stat.h>

#include <cstring>

#include "util/crc32.hpp"
#include "format/format.hpp"

namespace vornel {
namespace {

constexpr uint8_t kTrailerMagic[8] = {'V', 'R', 'N', 'L', 'R', 'U', 'N', 'T'};
constexpr size_t kWriteBuffer = size_t{1} << 20;

enum : uint8_t { kRecordHere = 0, kRecordEarlier = 1, kDeletedKey = 2, kReplaces = 4 };
constexpr uint64_t kEntryHead = 3;        // u8 flags + u16 key length
constexpr uint64_t kRecordFields = 16;    // u64 uses left + u32 length + u32 crc
constexpr uint64_t kEarlierField = 8;     // u64 position

StoreError damaged(const std::string& what) { return StoreError::corrupt(what); }

}  // namespace

Result<RunFile> write_run(SortedSource& source, std::shared_ptr<FileDescriptor> fd,
                          std::string name, uint64_t sharing_budget, PwriteFn pwrite_fn) {
  FileWriter out(fd->get(), 0, kWriteBuffer, pwrite_fn);
  uint8_t header[kRunHeaderSize] = {};
  std::memcpy(header, kRunMagic, sizeof kRunMagic);
  store_be32(header + 8, kRunVersion);
  if (Status s = out.append(header, sizeof header); !s) return fail(std::move(s.error()));

  RunFile run;
  SharedRecords placed(sharing_budget);
  uint64_t records = 0;
  for (;;) {
    if (Status s = source.next(); !s) return fail(std::move(s.error()));
    if (!source.valid()) break;
    const Entry& e = source.entry();
    run.sparse.offer(e.key, out.position());
    uint8_t head[kEntryHead + kRecordFields];
    store_be16(head + 1, static_cast<uint16_t>(e.key.size()));
    const uint8_t replaces = e.replaces ? kReplaces : 0;
    std::optional<uint64_t> earlier;
    if (e.kind == EntryKind::Value) earlier = placed.take(e.record);
    head[0] = (e.kind == EntryKind::Deleted ? kDeletedKey : earlier ? kRecordEarlier : kRecordHere) |
              replaces;
    Status s = out.append(head, kEntryHead);
    if (s && !e.key.empty()) s = out.append(e.key.data(), e.key.size());
    if (!s) return fail(std::move(s.error()));
    if (e.kind == EntryKind::Deleted) {
      // nothing follows the key
    } else if (earlier) {
      store_be64(head, *earlier);
      s = out.append(head, kEarlierField);
    } else {
      Result<RecordBytes> r = source.record();
      if (!r) return fail(std::move(r.error()));
      if (r->payload.size() > kMaxObjectLen) {
        return fail(StoreError::invalid("object is " + std::to_string(r->payload.size()) +
                                        " bytes, format maximum is " +
                                        std::to_string(kMaxObjectLen)));
      }
      const uint64_t at = out.position();
      store_be64(head, e.uses_left);
      RecordPrefix{static_cast<uint32_t>(r->payload.size()), r->crc}.encode_to(head + 8);
      s = out.append(head, kRecordFields);
      if (s) s = out.append(r->payload);
      placed.keep(e.record, at, e.uses_left);
      ++records;
    }
    if (!s) return fail(std::move(s.error()));
    ++run.entries;
  }
  uint8_t trailer[kRunTrailerSize] = {};
  std::memcpy(trailer, kTrailerMagic, sizeof kTrailerMagic);
  store_be64(trailer + 8, run.entries);
  store_be64(trailer + 16, records);
  store_be64(trailer + 24, out.position());
  if (Status s = out.flush(); !s) return fail(std::move(s.error()));
  store_be32(trailer + 32, out.crc());
  store_be32(trailer + 36, crc32(trailer, 36));
  run.trailer_at = out.position();
  if (Status s = out.append(trailer, sizeof trailer); !s) return fail(std::move(s.error()));
  if (Status s = out.flush(); !s) return fail(std::move(s.error()));
  run.fd = std::move(fd);
  run.name = std::move(name);
  return run;
}

Result<RunHolds> lookup(const RunFile& run, Bytes key) {
  const auto [first, last] = run.sparse.block(key, run.trailer_at);
  if (first == last) return RunHolds::No;
  std::vector<uint8_t> block(static_cast<size_t>(last - first));
  size_t got = 0;
  if (Status s = pread_all(run.fd->get(), block.data(), block.size(), first, &got); !s) {
    return fail(std::move(s.error()));
  }
  if (got < block.size()) return fail(FileReader::cut_short(first + got));
  // Entries were checked when the run was written; a block read back short of one is damage.
  size_t at = 0;
  while (at < block.size()) {
    if (block.size() - at < kEntryHead) return fail(damaged("a run's entry runs past its block"));
    const uint8_t flags = block[at];
    const size_t key_len = load_be16(block.data() + at + 1);
    if (block.size() - at - kEntryHead < key_len) return fail(damaged("a run's key runs past its block"));
    const Bytes k(block.data() + at + kEntryHead, key_len);
    at += kEntryHead + key_len;
    const uint8_t kind = flags & 3;
    size_t rest = 0;
    if (kind == kRecordHere) {
      if (block.size() - at < kRecordFields) return fail(damaged("a run's record runs past its block"));
      rest = kRecordFields + load_be32(block.data() + at + 8);
    } else if (kind == kRecordEarlier) {
      rest = kEarlierField;
    }
    const int c = compare_keys(k, key);
    if (c == 0) {
      if (kind == kDeletedKey) return RunHolds::Deleted;
      return (flags & kReplaces) ? RunHolds::ReplacingValue : RunHolds::Value;
    }
    if (c > 0 || block.size() - at < rest) break;
    at += rest;
  }
  return RunHolds::No;
}

Result<std::unique_ptr<RunSource>> RunSource::open(std::shared_ptr<FileDescriptor> fd,
                                                   std::string name, size_t buffer_size) {
  std::unique_ptr<RunSource> src(new RunSource());
  src->name_ = std::move(name);
  struct stat st;
  if (::fstat(fd->get(), &st) != 0) return fail(StoreError::os(errno));
  const auto size = static_cast<uint64_t>(st.st_size);
  if (size < kRunHeaderSize + kRunTrailerSize) {
    return fail(StoreError::corrupt(Fault::TooSmall));
  }
  uint8_t header[kRunHeaderSize];
  uint8_t trailer[kRunTrailerSize];
  size_t got = 0;
  if (Status s = pread_all(fd->get(), header, sizeof header, 0, &got); !s) return fail(std::move(s.error()));
  if (got < sizeof header || std::memcmp(header, kRunMagic, sizeof kRunMagic) != 0) {
    return fail(StoreError::mismatch(Fault::BadMagic, load_be32(kRunMagic), load_be32(header)));
  }
  if (load_be32(header + 8) != kRunVersion) {
    return fail(damaged("a run of format version " + std::to_string(load_be32(header + 8)) +
                        ", which this version does not read"));
  }
  if (Status s = pread_all(fd->get(), trailer, sizeof trailer, size - kRunTrailerSize, &got); !s) {
    return fail(std::move(s.error()));
  }
  if (got < sizeof trailer || std::memcmp(trailer, kTrailerMagic, sizeof kTrailerMagic) != 0 ||
      crc32(trailer, 36) != load_be32(trailer + 36) ||
      load_be64(trailer + 24) != size - kRunTrailerSize) {
    return fail(damaged("the run has no sound trailer: cut short or damaged"));
  }
  src->entries_ = load_be64(trailer + 8);
  src->records_ = load_be64(trailer + 16);
  src->trailer_at_ = size - kRunTrailerSize;
  src->body_crc_ = load_be32(trailer + 32);
  src->header_crc_ = crc32(header, sizeof header);
  src->in_ = FileReader(fd->get(), kRunHeaderSize, src->trailer_at_, buffer_size, true);
  src->fd_ = std::move(fd);
  return src;
}

Status RunSource::next() {
  if (in_.remaining() == 0) {
    valid_ = false;
    return finish();
  }
  std::swap(key_, previous_key_);
  entry_at_ = in_.position();
  if (Status s = read_entry(); !s) {
    valid_ = false;
    return s;
  }
  if (seen_entries_ > 0 && !key_less(Bytes(previous_key_), Bytes(key_))) {
    return fail(damaged("the run's keys are out of order at entry " + std::to_string(seen_entries_)));
  }
  ++seen_entries_;
  valid_ = true;
  return {};
}

Status RunSource::read_entry() {
  Result<const uint8_t*> head = in_.read(kEntryHead);
  if (!head) return fail(std::move(head.error()));
  const uint8_t flags = (*head)[0];
  const size_t key_len = load_be16(*head + 1);
  const uint8_t kind = flags & 3;
  if ((flags & ~(3 | kReplaces)) != 0 || kind > kDeletedKey) {
    return fail(damaged("a run entry of unknown kind"));
  }
  Result<const uint8_t*> key = in_.read(key_len);
  if (!key) return fail(std::move(key.error()));
  key_.assign(*key, *key + key_len);
  entry_ = Entry{};
  entry_.key = Bytes(key_);
  entry_.replaces = (flags & kReplaces) != 0;
  record_here_ = false;
  if (kind == kDeletedKey) {
    entry_.kind = EntryKind::Deleted;
    return {};
  }
  if (kind == kRecordEarlier) {
    Result<const uint8_t*> field = in_.read(kEarlierField);
    if (!field) return fail(std::move(field.error()));
    const uint64_t at = load_be64(*field);
    auto it = shared_.find(at);
    if (it == shared_.end() || it->second.uses == 0) {
      return fail(damaged("a run entry names a record that was not shared before it"));
    }
    entry_.record = at;
    entry_.uses_left = --it->second.uses;
    record_length_ = it->second.length;
    record_.crc = it->second.crc;
    if (it->second.uses == 0) shared_.erase(it);
    return {};
  }
  const uint64_t at = in_.position();
  Result<const uint8_t*> fields = in_.read(kRecordFields);
  if (!fields) return fail(std::move(fields.error()));
  const uint64_t uses = load_be64(*fields);
  const RecordPrefix prefix = RecordPrefix::decode(*fields + 8);
  Bytes payload;
  if (prefix.length <= in_.buffer_size()) {
    Result<const uint8_t*> p = in_.read(prefix.length);
    if (!p) return fail(std::move(p.error()));
    payload = Bytes(*p, prefix.length);
  } else {
    large_.resize(prefix.length);
    if (Status s = in_.read_into(large_.data(), prefix.length); !s) return s;
    payload = Bytes(large_);
  }
  // The run's checksum covers the payload, and is checked once the run is read whole:
  // before anything is published.
  ++seen_records_;
  entry_.record = at;
  entry_.uses_left = uses;
  record_ = {payload, prefix.crc};
  record_here_ = true;
  if (uses != 0) shared_[at] = {uses, prefix.length, prefix.crc};
  return {};
}

Result<RecordBytes> RunSource::record() {
  if (record_here_) return record_;
  // The record of an earlier entry: read again where it lies.
  large_.resize(record_length_);
  size_t got = 0;
  if (Status s = pread_all(fd_->get(), large_.data(), large_.size(), entry_.record + kRecordFields, &got);
      !s) {
    return fail(std::move(s.error()));
  }
  if (got < large_.size()) return fail(FileReader::cut_short(entry_.record + kRecordFields + got));
  record_.payload = Bytes(large_);
  if (crc32(large_.data(), large_.size()) != record_.crc) {
    return fail(damaged("a shared record of the run fails its checksum"));
  }
  record_here_ = true;
  return record_;
}

Status RunSource::finish() {
  const uint32_t crc = crc32_combine(header_crc_, in_.crc(), trailer_at_ - kRunHeaderSize);
  if (seen_entries_ != entries_ || seen_records_ != records_ || crc != body_crc_) {
    return fail(damaged("the run does not match its trailer: damaged"));
  }
  return {};
}

}  // namespace vornel
