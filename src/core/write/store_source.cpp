#include "write/store_source.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <cstring>

#include "util/crc32.hpp"
#include "util/fault_guard.hpp"

namespace vornel {
namespace {

constexpr size_t kReadBuffer = size_t{256} << 10;
// Records checked in one batch, and at most so many payload bytes: enough that the CRCs
// of short records run side by side, and that a batch stays in cache for the checksum.
constexpr size_t kCheckRecords = 64;
constexpr uint64_t kCheckBytes = uint64_t{256} << 10;
// What one remembered shared record costs in a node-based map, about.
constexpr uint64_t kSharedEntryBytes = 48;

StoreError damaged(const std::string& what) { return StoreError::corrupt(what); }

// A read of the mapping that faulted at `addr`: the file was cut short since it was opened.
StoreError file_changed(const void* addr) {
  return StoreError::changed(Fault::MappingFault, FileMapping::offset_of(addr).value_or(0));
}

StoreError entry_damage(uint64_t entry, const std::string& what) {
  return damaged("index entry " + std::to_string(entry) + " " + what);
}

// Reads one index entry from `in`: its key, where the reader's buffer holds it until the
// next read (its offset after it), and its record offset.
Status read_index_entry(FileReader& in, Bytes& key, uint64_t& offset) {
  Result<const uint8_t*> len = in.read(kKeyLenSize);
  if (!len) return fail(std::move(len.error()));
  const size_t key_len = load_be16(*len);
  Result<const uint8_t*> rest = in.read(key_len + kOffsetSize);
  if (!rest) return fail(std::move(rest.error()));
  key = Bytes(*rest, key_len);
  offset = load_be64(*rest + key_len);
  return {};
}

// The codec of the dictionary that the header marks, in the data section's first record.
Result<std::unique_ptr<ValueCodec>> read_codec(int fd, const StoreFile& store) {
  const uint64_t end = store.header.index_offset;
  constexpr uint64_t kHead = kRecordPrefix + sizeof DictionaryHeader::kMagic;
  if (store.header.num_objects == 0 || !range_within(kDataOffset, kHead, end)) {
    return fail(StoreError::corrupt(Fault::DictionaryMissing));
  }
  uint8_t head[kHead];
  size_t got = 0;
  if (Status s = pread_all(fd, head, sizeof head, kDataOffset, &got); !s) return fail(std::move(s.error()));
  if (got < sizeof head) return fail(FileReader::cut_short(kDataOffset + got));
  if (!DictionaryHeader::looks_like(Bytes(head + kRecordPrefix, sizeof head - kRecordPrefix))) {
    return fail(StoreError::corrupt(Fault::DictionaryMissing));
  }
  const RecordPrefix prefix = RecordPrefix::decode(head);
  if (!range_within(kDataOffset + kRecordPrefix, prefix.length, end)) {
    return fail(damaged("the compression dictionary's record runs past the data section"));
  }
  std::vector<uint8_t> payload(prefix.length);
  if (Status s = pread_all(fd, payload.data(), payload.size(), kDataOffset + kRecordPrefix, &got);
      !s) {
    return fail(std::move(s.error()));
  }
  if (got < payload.size()) return fail(FileReader::cut_short(kDataOffset + kRecordPrefix + got));
  if (const uint32_t crc = crc32(payload.data(), payload.size()); crc != prefix.crc) {
    return fail(damaged("the record at " + std::to_string(kDataOffset) + " fails its checksum: " +
                        crc_hex(crc) + ", its prefix says " + crc_hex(prefix.crc)));
  }
  return ValueCodec::from_record(Bytes(payload.data(), payload.size()));
}

}  // namespace

Result<std::shared_ptr<const StoreFile>> open_store_file(const std::string& path,
                                                         uint64_t sharing_budget) {
  auto store = std::make_shared<StoreFile>();
  store->name = path;
  std::string c_path;
  if (!to_c_path(path, c_path)) return fail(StoreError::io(kNulInPathText));
  FileDescriptor fd(retry_eintr([&] { return ::open(c_path.c_str(), O_RDONLY | O_CLOEXEC); }));
  if (!fd.valid()) return fail(StoreError::os(errno));
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return fail(StoreError::os(errno));
  if (S_ISDIR(st.st_mode)) return fail(StoreError::os(EISDIR));
  store->size = static_cast<uint64_t>(st.st_size);
  uint8_t head[kHeaderSize];
  size_t got = 0;
  if (Status s = pread_all(fd.get(), head, sizeof head, 0, &got); !s) return fail(std::move(s.error()));
  Result<Header> header = Header::decode(Bytes(head, got));
  if (!header) return fail(std::move(header.error()));
  store->header = *header;
  // Only what sound marks name is the package's own: in any other store, every record is
  // a value. Damaged marks leave the values' form unknown.
  const Marks::Read marks = Marks::decode(head);
  if (marks.state == Marks::State::Unknown) {
    return fail(StoreError::marks_unknown(marks.unknown_at, marks.unknown));
  }
  if (marks.state == Marks::State::Damaged) return fail(StoreError::corrupt(Fault::MarksDamaged));
  const bool marked_dictionary = marks.state == Marks::State::Sound && marks.marks.dictionary;
  if (header->index_offset < kDataOffset || header->index_offset > store->size) {
    return fail(damaged("index_offset " + std::to_string(header->index_offset) +
                        " lies outside the file of " + std::to_string(store->size) + " bytes"));
  }

  // One walk over the index section.
  FileReader in(fd.get(), header->index_offset, store->size, kReadBuffer);
  // The key before, with room after it to be compared a word at a time, as the key read
  // can be (its offset follows it).
  std::vector<uint8_t> previous(kMaxKeyLen + kOffsetSize);
  size_t previous_len = 0;
  uint64_t highest = 0;  // the highest record offset named so far
  bool first_named = false;  // a key names the data section's first record
  bool budget_left = true;
  for (uint64_t i = 0; in.remaining() != 0; ++i) {
    if (i == header->num_keys) return fail(damaged("the index section holds more entries than num_keys"));
    const uint64_t position = in.position();
    uint64_t offset = 0;
    Bytes key;
    if (Status s = read_index_entry(in, key, offset); !s) {
      return fail(entry_damage(i, "runs past the end of the file"));
    }
    if (i > 0 && compare_keys_followed(Bytes(previous.data(), previous_len), key) >= 0) {
      return fail(entry_damage(i, "is out of key order"));
    }
    std::memcpy(previous.data(), key.data(), key.size());
    previous_len = key.size();
    if (offset < kDataOffset || !range_within(offset, kRecordPrefix, header->index_offset)) {
      return fail(entry_damage(i, "names offset " + std::to_string(offset) +
                                      ", outside the data section"));
    }
    store->sparse.offer(key, position);
    first_named = first_named || offset == kDataOffset;
    if (offset > highest) {
      highest = offset;
    } else if (budget_left) {
      ++store->named_again[offset];
      budget_left = store->named_again.size() * kSharedEntryBytes < sharing_budget;
    }
    if (in.remaining() == 0 && i + 1 != header->num_keys) {
      return fail(damaged("the index section holds " + std::to_string(i + 1) +
                          " entries, num_keys says " + std::to_string(header->num_keys)));
    }
  }
  if (header->num_keys != 0 && store->size == header->index_offset) {
    return fail(damaged("the index section holds no entries, num_keys says " +
                        std::to_string(header->num_keys)));
  }
  if (marked_dictionary) {
    if (first_named) return fail(StoreError::corrupt(Fault::DictionaryNamed));
    Result<std::unique_ptr<ValueCodec>> codec = read_codec(fd.get(), *store);
    if (!codec) return fail(std::move(codec.error()));
    store->codec = std::move(*codec);
  }
  Result<FileMapping> map = FileMapping::map(fd.get(), static_cast<size_t>(store->size));
  if (!map) return fail(std::move(map.error()));
  store->map = std::make_shared<const FileMapping>(std::move(*map));
  store->fd = std::make_shared<FileDescriptor>(std::move(fd));
  return std::shared_ptr<const StoreFile>(std::move(store));
}

Result<bool> lookup(const StoreFile& store, Bytes key) {
  const auto [first, last] = store.sparse.block(key, store.size);
  if (first == last) return false;
  // The block read where the mapping holds it, guarded: no copy, no system call.
  const uint8_t* block = store.map->data() + first;
  const auto size = static_cast<size_t>(last - first);
  bool found = false;
  const void* fault = guarded([&] {
    for (size_t at = 0; size - at >= kIndexEntryMin;) {
      const size_t key_len = load_be16(block + at);
      if (size - at - kIndexEntryMin < key_len) break;
      const int c = compare_keys(Bytes(block + at + kKeyLenSize, key_len), key);
      if (c >= 0) {
        found = c == 0;
        break;
      }
      at += kIndexEntryMin + key_len;
    }
  });
  if (fault != nullptr) return fail(file_changed(fault));
  return found;
}

StoreSource::StoreSource(std::shared_ptr<const StoreFile> store, size_t buffer_size)
    : store_(std::move(store)),
      mapped_(store_->map->data()),
      // It keeps the checksum of what it reads, which with the data section's must match
      // the file's at the end.
      index_(store_->fd->get(), store_->header.index_offset, store_->size, buffer_size, true),
      uses_left_(store_->named_again),
      cursor_(kDataOffset),
      summed_to_(kDataOffset),
      released_(0) {
  ahead_.reserve(kCheckRecords);
}

Status StoreSource::next() {
  if (index_.remaining() == 0) {
    valid_ = false;
    return finish();
  }
  if (Status s = read_entry(); !s) {
    valid_ = false;
    return s;
  }
  ++seen_;
  valid_ = true;
  return {};
}

Status StoreSource::read_entry() {
  uint64_t offset = 0;
  // Key order was checked when the store was opened; a file changed since then in a way
  // that breaks it fails the file's checksum at the end, before anything is published.
  // The key stays where the index section's buffer holds it until the next entry is read.
  Bytes key;
  if (Status s = read_index_entry(index_, key, offset); !s) {
    if (s.error().kind() == ErrorKind::IO) return s;  // cut short since it was opened
    return fail(entry_damage(seen_, "runs past the end of the file"));
  }
  if (seen_ >= store_->header.num_keys) {
    return fail(damaged("the index section holds more entries than num_keys"));
  }
  if (offset < kDataOffset || !range_within(offset, kRecordPrefix, store_->header.index_offset)) {
    return fail(entry_damage(seen_, "names offset " + std::to_string(offset) +
                                        ", outside the data section"));
  }
  entry_ = Entry{};
  entry_.key = key;
  entry_.record = offset;
  record_here_ = false;
  payload_here_ = false;
  decoded_here_ = false;
  if (offset >= cursor_) {
    if (Status s = pass_records_to(offset); !s) return s;
    if (cursor_ != offset) {
      return fail(entry_damage(seen_, "names offset " + std::to_string(offset) +
                                          ", where no record starts"));
    }
    Result<Checked> r = take_record(true);
    if (!r) return fail(std::move(r.error()));
    here_ = *r;
    record_here_ = true;
    if (!uses_left_.empty()) {
      const auto it = uses_left_.find(offset);
      entry_.uses_left = it == uses_left_.end() ? 0 : it->second;
    }
  } else if (auto it = uses_left_.find(offset); it != uses_left_.end() && it->second != 0) {
    entry_.uses_left = --it->second;
  }
  return {};
}



Status StoreSource::check_ahead() {
  ahead_.clear();
  ahead_at_ = 0;
  const uint64_t end = store_->header.index_offset;
  Crc32Job jobs[kCheckRecords];
  size_t n = 0;
  uint64_t at = cursor_;
  uint64_t bytes = 0;
  // One guarded region for the batch: the prefixes walked, the payloads summed side by
  // side, and the file's checksum carried over them while they are in cache.
  const void* fault = guarded([&] {
    while (n < kCheckRecords && end - at >= kRecordPrefix) {
      const RecordPrefix prefix = RecordPrefix::decode(mapped_ + at);
      if (prefix.length > end - at - kRecordPrefix || bytes + prefix.length > kCheckBytes) break;
      jobs[n++] = {mapped_ + at + kRecordPrefix, prefix.length, 0};
      at += kRecordPrefix + prefix.length;
      bytes += prefix.length;
    }
    crc32_each(jobs, n);
    // The batch ends before the first record that fails: take_record() reads that one
    // again and says so.
    for (size_t i = 0; i < n; ++i) {
      const uint8_t* prefix_bytes = jobs[i].data - kRecordPrefix;
      if (jobs[i].crc != load_be32(prefix_bytes + 4)) {
        n = i;
        break;
      }
    }
    if (n == 0) return;
    const uint64_t checked_end =
        static_cast<uint64_t>(jobs[n - 1].data + jobs[n - 1].size - mapped_);
    if (checked_end > summed_to_) {
      data_crc_ = crc32_extend(data_crc_, mapped_ + summed_to_, checked_end - summed_to_);
      summed_to_ = checked_end;
    }
  });
  if (fault != nullptr) return fail(file_changed(fault));
  for (size_t i = 0; i < n; ++i) {
    const uint64_t record_at = static_cast<uint64_t>(jobs[i].data - mapped_) - kRecordPrefix;
    ahead_.push_back({record_at, static_cast<uint32_t>(jobs[i].size), jobs[i].crc});
  }
  release_behind();
  return {};
}

void StoreSource::release_behind() {
  // Pages well behind the cursor go back to the page cache, out of this process's
  // memory: a copy that still wants them (a run of records written late) reads them
  // again.
  constexpr uint64_t kKeep = uint64_t{32} << 20;
  constexpr uint64_t kPage = 4096;
  if (cursor_ < released_ + 2 * kKeep) return;
  const uint64_t until = (cursor_ - kKeep) & ~(kPage - 1);
  ::madvise(const_cast<uint8_t*>(mapped_) + released_, until - released_, MADV_DONTNEED);
  released_ = until;
}

Status StoreSource::checksum_to(uint64_t offset) {
  if (summed_to_ >= offset) return {};
  const void* fault = guarded([&] {
    data_crc_ = crc32_extend(data_crc_, mapped_ + summed_to_, offset - summed_to_);
  });
  if (fault != nullptr) return fail(file_changed(fault));
  summed_to_ = offset;
  return {};
}

Result<StoreSource::Checked> StoreSource::take_record(bool check) {
  if (ahead_at_ == ahead_.size() || ahead_[ahead_at_].at != cursor_) {
    if (Status s = check_ahead(); !s) return fail(std::move(s.error()));
  }
  if (ahead_at_ < ahead_.size()) {
    const Checked r = ahead_[ahead_at_++];
    cursor_ = r.at + kRecordPrefix + r.length;
    return r;
  }
  // A record the batch could not take: too long for one, or one that fails.
  const uint64_t at = cursor_;
  const uint64_t end = store_->header.index_offset;
  if (end - at < kRecordPrefix) {
    return fail(damaged("the record at " + std::to_string(at) +
                        " runs past the end of the data section"));
  }
  RecordPrefix prefix;
  const void* fault = guarded([&] { prefix = RecordPrefix::decode(mapped_ + at); });
  if (fault != nullptr) return fail(file_changed(fault));
  if (prefix.length > end - at - kRecordPrefix) {
    return fail(damaged("the record at " + std::to_string(at) +
                        " runs past the end of the data section"));
  }
  uint32_t crc = prefix.crc;
  if (check) {
    fault = guarded([&] { crc = crc32(mapped_ + at + kRecordPrefix, prefix.length); });
    if (fault != nullptr) return fail(file_changed(fault));
    if (crc != prefix.crc) {
      return fail(damaged("the record at " + std::to_string(at) + " fails its checksum: " +
                          crc_hex(crc) + ", its prefix says " + crc_hex(prefix.crc)));
    }
  }
  cursor_ = at + kRecordPrefix + prefix.length;
  return Checked{at, prefix.length, crc};
}

Status StoreSource::pass_records_to(uint64_t offset) {
  while (cursor_ < offset) {
    Result<Checked> r = take_record(false);
    if (!r) return fail(std::move(r.error()));
  }
  return {};
}

Result<std::optional<RecordSpan>> StoreSource::span() {
  // A compressed store's values are given decompressed: not its bytes.
  if (!record_here_ || store_->codec) return std::nullopt;
  return RecordSpan{store_->fd->get(), here_.at, mapped_ + here_.at, kRecordPrefix + here_.length,
                    here_.crc};
}

Result<RecordBytes> StoreSource::record() {
  if (record_here_) {
    if (!payload_here_) {
      // Copied out, guarded: the mapping may lose its pages to a file cut short.
      large_.resize(here_.length);
      const uint8_t* from = mapped_ + here_.at + kRecordPrefix;
      const void* fault = guarded([&] { std::memcpy(large_.data(), from, here_.length); });
      if (fault != nullptr) return fail(file_changed(fault));
      record_ = {Bytes(large_), here_.crc};
      payload_here_ = true;
    }
    return value_of_record();
  }
  // A record behind the data cursor: read where it lies.
  const uint64_t at = entry_.record;
  uint8_t prefix_bytes[kRecordPrefix];
  size_t got = 0;
  if (Status s = pread_all(store_->fd->get(), prefix_bytes, sizeof prefix_bytes, at, &got); !s) {
    return fail(std::move(s.error()));
  }
  if (got < sizeof prefix_bytes) return fail(FileReader::cut_short(at + got));
  const RecordPrefix prefix = RecordPrefix::decode(prefix_bytes);
  if (!range_within(at + kRecordPrefix, prefix.length, store_->header.index_offset)) {
    return fail(damaged("the record at " + std::to_string(at) +
                        " runs past the end of the data section"));
  }
  large_.resize(prefix.length);
  if (Status s = pread_all(store_->fd->get(), large_.data(), large_.size(), at + kRecordPrefix, &got);
      !s) {
    return fail(std::move(s.error()));
  }
  if (got < large_.size()) return fail(FileReader::cut_short(at + kRecordPrefix + got));
  const uint32_t crc = crc32(large_.data(), large_.size());
  if (crc != prefix.crc) {
    return fail(damaged("the record at " + std::to_string(at) + " fails its checksum: " +
                        crc_hex(crc) + ", its prefix says " + crc_hex(prefix.crc)));
  }
  record_ = {Bytes(large_), crc};
  record_here_ = true;
  payload_here_ = true;
  here_ = {at, prefix.length, crc};
  return value_of_record();
}

Result<RecordBytes> StoreSource::value_of_record() {
  if (!store_->codec || !ValueCodec::compressed(record_.payload)) return record_;
  if (decoded_here_) return RecordBytes{Bytes(decoded_), decoded_crc_};
  const ValueCodec& codec = *store_->codec;
  Result<uint64_t> size = codec.decoded_size(record_.payload);
  if (!size) return fail(damaged("the record at " + std::to_string(entry_.record) + ": " +
                                 size.error().message()));
  decoded_.resize(*size);
  if (Status s = codec.decompress(record_.payload, decoded_.data(), *size); !s) {
    return fail(damaged("the record at " + std::to_string(entry_.record) + ": " +
                        s.error().message()));
  }
  decoded_crc_ = crc32(decoded_.data(), decoded_.size());
  decoded_here_ = true;
  return RecordBytes{Bytes(decoded_), decoded_crc_};
}

Status StoreSource::finish() {
  if (seen_ != store_->header.num_keys) {
    return fail(damaged("the index section holds " + std::to_string(seen_) +
                        " entries, num_keys says " + std::to_string(store_->header.num_keys)));
  }
  // The records no key names, the key table last among them.
  if (Status s = pass_records_to(store_->header.index_offset); !s) return s;
  if (cursor_ != store_->header.index_offset) {
    return fail(damaged("the last record runs past the data section"));
  }
  if (Status s = checksum_to(store_->header.index_offset); !s) return s;
  const uint32_t crc =
      crc32_combine(data_crc_, index_.crc(), store_->size - store_->header.index_offset);
  if (crc != store_->header.file_crc32) {
    return fail(damaged("file checksum mismatch: the file gives " + crc_hex(crc) +
                        ", its header says " + crc_hex(store_->header.file_crc32)));
  }
  return {};
}

}  // namespace vornel
