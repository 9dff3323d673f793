// Writer::build: lays out both sections in memory, then publishes them through a
// temporary file, fsync and rename. Also the summary line that follows a build.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cerrno>
#include <cstring>
#include <initializer_list>
#include <vector>

#include "crc32.hpp"
#include "fd.hpp"
#include "large_buffer.hpp"
#include "publish.hpp"
#include "writer.hpp"

namespace vornel {
namespace {

constexpr mode_t kNewFileMode = 0666;  // before the process's umask

// How far ahead the passes over scattered keys prefetch.
constexpr size_t kPrefetchDistance = 16;

// One index entry awaiting its place. `head` holds the key's first bytes so that most
// comparisons never leave the array.
// One index entry awaiting its place, with what the index needs of its key at hand:
// placing it later reads nothing else at random. `head` holds the key's first bytes so
// that most comparisons never leave the array. Key lengths and object IDs fit 32 bits
// once the limits are checked.
struct SortEntry {
  uint64_t head;  // first 8 key bytes, big-endian, zero-padded
  const uint8_t* key;
  uint32_t key_len;
  uint32_t obj_id;
  Bytes key_bytes() const { return {key, key_len}; }
};
static_assert(kMaxKeyLen <= UINT32_MAX && kMaxObjects <= UINT32_MAX);

uint64_t key_head(const uint8_t* key, uint64_t len) {
  uint8_t bytes[8] = {};
  if (len != 0) std::memcpy(bytes, key, std::min<uint64_t>(len, sizeof bytes));
  return load_be64(bytes);
}

// Heads order keys as compare_keys does, except that a zero byte and padding tie.
bool entry_less(const SortEntry& a, const SortEntry& b) {
  if (a.head != b.head) return a.head < b.head;
  return compare_keys(a.key_bytes(), b.key_bytes()) < 0;
}

constexpr unsigned kGroupBits = 16;     // entries are grouped by their first two key bytes
constexpr size_t kGroupingMin = 1024;  // below this a plain sort is quicker

// The keys in key order, by reference. A counting pass distributes them by their first
// two bytes straight into place, then each group is sorted on its own: for most key
// sets the groups are small enough to sort within the cache, and a set sharing its
// first bytes degrades to one plain sort.
std::vector<SortEntry> sorted_by_key(const std::vector<StagedKey>& keys) {
  std::vector<SortEntry> order(keys.size());
  auto entry = [](const StagedKey& key) {
    return SortEntry{key_head(key.data, key.size), key.data, static_cast<uint32_t>(key.size),
                     static_cast<uint32_t>(key.obj_id)};
  };
  if (keys.size() < kGroupingMin) {
    for (size_t i = 0; i < keys.size(); ++i) order[i] = entry(keys[i]);
    std::sort(order.begin(), order.end(), entry_less);
    return order;
  }
  constexpr size_t kGroups = size_t{1} << kGroupBits;
  auto group_of = [](uint64_t head) { return head >> (64 - kGroupBits); };
  std::vector<size_t> start(kGroups + 1, 0);
  for (const StagedKey& key : keys) ++start[group_of(key_head(key.data, key.size)) + 1];
  for (size_t g = 0; g < kGroups; ++g) start[g + 1] += start[g];

  std::vector<size_t> next(start.begin(), start.end() - 1);
  for (const StagedKey& key : keys) {
    const SortEntry e = entry(key);
    order[next[group_of(e.head)]++] = e;
  }
  for (size_t g = 0; g < kGroups; ++g) {
    std::sort(order.begin() + start[g], order.begin() + start[g + 1], entry_less);
  }
  return order;
}

// The index section from entries in key order, `size` bytes in all.
// `record_starts` gives each object's record position within the data section.
LargeBuffer lay_out_index(const std::vector<SortEntry>& order,
                      const std::vector<uint64_t>& record_starts, uint64_t size) {
  LargeBuffer index(size);
  uint8_t* out = index.data();
  for (size_t i = 0; i < order.size(); ++i) {
    if (i + kPrefetchDistance < order.size()) {
      const SortEntry& ahead = order[i + kPrefetchDistance];
      __builtin_prefetch(ahead.key);
      __builtin_prefetch(&record_starts[ahead.obj_id]);
    }
    const SortEntry& e = order[i];
    store_be16(out, static_cast<uint16_t>(e.key_len));
    if (e.key_len != 0) std::memcpy(out + kKeyLenSize, e.key, e.key_len);
    out += kKeyLenSize + e.key_len;
    store_be64(out, kDataOffset + record_starts[e.obj_id]);
    out += kOffsetSize;
  }
  return index;
}

// Creates or truncates the temporary file and writes the pieces through the output
// buffer, then fsyncs and closes it. A failure after the open leaves the file behind.
Status write_temporary(const std::string& tmp_path, std::initializer_list<Bytes> pieces) {
  std::string c_path;
  if (!to_c_path(tmp_path, c_path)) {
    return fail(StoreError::io(std::string("open tmp: ") + kNulInPathText));
  }
  constexpr int kFlags = O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC;
  FileDescriptor fd(retry_eintr([&] { return ::open(c_path.c_str(), kFlags, kNewFileMode); }));
  if (!fd.valid()) return fail(StoreError::io("open tmp: " + os_error_text(errno)));

  BufferedOutput out(fd.get(), ::write);
  Status written;
  for (Bytes piece : pieces) {
    if (written) written = out.append(piece);
  }
  if (written) written = out.flush();
  if (!written) {
    out.flush_ignoring_errors();
    return written;
  }
  if (retry_eintr([&] { return ::fsync(fd.get()); }) != 0) {
    return fail(StoreError::io(os_error_text(errno)));
  }
  return {};  // closing cannot lose what fsync has stored; its failure is ignored
}

// Makes the rename itself durable. Best effort: the store is already published, and
// a directory that cannot be synced leaves it no less complete.
void sync_directory_of(std::string_view file) {
  const std::string dir = containing_dir(file);
  FileDescriptor fd(
      retry_eintr([&] { return ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); }));
  if (fd.valid()) (void)retry_eintr([&] { return ::fsync(fd.get()); });
}

constexpr char kCheckMark[] = "\xE2\x9C\x85";  // U+2705
constexpr char kEmDash[] = "\xE2\x80\x94";     // U+2014
constexpr char kMiddleDot[] = "\xC2\xB7";      // U+00B7

}  // namespace

