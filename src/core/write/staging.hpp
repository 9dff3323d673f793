// What a writer stages in memory between runs: objects, deduplicated when asked, and keys
// bound to them or unstaged. Read as a sorted source once it is frozen (MemorySource).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "write/object_table.hpp"
#include "write/sorted_source.hpp"
#include "util/large_buffer.hpp"
#include "write/writer.hpp"

namespace vornel {

class StagingBuffer {
 public:
  explicit StagingBuffer(bool dedup);
  StagingBuffer(const StagingBuffer&) = delete;
  StagingBuffer& operator=(const StagingBuffer&) = delete;

  // How the buffer holds a key.
  enum class Held : uint8_t { No, Value, Deleted };
  Held held(Bytes key, uint64_t hash) const;
  // What `key` is bound to, marks included (kDeletedCode, kReplacesBit), if anything.
  std::optional<uint32_t> code(Bytes key, uint64_t hash) const {
    const std::optional<uint64_t> c = objects_.binding(key, hash);
    if (!c) return std::nullopt;
    return static_cast<uint32_t>(*c);
  }

  uint64_t key_hash(Bytes key) const { return objects_.key_hash(key); }
  void prefetch_key(uint64_t hash) const { objects_.prefetch_key(hash); }
  uint64_t value_hash(Bytes value) const { return table_ ? table_->hash(value) : 0; }
  void prefetch_value(uint64_t hash) const {
    if (table_) table_->prefetch(hash);
  }

  // The object holding `value`: with dedup the one staged with the same bytes, else a new
  // one. `hash` is value_hash(value).
  uint32_t intern(Bytes value, uint64_t hash);
  // Binds `key` (within the key length limit) to `obj_id`. `replaces`: older sources'
  // entries of the key are hidden, as by a deletion before it.
  void bind(Bytes key, uint64_t hash, uint32_t obj_id, bool replaces);
  // Unstages `key`: hides it in this buffer and in every older source.
  void unbind(Bytes key, uint64_t hash);

  // Whether the next value needs a fresh buffer: object IDs are 31 bits here.
  bool full() const { return objects_.num_objects() >= kMaxObjectId; }
  bool empty() const { return objects_.num_keys() == 0; }
  // Keys bound to a value, deletions not counted.
  uint64_t live_keys() const { return objects_.num_keys() - deleted_; }
  uint64_t num_keys() const { return objects_.num_keys(); }
  uint64_t num_objects() const { return objects_.num_objects(); }
  // Memory held, and what freezing it for a sorted walk adds.
  uint64_t memory_bytes() const;
  static uint64_t freeze_bytes_per_key();
  // (distinct values recorded, bytes of memory) of the dedup table, if any.
  std::optional<std::pair<uint64_t, uint64_t>> dedup_table() const;

  // The staged object `obj_id` as its record holds it.
  RecordBytes object(uint32_t obj_id) const {
    return {objects_.object_bytes(obj_id), objects_.object_crc(obj_id)};
  }
  const Writer& objects() const { return objects_; }

  // Values held per staged key: an object ID, kDeletedCode, and kReplacesBit.
  static constexpr uint32_t kMaxObjectId = 0x7FFFFFFE;
  static constexpr uint32_t kDeletedCode = 0x7FFFFFFF;
  static constexpr uint32_t kReplacesBit = 0x80000000;

 private:
  Writer objects_;
  std::optional<ObjectTable> table_;
  uint64_t deleted_ = 0;  // keys held as deleted
};

// A staging buffer walked in key order. The buffer must not change while it is read.
class MemorySource final : public SortedSource {
 public:
  explicit MemorySource(const StagingBuffer& buffer, std::string name = "staged entries");

  [[nodiscard]] Status next() override;
  bool valid() const override { return at_ < count_; }
  const Entry& entry() const override { return entry_; }
  [[nodiscard]] Result<RecordBytes> record() override;
  uint64_t size() const override { return count_; }
  const std::string& name() const override { return name_; }

 private:
  const StagingBuffer& buffer_;
  LargeBuffer order_;          // SortedKey per key, in key order
  std::vector<uint32_t> uses_;  // entries left that name each object
  size_t count_ = 0;
  size_t at_ = ~size_t{0};
  Entry entry_;
  std::string name_;
};

}  // namespace vornel
