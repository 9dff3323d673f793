// A store file read as a sorted source: its index section front to back through a
// buffer, and beside it the records, also front to back where the store lays them out in
// key order (as this package's writer does), each checked once. The records are read
// through a mapping, guarded, so that a copy can move them without reading them into
// memory (span()); what the walk has passed is let go of the mapping as it goes, so that
// a merge of large stores does not hold them. Records that no key names (a compressed
// store's dictionary, the key table) are passed over; a compressed store's values are
// given decompressed.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "codec/compression.hpp"
#include "format/format.hpp"
#include "write/sorted_source.hpp"
#include "util/file.hpp"
#include "util/file_stream.hpp"
#include "util/mapping.hpp"
#include "util/sparse_index.hpp"

namespace vornel {

// A store opened for reading as a source, with what one walk of its index section
// found: the checks passed, which records later keys name again, where each key lies.
struct StoreFile {
  std::shared_ptr<FileDescriptor> fd;
  std::shared_ptr<const FileMapping> map;  // the whole file, read-only
  std::string name;
  Header header;
  uint64_t size = 0;
  SparseIndex sparse;
  // Records named again by later entries, with how many such entries there are at most.
  std::unordered_map<uint64_t, uint64_t> named_again;
  // The dictionary that the header marks, in the data section's first record, which no
  // key may name. Null for a store whose header marks none: its values are as stored.
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
  // Reads the index section through a buffer of `buffer_size` bytes.
  explicit StoreSource(std::shared_ptr<const StoreFile> store, size_t buffer_size = size_t{256} << 10);

  [[nodiscard]] Status next() override;
  bool valid() const override { return valid_; }
  const Entry& entry() const override { return entry_; }
  [[nodiscard]] Result<RecordBytes> record() override;
  [[nodiscard]] Result<std::optional<RecordSpan>> span() override;
  uint64_t size() const override { return store_->header.num_keys; }
  const std::string& name() const override { return store_->name; }
  bool staged() const override { return false; }

 private:
  // A record at the data cursor, its prefix read and, when `checked`, its payload too.
  struct Checked {
    uint64_t at;
    uint32_t length;
    uint32_t crc;
  };
  [[nodiscard]] Status read_entry();
  // Moves the data cursor to `offset`, passing over the records before it.
  [[nodiscard]] Status pass_records_to(uint64_t offset);
  // Takes the record at the data cursor: its payload checked when `check`, and the cursor
  // moved past it.
  [[nodiscard]] Result<Checked> take_record(bool check);
  // Checks the records from the data cursor on, a batch at once, as far as they pass,
  // and the file's checksum over them: what take_record() then takes without reading.
  [[nodiscard]] Status check_ahead();
  // The file's checksum carried on to `offset` of the data section.
  [[nodiscard]] Status checksum_to(uint64_t offset);
  [[nodiscard]] Status finish();
  // Lets go of the pages of the mapping well behind the data cursor.
  void release_behind();
  // record_, decompressed into decoded_ when the store compressed it.
  [[nodiscard]] Result<RecordBytes> value_of_record();

  std::shared_ptr<const StoreFile> store_;
  const uint8_t* mapped_ = nullptr;
  FileReader index_;
  uint64_t seen_ = 0;
  bool valid_ = false;
  Entry entry_;
  std::unordered_map<uint64_t, uint64_t> uses_left_;
  uint64_t cursor_ = 0;     // the data section's next record
  uint64_t summed_to_ = 0;  // the data section's checksum covers the bytes before this
  uint32_t data_crc_ = 0;
  uint64_t released_ = 0;   // mapped pages before this were let go
  std::vector<Checked> ahead_;  // checked records from the cursor on
  size_t ahead_at_ = 0;
  Checked here_{};  // the record of the current entry, when record_here_
  RecordBytes record_;
  bool record_here_ = false;
  bool payload_here_ = false;  // record_ holds its payload
  std::vector<uint8_t> large_;
  std::vector<uint8_t> decoded_;
  uint32_t decoded_crc_ = 0;
  bool decoded_here_ = false;
};

}  // namespace vornel
