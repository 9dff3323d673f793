#include "writer.hpp"

#include <cstring>

#include "crc32.hpp"

namespace vornel {

uint64_t Writer::add_object(Bytes raw) {
  // Room for the new start first: nothing may fail after the record is appended.
  if (record_starts_.size() == record_starts_.capacity()) {
    record_starts_.reserve(record_starts_.capacity() * 2 + 16);
  }
  const uint64_t start = records_.size();
  uint8_t* record = records_.extend(kRecordPrefix + raw.size());
  const bool fits = raw.size() <= kMaxObjectLen;
  store_be32(record, static_cast<uint32_t>(raw.size()));
  store_be32(record + 4, fits ? crc32(raw.data(), raw.size()) : 0);
  if (!raw.empty()) std::memcpy(record + kRecordPrefix, raw.data(), raw.size());
  record_starts_.push_back(start);
  return record_starts_.size() - 1;
}

size_t Writer::probe(Bytes key, uint64_t hash) const {
  const size_t mask = slots_.size() - 1;
  for (size_t i = home(hash);; i = (i + 1) & mask) {
    const uint64_t slot = slots_[i];
    if (slot == 0) return i;
    if ((slot & ~kPosMask) == tag(hash)) {
      const Bytes other = keys_[(slot & kPosMask) - 1].bytes();
      if (other.size() == key.size() &&
          (key.empty() || std::memcmp(other.data(), key.data(), key.size()) == 0)) {
        return i;
      }
    }
  }
}

void Writer::grow() {
  const size_t capacity = slots_.empty() ? 16 : slots_.size() * 2;
  std::vector<uint64_t> old(capacity, 0);
  old.swap(slots_);
  shift_ = 64 - static_cast<unsigned>(__builtin_ctzll(capacity));
  const size_t mask = capacity - 1;
  for (uint64_t slot : old) {
    if (slot == 0) continue;
    const StagedKey& key = keys_[(slot & kPosMask) - 1];
    const uint64_t h = hash_(key.data, key.size);
    size_t i = home(h);
    while (slots_[i] != 0) i = (i + 1) & mask;
    slots_[i] = tag(h) | (slot & kPosMask);
  }
}

Status Writer::add_key(Bytes key, uint64_t obj_id) {
  if (obj_id >= num_objects()) {
    return fail(StoreError::invalid("obj_id " + std::to_string(obj_id) + " out of range (have " +
                                    std::to_string(num_objects()) + " objects)"));
  }
  if (key.size() > limits_.max_key_len) {
    return fail(StoreError::invalid("key is " + std::to_string(key.size()) +
                                    " bytes, format maximum is " +
                                    std::to_string(limits_.max_key_len)));
  }
  const uint64_t h = hash_(key.data(), key.size());
  if (!slots_.empty()) {
    const size_t i = probe(key, h);
    if (slots_[i] != 0) {
      keys_[(slots_[i] & kPosMask) - 1].obj_id = obj_id;  // the latest binding wins
      return {};
    }
  }
  // What may throw comes before any change that could be observed: a failed push_back
  // leaves only unused bytes behind in the arena.
  if ((keys_.size() + 1) * 4 > slots_.size() * 3) grow();
  uint8_t* copy = key_bytes_.allocate(key.size());
  if (!key.empty()) std::memcpy(copy, key.data(), key.size());
  keys_.push_back({copy, key.size(), obj_id});
  slots_[probe(key, h)] = tag(h) | keys_.size();
  return {};
}

}  // namespace vornel
