// The key table of an index section written straight into a file, within a memory
// budget: the section is read front to back as often as the budget needs, and only the
// slots are held whole. The payload is byte for byte build_key_table's.
#pragma once

#include <cstdint>

#include "format/key_table.hpp"
#include "util/file_stream.hpp"

namespace vornel {

// An index section read front to back: from memory, or from a file.
class IndexInput {
 public:
  explicit IndexInput(Bytes section) : memory_(section), size_(section.size()) {}
  IndexInput(int fd, uint64_t size) : fd_(fd), size_(size) {}

  uint64_t size() const { return size_; }
  // Calls f(key, position) for each entry, position counted from the section's start.
  template <class F>
  [[nodiscard]] Status each(F&& f) const;

 private:
  Bytes memory_;
  int fd_ = -1;
  uint64_t size_ = 0;
};

struct TableWritten {
  uint64_t payload_length = 0;
  uint32_t payload_crc = 0;
};

// Writes the payload of the key table of `index`, `num_keys` entries in ascending key
// order that a store places at `index_offset`, to `fd` at `payload_at`, hashed under
// `seed`. Holds the slots (10.7 bytes a key) and at most `budget` bytes more. The
// geometry must be KeyTableGeometry::of(num_keys, index.size()) and positions_fit().
[[nodiscard]] Result<TableWritten> write_key_table(const IndexInput& index, uint64_t num_keys,
                                                   uint64_t index_offset, const HashSeed& seed,
                                                   int fd, uint64_t payload_at, uint64_t budget,
                                                   PwriteFn pwrite_fn = ::pwrite);

template <class F>
Status IndexInput::each(F&& f) const {
  if (fd_ < 0) {
    for (uint64_t pos = 0; pos < memory_.size();) {
      const IndexEntry e = IndexEntry::decode_bounded(memory_.data() + pos);
      f(e.key, pos);
      pos += e.encoded_size();
    }
    return {};
  }
  FileReader in(fd_, 0, size_, size_t{1} << 20);
  while (in.remaining() != 0) {
    const uint64_t pos = in.position();
    Result<const uint8_t*> len = in.read(kKeyLenSize);
    if (!len) return fail(std::move(len.error()));
    const size_t key_len = load_be16(*len);
    Result<const uint8_t*> rest = in.read(key_len + kOffsetSize);
    if (!rest) return fail(std::move(rest.error()));
    f(Bytes(*rest, key_len), pos);
  }
  return {};
}

}  // namespace vornel