Result<BuildReport> Writer::build(std::string_view path) const {
  const std::string tmp_path = temp_path_for(path);

  // Every limit is checked before the file system is touched.
  if (num_objects() > limits_.max_objects) {
    return fail(StoreError::invalid(std::to_string(num_objects()) +
                                    " objects exceeds format maximum of " +
                                    std::to_string(limits_.max_objects)));
  }
  if (keys_.size() > limits_.max_keys) {
    return fail(StoreError::invalid(std::to_string(keys_.size()) +
                                    " keys exceeds format maximum of " +
                                    std::to_string(limits_.max_keys)));
  }
  for (uint64_t id = 0; id < num_objects(); ++id) {
    if (const uint64_t size = object_size(id); size > limits_.max_object_len) {
      return fail(StoreError::invalid("object is " + std::to_string(size) +
                                      " bytes, format maximum is " +
                                      std::to_string(limits_.max_object_len)));
    }
  }
  const Bytes data(records_.data(), records_.size());

  // The keys are sorted by reference, never copied.
  uint64_t index_size = 0;
  for (const StagedKey& key : keys_) index_size += kIndexEntryMin + key.size;
  const std::vector<SortEntry> order = sorted_by_key(keys_);
  const LargeBuffer index = lay_out_index(order, record_starts_, index_size);

  Header header;
  header.num_keys = static_cast<uint32_t>(keys_.size());
  header.num_objects = static_cast<uint32_t>(num_objects());
  header.index_offset = kDataOffset + data.size();
  header.data_offset = kDataOffset;
  header.file_crc32 =
      crc32_extend(crc32(data.data(), data.size()), index.data(), index.size());
  uint8_t header_bytes[kHeaderSize];
  header.encode_to(header_bytes);

  if (auto written = write_temporary(tmp_path, {Bytes(header_bytes), data, Bytes(index.data(), index.size())});
      !written) {
    return fail(std::move(written.error()));
  }
  std::string path_c;
  if (!to_c_path(path, path_c)) {
    return fail(StoreError::io(std::string("rename: ") + kNulInPathText));
  }
  if (::rename(tmp_path.c_str(), path_c.c_str()) != 0) {
    return fail(StoreError::io("rename: " + os_error_text(errno)));
  }
  sync_directory_of(tmp_path);
  return BuildReport{num_objects(), keys_.size(), kHeaderSize + data.size() + index_size};
}

std::string summary_line(std::string_view path, const BuildReport& report) {
  // to_chars rounds the exact binary value, ties to even, whatever the C locale.
  char kb[64];
  const double size_kb = static_cast<double>(report.file_size) / 1024.0;
  const auto end = std::to_chars(kb, kb + sizeof kb, size_kb, std::chars_format::fixed, 1).ptr;

  std::string line;
  line.reserve(path.size() + 96);
  line += kCheckMark;
  line += "  ";
  line += path;
  line += "  ";
  line += kEmDash;
  line += "  ";
  line += std::to_string(report.num_objects);
  line += " objects ";
  line += kMiddleDot;
  line += ' ';
  line += std::to_string(report.num_keys);
  line += " keys ";
  line += kMiddleDot;
  line += ' ';
  line.append(kb, end);
  line += " KB\n";
  return line;
}

std::optional<std::string> write_stdout_line(std::string_view line) {
  size_t written;
  const int code = write_all(STDOUT_FILENO, ::write, reinterpret_cast<const uint8_t*>(line.data()),
                             line.size(), &written);
  // A process without standard output simply does not get the line.
  if (code == 0 || code == EBADF) return std::nullopt;
  if (code < 0) return std::string("failed to write whole buffer");
  return os_error_text(code);
}

}  // namespace vornel
