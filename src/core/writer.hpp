// Staging objects and key bindings in memory, and publishing them as one store file.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "arena.hpp"
#include "format.hpp"
#include "key_hash.hpp"
#include "record_buffer.hpp"
#include "store_error.hpp"

namespace vornel {

// The format's limits as the writer enforces them. Tests lower them to reach the
// limit paths without staging gigabytes.
struct WriterLimits {
  uint64_t max_key_len = kMaxKeyLen;
  uint64_t max_object_len = kMaxObjectLen;
  uint64_t max_objects = kMaxObjects;
  uint64_t max_keys = kMaxKeys;
};

// What a successful build published.
struct BuildReport {
  uint64_t num_objects = 0;
  uint64_t num_keys = 0;
  uint64_t file_size = 0;
};

// One distinct staged key with the object of its latest binding.
struct StagedKey {
  const uint8_t* data;  // owned by the writer
  uint64_t size;
  uint64_t obj_id;
  Bytes bytes() const { return {data, size}; }
};

class Writer {
 public:
  Writer() = default;
  explicit Writer(const WriterLimits& limits) : limits_(limits) {}
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;

  // Copies the bytes and returns their object ID (the number of objects before).
  uint64_t add_object(Bytes raw);
  // Binds `key` to `obj_id`; a key bound before is rebound. Checks the ID range
  // before the key length; a failure changes nothing.
  [[nodiscard]] Status add_key(Bytes key, uint64_t obj_id);

  uint64_t num_objects() const { return record_starts_.size(); }
  uint64_t num_keys() const { return keys_.size(); }

  // Writes the staged store to a temporary file beside `path`, fsyncs it and renames
  // it over `path`. Reads the staged state only; the output depends on nothing else.
  [[nodiscard]] Result<BuildReport> build(std::string_view path) const;

 private:
  // Open addressing over keys_: a slot is 0 when empty, else a hash tag above the
  // key's position + 1. The table is kept at most 3/4 full. The home slot comes from
  // the hash's high bits and the tag from its low ones, so that they are independent.
  static constexpr unsigned kPosBits = 40;
  static constexpr uint64_t kPosMask = (uint64_t{1} << kPosBits) - 1;

  // The slot holding `key`, or the empty slot where it would go.
  size_t probe(Bytes key, uint64_t hash) const;
  size_t home(uint64_t hash) const { return static_cast<size_t>(hash >> shift_); }
  static uint64_t tag(uint64_t hash) { return hash << kPosBits; }
  void grow();

  // Length of the object with this ID, taken from the record layout.
  uint64_t object_size(uint64_t obj_id) const {
    const uint64_t end =
        obj_id + 1 < record_starts_.size() ? record_starts_[obj_id + 1] : records_.size();
    return end - record_starts_[obj_id] - kRecordPrefix;
  }

  WriterLimits limits_;
  KeyHash hash_;
  // The data section itself, staged: each object is copied once, into its record, and
  // build writes the records as they stand. Objects over the format's length limit
  // have a meaningless prefix, but build rejects them before anything is written.
  RecordBuffer records_;
  std::vector<uint64_t> record_starts_;  // position in records_, by object ID
  Arena key_bytes_;  // keys are at most kMaxKeyLen bytes, far below a block
  static_assert(kMaxKeyLen <= Arena::kBlockSize);
  std::vector<StagedKey> keys_;  // in the order keys were first bound
  std::vector<uint64_t> slots_;
  unsigned shift_ = 64;  // home() takes the top log2(slots) bits of the hash
};

// The line printed after a successful build, newline included:
// "✅  {path}  —  {objects} objects · {keys} keys · {size/1024, one decimal} KB\n".
std::string summary_line(std::string_view path, const BuildReport& report);

// Writes `line` to file descriptor 1, retrying on EINTR. A closed descriptor 1 is
// not an error. Returns the OS error text of any other failure.
[[nodiscard]] std::optional<std::string> write_stdout_line(std::string_view line);

}  // namespace vornel
