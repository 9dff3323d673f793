// Staging objects and key bindings in memory, and building one store file from them.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "codec/compression.hpp"
#include "format/format.hpp"
#include "write/publish.hpp"
#include "util/store_error.hpp"
#include "util/arena.hpp"
#include "util/key_hash.hpp"
#include "util/open_table.hpp"
#include "util/record_buffer.hpp"

namespace vornel {

// The format's limits as the writer enforces them. Tests lower them to reach the
// limit paths without staging gigabytes.
struct WriterLimits {
  uint64_t max_key_len = kMaxKeyLen;
  uint64_t max_object_len = kMaxObjectLen;
  uint64_t max_objects = kMaxObjects;
  uint64_t max_keys = kMaxKeys;
};

// What a build does beyond writing the store. The defaults give the plain build, whose
// files, behaviour and messages are fixed.
struct BuildOptions {
  // Append the persisted key table (key_table.hpp) as the data section's last record.
  // Left out when it cannot be written: a store past the format's object count or
  // record length with it (some 280 million keys), or an index section of 2^48 bytes.
  bool key_table = false;
  // A failed or cancelled build unlinks its temporary file.
  bool remove_temp_on_failure = false;
  // The new file takes the permission bits of the regular file it replaces.
  bool keep_mode = false;
  // Called as each phase starts (Sort with the number of keys, Write with done and
  // total bytes, again every kProgressStep bytes and at its end, then Fsync, then Rename
  // once the file is on disk); returning false cancels the build with
  // ErrorKind::Cancelled. Never called after the rename. A compressing build reports
  // Compress before Sort.
  BuildProgress progress;
  // Compress the values with a dictionary trained on them (compression.hpp), which
  // becomes the data section's first record.
  CompressionOptions compression;
};

// What a successful build published: the facts, which each binding words as it
// announces the store.
struct BuildReport {
  uint64_t num_objects = 0;  // the key table's and the dictionary's records included
  uint64_t num_keys = 0;
  uint64_t file_size = 0;
  bool key_table = false;   // a key table was written
  bool dictionary = false;  // values were compressed, and their dictionary written
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

  // add_key in two steps, for callers that stage many keys: the hash of each key
  // first, so that the slots they land in can be fetched ahead (prefetch_key), then the
  // binding. add_key_hashed(key, key_hash(key), id) is add_key(key, id), except that
  // the key's length must already be known to be within the limit.
  uint64_t key_hash(Bytes key) const { return hash_(key.data(), key.size()); }
  void prefetch_key(uint64_t hash) const {
    if (!slots_.empty()) __builtin_prefetch(&slots_[open_table::home(hash, slots_.size())]);
  }
  [[nodiscard]] Status add_key_hashed(Bytes key, uint64_t hash, uint64_t obj_id) {
    if (obj_id >= num_objects() || key.size() > limits_.max_key_len) return add_key(key, obj_id);
    return add_hashed_key(key, hash, obj_id);
  }

  uint64_t num_objects() const { return record_starts_.size(); }
  // The staged bytes of object `obj_id` (< num_objects()), valid until the next
  // add_object.
  Bytes object_bytes(uint64_t obj_id) const {
    return {records_.data() + record_starts_[obj_id] + kRecordPrefix, object_size(obj_id)};
  }
  // The CRC-32 of object `obj_id`'s bytes, as its record carries it.
  uint32_t object_crc(uint64_t obj_id) const {
    return RecordPrefix::decode(records_.data() + record_starts_[obj_id]).crc;
  }
  uint64_t num_keys() const { return keys_.size(); }
  // The distinct keys, in the order they were first bound.
  const std::vector<StagedKey>& staged_keys() const { return keys_; }
  // What `key`, whose hash is `hash`, is bound to, if anything.
  std::optional<uint64_t> binding(Bytes key, uint64_t hash) const {
    if (slots_.empty()) return std::nullopt;
    const uint64_t slot = slots_[probe(key, hash)];
    if (slot == 0) return std::nullopt;
    return keys_[Slot::position_of(slot)].obj_id;
  }
  // Binds `key` to `value` without the ID's range check, for callers that keep marks of
  // their own in the value; the key's length must be within the limit.
  void bind_marked(Bytes key, uint64_t hash, uint64_t value) {
    (void)add_hashed_key(key, hash, value);
  }
  // Bytes of memory that the staged objects and keys hold.
  uint64_t memory_bytes() const {
    return records_.size() + record_starts_.capacity() * sizeof(uint64_t) +
           keys_.capacity() * sizeof(StagedKey) + key_bytes_.used() +
           slots_.capacity() * sizeof(uint64_t);
  }
  // Whether `key` is bound to an object.
  bool contains(Bytes key) const {
    return !slots_.empty() && slots_[probe(key, hash_(key.data(), key.size()))] != 0;
  }

  // Checks the limits, lays out the staged store and publishes it at `path`. Reads
  // the staged state only; without a key table the output depends on nothing else (a
  // table carries a hash seed of its own).
  [[nodiscard]] Result<BuildReport> build(std::string_view path,
                                          const BuildOptions& options = {}) const;

 private:
  // Open addressing over keys_, kept at most 3/4 full. 40 bits of position leave a
  // 24-bit tag.
  using Slot = open_table::TaggedSlot<40>;

  // add_key once the ID and the length are checked, with `hash` the key's hash.
  Status add_hashed_key(Bytes key, uint64_t hash, uint64_t obj_id);
  // The slot holding `key`, or the empty slot where it would go.
  size_t probe(Bytes key, uint64_t hash) const;
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
};

}  // namespace vornel
