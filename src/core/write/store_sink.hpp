// A store file written from entries in key order: each record where its first key
// comes, so that the data section lies in key order too, then the key table and the
// index section, then the header; published as publish() does (temporary file, fsync,
// rename). The index section is held in memory while it fits a budget, and in an unnamed
// file beside the runs past it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "write/publish.hpp"
#include "write/sorted_source.hpp"
#include "codec/compression.hpp"
#include "write/writer.hpp"
#include "util/file_stream.hpp"
#include "util/background_writer.hpp"
#include "util/record_buffer.hpp"
#include "util/writeback.hpp"

namespace vornel {

struct StoreSinkOptions {
  bool key_table = true;
  bool keep_mode = true;
  bool remove_temp_on_failure = true;
  // Told of Write (bytes of the key table and index section written) and Fsync.
  BuildProgress progress;
  // Memory the index section may hold while records are written, and what the key
  // table's build may hold, its slots and the index section included, once they are.
  uint64_t memory_budget = ~uint64_t{0};
  uint64_t table_budget = ~uint64_t{0};
  // Where the index section goes when it outgrows the budget.
  std::string spill_dir = ".";
  // Compresses the values with its dictionary, which becomes the data section's first
  // record (compression.hpp); none when null.
  ValueCompressor* compressor = nullptr;
  PwriteFn pwrite = ::pwrite;
};

class StoreSink {
 public:
  // Opens the temporary file of `path`; the options must outlive the sink.
  [[nodiscard]] static Result<std::unique_ptr<StoreSink>> open(std::string_view path,
                                                               const StoreSinkOptions& options);
  ~StoreSink();

  // A value as a record of this store holds it: compressed, when the sink compresses and
  // that shrinks it, else as it is. Valid until the next call.
  struct Stored {
    Bytes payload;
    uint32_t crc = 0;
    uint64_t value_size = 0;  // of the value as it was
  };
  // The stored form of `value`, whose CRC-32 is `crc`. Every record of a store takes its
  // form here.
  Stored prepare(Bytes value, uint32_t crc);
  // Appends the record of `stored` to the data section and returns where it starts.
  [[nodiscard]] Result<uint64_t> write_record(const Stored& stored);
  // Whether records are written as they come, so that copy_record() may move them.
  bool copies_verbatim() const { return options_.compressor == nullptr; }
  // Appends the record that `span` finds, copied as its file holds it; returns where it
  // starts. Records that follow one another in their file are copied together.
  [[nodiscard]] Result<uint64_t> copy_record(const RecordSpan& span);
  // Appends an index entry: `key`, above every key before it, naming the record at `offset`.
  [[nodiscard]] Status add_entry(Bytes key, uint64_t offset);
  // Whether the record at `offset` holds `stored`.
  [[nodiscard]] Result<bool> holds(uint64_t offset, const Stored& stored);

  uint64_t num_objects() const { return records_; }
  uint64_t num_keys() const { return keys_; }

  // Writes the key table, the index section and the header, and publishes the file.
  [[nodiscard]] Result<BuildReport> finish();

 private:
  StoreSink(std::unique_ptr<PublishOptions> publishing, TempFile tmp,
            const StoreSinkOptions& options);
  [[nodiscard]] Status spill_index();
  [[nodiscard]] Status write_index_at(uint64_t at, uint64_t& done, uint64_t total);
  bool report(BuildPhase phase, uint64_t done, uint64_t total) const {
    return !options_.progress || options_.progress(phase, done, total);
  }

  // Writes the records that copy_record() gathered.
  [[nodiscard]] Status copy_gathered();
  // The dictionary's record, first in the data section when the values are compressed.
  uint64_t dictionary_record() const;
  std::unique_ptr<PublishOptions> publishing_;  // what tmp_ was opened with
  TempFile tmp_;
  const StoreSinkOptions& options_;
  Writeback writeback_;  // of tmp_, which outlives it
  BackgroundWriter data_;
  uint64_t records_ = 0;
  uint64_t keys_ = 0;
  // The index section: in memory, then in an unnamed file once it outgrows the budget.
  RecordBuffer index_;
  uint64_t index_size_ = 0;
  std::optional<FileDescriptor> index_file_;
  FileWriter index_out_;
  std::vector<uint8_t> check_;  // holds()'s copy of a record read back
  RecordSpan gathered_;         // records to copy, one after another in their file
  DictionaryHeader dictionary_;           // the values' totals, as the record gives them
};

}  // namespace vornel
