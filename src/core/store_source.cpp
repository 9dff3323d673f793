#include "store_source.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <cstring>

#include "crc32.hpp"

namespace vornel {
namespace {

constexpr size_t kReadBuffer = size_t{256} << 10;
// What one remembered shared record costs in a node-based map, about.
constexpr uint64_t kSharedEntryBytes = 48;

StoreError damaged(const std::string& what) { return StoreError::corrupt(what); }

StoreError entry_damage(uint64_t entry, const std::string& what) {
  return damaged("index entry " + std::to_string(entry) + " " + what);
}

// Reads one index entry from `in`: its key into `key` and its record offset.
Status read_index_entry(FileReader& in, std::vector<uint8_t>& key, uint64_t& offset) {
  Result<const uint8_t*> len = in.read(kKeyLenSize);
  if (!len) return fail(std::move(len.error()));
  const size_t key_len = load_be16(*len);
  Result<const uint8_t*> rest = in.read(key_len + kOffsetSize);
  if (!rest) return fail(std::move(rest.error()));
  key.assign(*rest, *rest + key_len);
  offset = load_be64(*rest + key_len);
  return {};
}

// The codec of the dictionary in the data section's first record, which no key names; null
// when that record is no dictionary's.
Result<std::unique_ptr<ValueCodec>> read_codec(int fd, const StoreFile& store) {
  const uint64_t end = store.header.index_offset;
  constexpr uint64_t kHead = kRecordPrefix + sizeof DictionaryHeader::kMagic;
  if (store.header.num_objects == 0 || !range_within(kDataOffset, kHead, end)) return nullptr;
  uint8_t head[kHead];
  size_t got = 0;
  if (Status s = pread_all(fd, head, sizeof head, kDataOffset, &got); !s) return fail(std::move(s.error()));
  if (got < sizeof head) return fail(FileReader::cut_short(kDataOffset + got));
  if (!DictionaryHeader::looks_like(Bytes(head + kRecordPrefix, sizeof head - kRecordPrefix))) {
    return nullptr;
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
  if (header->index_offset < kDataOffset || header->index_offset > store->size) {
    return fail(damaged("index_offset " + std::to_string(header->index_offset) +
                        " lies outside the file of " + std::to_string(store->size) + " bytes"));
  }

  // One walk over the index section.
  FileReader in(fd.get(), header->index_offset, store->size, kReadBuffer);
  std::vector<uint8_t> key, previous;
  uint64_t highest = 0;  // the highest record offset named so far
  bool first_named = false;  // a key names the data section's first record
  bool budget_left = true;
  for (uint64_t i = 0; in.remaining() != 0; ++i) {
    if (i == header->num_keys) return fail(damaged("the index section holds more entries than num_keys"));
    const uint64_t position = in.position();
    uint64_t offset = 0;
    std::swap(key, previous);
    if (Status s = read_index_entry(in, key, offset); !s) {
      return fail(entry_damage(i, "runs past the end of the file"));
    }
    if (i > 0 && !key_less(Bytes(previous), Bytes(key))) {
      return fail(entry_damage(i, "is out of key order"));
    }
    if (offset < kDataOffset || !range_within(offset, kRecordPrefix, header->index_offset)) {
      return fail(entry_damage(i, "names offset " + std::to_string(offset) +
                                      ", outside the data section"));
    }
    store->sparse.offer(Bytes(key), position);
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
  if (!first_named) {
    Result<std::unique_ptr<ValueCodec>> codec = read_codec(fd.get(), *store);
    if (!codec) return fail(std::move(codec.error()));
    store->codec = std::move(*codec);
  }
  store->fd = std::make_shared<FileDescriptor>(std::move(fd));
  return std::shared_ptr<const StoreFile>(std::move(store));
}

Result<bool> lookup(const StoreFile& store, Bytes key) {
  const auto [first, last] = store.sparse.block(key, store.size);
  if (first == last) return false;
  std::vector<uint8_t> block(static_cast<size_t>(last - first));
  size_t got = 0;
  if (Status s = pread_all(store.fd->get(), block.data(), block.size(), first, &got); !s) {
    return fail(std::move(s.error()));
  }
  if (got < block.size()) return fail(FileReader::cut_short(first + got));
  for (size_t at = 0; block.size() - at >= kIndexEntryMin;) {
    const size_t key_len = load_be16(block.data() + at);
    if (block.size() - at - kIndexEntryMin < key_len) break;
    const int c = compare_keys(Bytes(block.data() + at + kKeyLenSize, key_len), key);
    if (c == 0) return true;
    if (c > 0) break;
    at += kIndexEntryMin + key_len;
  }
  return false;
}

StoreSource::StoreSource(std::shared_ptr<const StoreFile> store, size_t buffer_size)
    : store_(std::move(store)),
      // Both keep the checksum of what they read, which the file's must match at the end.
      index_(store_->fd->get(), store_->header.index_offset, store_->size, buffer_size, true),
      data_(store_->fd->get(), kDataOffset, store_->header.index_offset, buffer_size, true),
      uses_left_(store_->named_again) {}

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
  Result<const uint8_t*> len = index_.read(kKeyLenSize);
  if (!len) return fail(entry_damage(seen_, "runs past the end of the file"));
  const size_t key_len = load_be16(*len);
  Result<const uint8_t*> rest = index_.read(key_len + kOffsetSize);
  if (!rest) return fail(entry_damage(seen_, "runs past the end of the file"));
  offset = load_be64(*rest + key_len);
  if (seen_ >= store_->header.num_keys) {
    return fail(damaged("the index section holds more entries than num_keys"));
  }
  if (offset < kDataOffset || !range_within(offset, kRecordPrefix, store_->header.index_offset)) {
    return fail(entry_damage(seen_, "names offset " + std::to_string(offset) +
                                        ", outside the data section"));
  }
  entry_ = Entry{};
  entry_.key = Bytes(*rest, key_len);
  entry_.record = offset;
  record_here_ = false;
  decoded_here_ = false;
  const uint64_t cursor = data_.position();
  if (offset >= cursor) {
    if (Status s = pass_records_to(offset); !s) return s;
    if (data_.position() != offset) {
      return fail(entry_damage(seen_, "names offset " + std::to_string(offset) +
                                          ", where no record starts"));
    }
    if (Status s = read_record_here(); !s) return s;
    if (!uses_left_.empty()) {
      const auto it = uses_left_.find(offset);
      entry_.uses_left = it == uses_left_.end() ? 0 : it->second;
    }
  } else if (auto it = uses_left_.find(offset); it != uses_left_.end() && it->second != 0) {
    entry_.uses_left = --it->second;
  }
  return {};
}

Status StoreSource::pass_records_to(uint64_t offset) {
  while (data_.position() < offset) {
    const uint64_t at = data_.position();
    Result<const uint8_t*> p = data_.read(kRecordPrefix);
    if (!p) return fail(std::move(p.error()));
    const RecordPrefix prefix = RecordPrefix::decode(*p);
    if (prefix.length > data_.remaining()) {
      return fail(damaged("the record at " + std::to_string(at) +
                          " runs past the end of the data section"));
    }
    if (Status s = data_.skip(prefix.length); !s) return s;
  }
  return {};
}

Status StoreSource::read_record_here() {
  const uint64_t at = data_.position();
  Result<const uint8_t*> p = data_.read(kRecordPrefix);
  if (!p) return fail(std::move(p.error()));
  const RecordPrefix prefix = RecordPrefix::decode(*p);
  if (prefix.length > data_.remaining()) {
    return fail(damaged("the record at " + std::to_string(at) +
                        " runs past the end of the data section"));
  }
  Bytes payload;
  if (prefix.length <= data_.buffer_size()) {
    Result<const uint8_t*> bytes = data_.read(prefix.length);
    if (!bytes) return fail(std::move(bytes.error()));
    payload = Bytes(*bytes, prefix.length);
  } else {
    large_.resize(prefix.length);
    if (Status s = data_.read_into(large_.data(), prefix.length); !s) return s;
    payload = Bytes(large_);
  }
  const uint32_t crc = crc32(payload.data(), payload.size());
  if (crc != prefix.crc) {
    return fail(damaged("the record at " + std::to_string(at) + " fails its checksum: " +
                        crc_hex(crc) + ", its prefix says " + crc_hex(prefix.crc)));
  }
  record_ = {payload, crc};
  record_here_ = true;
  return {};
}

Result<RecordBytes> StoreSource::record() {
  if (record_here_) return value_of_record();
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
  if (data_.position() != store_->header.index_offset) {
    return fail(damaged("the last record runs past the data section"));
  }
  const uint32_t crc =
      crc32_combine(data_.crc(), index_.crc(), store_->size - store_->header.index_offset);
  if (crc != store_->header.file_crc32) {
    return fail(damaged("file checksum mismatch: the file gives " + crc_hex(crc) +
                        ", its header says " + crc_hex(store_->header.file_crc32)));
  }
  return {};
}

}  // namespace vornel
