#include "reader.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "crc32.hpp"
#include "key_index.hpp"
#include "util/file.hpp"
#include "util/mapping.hpp"
#include "util/offset_set.hpp"

namespace vornel {

namespace {

// CRC-32 of everything after the header, which file_crc32 covers.
uint32_t body_crc(const uint8_t* file, uint64_t size) {
  return crc32(file + kHeaderSize, size - kHeaderSize);
}

StoreError crc_mismatch(uint32_t stored, uint32_t computed) {
  return StoreError::corrupt("file CRC32 mismatch  stored=" + crc_hex(stored) +
                             "  computed=" + crc_hex(computed));
}

}  // namespace

struct Reader::State {
  State(std::string p, Header h, uint64_t size, FileMapping m, KeyIndex i)
      : path(std::move(p)), header(h), file_size(size), mapping(std::move(m)),
        index(std::move(i)) {}

  std::string path;
  Header header;
  uint64_t file_size;
  FileMapping mapping;
  KeyIndex index;

  Bytes file() const { return Bytes(mapping.data(), file_size); }
};

Reader::~Reader() = default;

Result<std::unique_ptr<Reader>> Reader::open(std::string_view path, bool verify) {
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
  const auto file_size = static_cast<uint64_t>(st.st_size);
  auto mapping = FileMapping::map(fd.get(), file_size == 0 ? 1 : file_size);
  if (!mapping) return fail(StoreError::io("mmap failed: " + mapping.error().message()));
  // The mapping keeps the contents reachable; the descriptor is no longer needed.
  fd.reset();

  const uint8_t* base = mapping->data();
  const Bytes file(base, file_size);
  auto header = Header::decode(file);
  if (!header) return fail(std::move(header.error()));

  if (verify) {
    const uint32_t computed = body_crc(base, file_size);
    if (computed != header->file_crc32) return fail(crc_mismatch(header->file_crc32, computed));
  }

  // Bound every entry before anything is allocated, so that a count larger than
  // the file can hold costs nothing but this walk.
  uint64_t pos = header->index_offset;
  for (uint32_t i = 0; i < header->num_keys; ++i) {
    auto entry = IndexEntry::decode(file, pos);
    if (!entry) return fail(std::move(entry.error()));
    pos += entry->encoded_size();
  }
  // The parsed entries, copied out of the mapping; bytes after them are ignored.
  const Bytes section = header->num_keys == 0
                            ? Bytes()
                            : Bytes(base + header->index_offset, pos - header->index_offset);
  KeyIndex index(section, header->num_keys);

  std::unique_ptr<Reader> reader(new Reader());
  reader->state_ = std::make_unique<State>(std::string(path), *header, file_size,
                                           std::move(*mapping), std::move(index));
  return reader;
}

const std::string& Reader::path() const { return state_->path; }
const Header& Reader::header() const { return state_->header; }
uint64_t Reader::file_size() const { return state_->file_size; }

size_t Reader::size() const { return state_->index.size(); }
Bytes Reader::key_at(size_t i) const { return state_->index.key_at(i); }
uint64_t Reader::offset_at(size_t i) const { return state_->index.offset_at(i); }

bool Reader::contains(Bytes key) const { return state_->index.contains(key); }

std::optional<uint64_t> Reader::find(Bytes key) const {
  // Callers mostly read the record next: start fetching it during the key comparison.
  return state_->index.find(key, state_->file());
}

Result<Bytes> Reader::read_object(uint64_t off) const { return read_record(state_->file(), off); }

std::pair<size_t, size_t> Reader::prefix_range(Bytes prefix) const {
  const KeyIndex& index = state_->index;
  const size_t n = index.size();
  if (n == 0) return {0, 0};
  // Lower bound: the first entry whose key is not less than the prefix.
  size_t base = 0;
  size_t size = n;
  while (size > 1) {
    const size_t half = size / 2;
    const size_t mid = base + half;
    if (key_less(index.key_at(mid), prefix)) base = mid;
    size -= half;
  }
  const size_t first = base + (key_less(index.key_at(base), prefix) ? 1 : 0);
  // The matches run contiguously from there in a sorted index.
  size_t last = first;
  while (last < n) {
    const Bytes key = index.key_at(last);
    if (key.size() < prefix.size() ||
        (!prefix.empty() && std::memcmp(key.data(), prefix.data(), prefix.size()) != 0)) {
      break;
    }
    ++last;
  }
  return {first, last};
}

Result<std::vector<Bytes>> Reader::read_entries(size_t first, size_t last) const {
  const KeyIndex& index = state_->index;
  if (last > index.size()) last = index.size();
  if (first > last) first = last;
  std::vector<Bytes> payloads;
  payloads.reserve(last - first);
  for (size_t i = first; i < last; ++i) {
    auto payload = read_object(index.offset_at(i));
    if (!payload) return fail(std::move(payload.error()));
    payloads.push_back(*payload);
  }
  return payloads;
}

Result<std::vector<Bytes>> Reader::distinct_objects() const {
  const KeyIndex& index = state_->index;
  OffsetSet seen(index.size());
  std::vector<Bytes> payloads;
  for (size_t i = 0; i < index.size(); ++i) {
    const uint64_t off = index.offset_at(i);
    if (!seen.insert(off)) continue;
    auto payload = read_object(off);
    if (!payload) return fail(std::move(payload.error()));
    payloads.push_back(*payload);
  }
  return payloads;
}

Status Reader::verify() const {
  const State& s = *state_;
  const uint32_t computed = body_crc(s.mapping.data(), s.file_size);
  if (computed != s.header.file_crc32) return fail(crc_mismatch(s.header.file_crc32, computed));

  OffsetSet seen(s.index.size());
  for (size_t i = 0; i < s.index.size(); ++i) {
    const uint64_t off = s.index.offset_at(i);
    if (!seen.insert(off)) continue;
    // verify names an unreachable prefix in its own words; read_record the rest.
    if (!range_within(off, kRecordPrefix, s.file_size)) {
      return fail(StoreError::corrupt("object offset " + std::to_string(off) + " out of bounds"));
    }
    auto payload = read_record(s.file(), off);
    if (!payload) return fail(std::move(payload.error()));
    const RecordPrefix prefix = RecordPrefix::decode(s.mapping.data() + off);
    if (crc32(payload->data(), payload->size()) != prefix.crc) {
      return fail(StoreError::corrupt("object CRC32 mismatch at offset " + std::to_string(off)));
    }
  }
  return {};
}

}  // namespace vornel
