// A store file read as a sorted source: its index section front to back, and beside it
// the records, also front to back where the store lays them out in key order (as this
// package's writer does), each read once and checked as it is copied. Records that no key
// names (a compressed store's dictionary, the key table) are passed over; a compressed
// store's values are given decompressed. Nothing is mapped: reads go through buffers.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "compression.hpp"
#include "format.hpp"
#include "sorted_source.hpp"
#include "util/file.hpp"
#include "util/file_stream.hpp"
#include "util/sparse_index.hpp"

namespace vornel {

// A store opened for reading as a source, with what one walk of its index section
// found: the checks passed, which records later keys name again, where each key lies.
struct StoreFile {
  std::shared_ptr<FileDescriptor> fd;
  std::string name;
  Header header;
  uint64_t size = 0;
  SparseIndex sparse;
  // Records named again by later entries, with how many such entries there are at most.
  std::unordered_map<uint64_t, uint64_t> named_again;
  // The dictionary of a store whose values are compressed: the data section's first
  // record, when it is a dictionary's and no key names it. Null for one without.
  std::shared_ptr<const ValueCodec> codec;
};

// Opens the store at `path` and walks its index section once: every entry inside it, keys
// strictly ascending, each naming a place inside the data section, as many as the header
// says. Sharing is remembered within `sharing_budget` bytes. Damage is a
// VornCorruptError; a file that is no store says so (StoreError::is_not_a_store).
[[nodiscard]] Result<std::shared_ptr<const StoreFile>> open_store_file(const std::string& path,
                                                                       uint64_t sharing_budget);

// Whether `store` has an entry for `key`: one block of its index section read.
[[nodiscard]] Result<bool> lookup(const StoreFile& store, Bytes key);

class StoreSource final : public SortedSource {
 public:
  // Reads through two buffers of `buffer_size` bytes.
  explicit StoreSource(std::shared_ptr<const StoreFile> store, size_t buffer_size = size_t{256} << 10);

  [[nodiscard]] Status next() override;
  bool valid() const override { return valid_; }
  const Entry& entry() const override { return entry_; }
  [[nodiscard]] Result<RecordBytes> record() override;
  uint64_t size() const override { return store_->header.num_keys; }
  const std::string& name() const override { return store_->name; }
  bool staged() const override { return false; }

 private:
  [[nodiscard]] Status read_entry();
  // Moves the data cursor to `offset`, passing over the records before it (read for the
  // file's checksum).
  [[nodiscard]] Status pass_records_to(uint64_t offset);
  // Reads the record at the data cursor.
  [[nodiscard]] Status read_record_here();
  [[nodiscard]] Status finish();
  // record_, decompressed into decoded_ when the store compressed it.
  [[nodiscard]] Result<RecordBytes> value_of_record();

  std::shared_ptr<const StoreFile> store_;
  FileReader index_;
  FileReader data_;
  uint64_t seen_ = 0;
  bool valid_ = false;
  Entry entry_;
  std::unordered_map<uint64_t, uint64_t> uses_left_;
  RecordBytes record_;
  bool record_here_ = false;
  std::vector<uint8_t> large_;
  std::vector<uint8_t> decoded_;
  uint32_t decoded_crc_ = 0;
  bool decoded_here_ = false;
};

}  // namespace vornel
