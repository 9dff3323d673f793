#include "write/staging.hpp"

#include "write/index_layout.hpp"

namespace vornel {
namespace {

// How far ahead a walk over staged records, which lie in staging order, fetches them.
constexpr size_t kPrefetchDistance = 16;

}  // namespace

StagingBuffer::StagingBuffer(bool dedup) {
  if (dedup) table_.emplace();
}

StagingBuffer::Held StagingBuffer::held(Bytes key, uint64_t hash) const {
  const std::optional<uint64_t> code = objects_.binding(key, hash);
  if (!code) return Held::No;
  return (*code & ~uint64_t{kReplacesBit}) == kDeletedCode ? Held::Deleted : Held::Value;
}

uint32_t StagingBuffer::intern(Bytes value, uint64_t hash) {
  const uint64_t id = table_ ? table_->intern_hashed(objects_, value, hash) : objects_.add_object(value);
  return static_cast<uint32_t>(id);
}

void StagingBuffer::bind(Bytes key, uint64_t hash, uint32_t obj_id, bool replaces) {
  if (held(key, hash) == Held::Deleted) --deleted_;
  objects_.bind_marked(key, hash, obj_id | (replaces ? kReplacesBit : 0));
}

void StagingBuffer::unbind(Bytes key, uint64_t hash) {
  if (held(key, hash) != Held::Deleted) ++deleted_;
  objects_.bind_marked(key, hash, kDeletedCode);
}

uint64_t StagingBuffer::memory_bytes() const {
  return objects_.memory_bytes() + (table_ ? table_->memory_bytes() : 0);
}

uint64_t StagingBuffer::freeze_bytes_per_key() {
  return sizeof(SortedKey) + sizeof(uint32_t);  // the order, and a use count per object
}

std::optional<std::pair<uint64_t, uint64_t>> StagingBuffer::dedup_table() const {
  if (!table_) return std::nullopt;
  return std::pair{table_->size(), table_->memory_bytes()};
}

MemorySource::MemorySource(const StagingBuffer& buffer, std::string name)
    : buffer_(buffer),
      order_(sort_staged_keys(buffer.objects().staged_keys())),
      uses_(buffer.num_objects(), 0),
      count_(buffer.num_keys()),
      name_(std::move(name)) {
  const auto* keys = order_.as<SortedKey>();
  for (size_t i = 0; i < count_; ++i) {
    const uint32_t code = keys[i].value & ~StagingBuffer::kReplacesBit;
    if (code != StagingBuffer::kDeletedCode) ++uses_[code];
  }
}

Status MemorySource::next() {
  ++at_;  // from ~0 to 0 on the first call
  if (at_ >= count_) return {};
  const auto* keys = order_.as<SortedKey>();
  if (at_ + kPrefetchDistance < count_) {
    const uint32_t ahead = keys[at_ + kPrefetchDistance].value & ~StagingBuffer::kReplacesBit;
    if (ahead != StagingBuffer::kDeletedCode) {
      __builtin_prefetch(buffer_.objects().object_bytes(ahead).data() - kRecordPrefix);
    }
  }
  const SortedKey& k = keys[at_];
  const uint32_t code = k.value & ~StagingBuffer::kReplacesBit;
  entry_.key = k.key_bytes();
  entry_.replaces = (k.value & StagingBuffer::kReplacesBit) != 0;
  if (code == StagingBuffer::kDeletedCode) {
    entry_.kind = EntryKind::Deleted;
    entry_.record = 0;
    entry_.uses_left = 0;
  } else {
    entry_.kind = EntryKind::Value;
    entry_.record = code;
    entry_.uses_left = --uses_[code];
  }
  return {};
}

Result<RecordBytes> MemorySource::record() {
  return buffer_.object(static_cast<uint32_t>(entry_.record));
}

}  // namespace vornel
