#include "write/writer.hpp"

#include <cstring>
#include <optional>

#include "util/crc32.hpp"
#include "write/index_layout.hpp"
#include "format/key_table.hpp"
#include "write/publish.hpp"

namespace vornel {
uint64_t Writer::add_object(Bytes raw) {
  // Room for the new start first: nothing may fail after the record is appended.
  if (record_starts_.size() == record_starts_.capacity()) {
    record_starts_.reserve(record_starts_.capacity() * 2 + 16);
  }
  const uint64_t start = records_.size();
  uint8_t* record = records_.extend(kRecordPrefix + raw.size());
  const bool fits = raw.size() <= kMaxObjectLen;
  RecordPrefix{static_cast<uint32_t>(raw.size()), fits ? crc32(raw.data(), raw.size()) : 0}
      .encode_to(record);
  if (!raw.empty()) std::memcpy(record + kRecordPrefix, raw.data(), raw.size());
  record_starts_.push_back(start);
  return record_starts_.size() - 1;
}

size_t Writer::probe(Bytes key, uint64_t hash) const {
  return open_table::probe<Slot>(slots_.data(), slots_.size(), hash, [&](uint64_t pos, size_t) {
    return same_bytes(keys_[pos].bytes(), key);
  });
}

void Writer::grow() {
  const size_t capacity = slots_.empty() ? 16 : slots_.size() * 2;
  std::vector<uint64_t> fresh(capacity, 0);
  // In staging order rather than slot order: the keys and their bytes are then read
  // front to back instead of at random, which at a million keys is most of the cost.
  for (uint64_t pos = 0; pos < keys_.size(); ++pos) {
    const StagedKey& key = keys_[pos];
    open_table::place<Slot>(fresh.data(), capacity, hash_(key.data, key.size), pos);
  }
  slots_.swap(fresh);
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
  return add_hashed_key(key, hash_(key.data(), key.size()), obj_id);
}

Status Writer::add_hashed_key(Bytes key, uint64_t h, uint64_t obj_id) {
  if (!slots_.empty()) {
    const size_t i = probe(key, h);
    if (slots_[i] != 0) {
      keys_[Slot::position_of(slots_[i])].obj_id = obj_id;  // the latest binding wins
      return {};
    }
  }
  // What may throw comes before any change that could be observed: a failed push_back
  // leaves only unused bytes behind in the arena.
  if ((keys_.size() + 1) * 4 > slots_.size() * 3) grow();
  uint8_t* copy = key_bytes_.allocate(key.size());
  if (!key.empty()) std::memcpy(copy, key.data(), key.size());
  keys_.push_back({copy, key.size(), obj_id});
  slots_[probe(key, h)] = Slot::make(h, keys_.size() - 1);
  return {};
}

Result<BuildReport> Writer::build(std::string_view path, const BuildOptions& options) const {
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
  // Compression transforms the staged records into the data section that is written,
  // its dictionary's record first; the index then names the records where they lie.
  std::optional<CompressedSection> packed;
  if (options.compression.codec != Codec::None) {
    auto section = compress_section(Bytes(records_.data(), records_.size()), record_starts_,
                                    options.compression, options.progress);
    if (!section) return fail(std::move(section.error()));
    packed.emplace(std::move(*section));
  }
  const uint64_t extra_records = packed ? 1 : 0;
  if (num_objects() + extra_records > limits_.max_objects) {
    return fail(StoreError::invalid(std::to_string(num_objects() + extra_records) +
                                    " objects exceeds format maximum of " +
                                    std::to_string(limits_.max_objects)));
  }
  if (options.progress && !options.progress(BuildPhase::Sort, 0, keys_.size())) {
    return fail(StoreError::cancelled());
  }
  const Bytes data = packed ? Bytes(packed->data.data(), packed->data.size())
                            : Bytes(records_.data(), records_.size());
  const std::vector<uint64_t>& starts = packed ? packed->starts : record_starts_;
  LargeBuffer room;  // the sort's memory, for the table's build
  const LargeBuffer index_buffer =
      lay_out_index(keys_, starts, options.key_table ? &room : nullptr);
  const Bytes index(index_buffer.data(), index_buffer.size());

  // The key table, where the format can hold it: its record goes last in the data
  // section, so the index section starts after it.
  const KeyTableGeometry geometry = KeyTableGeometry::of(keys_.size(), index.size());
  const bool with_table = options.key_table && geometry.positions_fit() &&
                          num_objects() + extra_records < limits_.max_objects &&
                          geometry.payload_length <= limits_.max_object_len;
  const uint64_t table_record = with_table ? kRecordPrefix + geometry.payload_length : 0;
  const uint64_t index_offset = kDataOffset + data.size() + table_record;
  // Each section's CRC is taken once: the file's follows from them.
  const uint32_t index_crc = crc32(index.data(), index.size());
  Bytes table_payload;
  uint32_t table_crc = 0;
  uint8_t table_prefix[kRecordPrefix];
  if (with_table) {
    table_payload = build_key_table(index, keys_.size(), index_offset, geometry,
                                    key_table_seed(index_crc, index.size()), room);
    table_crc = crc32(table_payload.data(), table_payload.size());
    RecordPrefix{static_cast<uint32_t>(table_payload.size()), table_crc}.encode_to(table_prefix);
  } else {
    room = LargeBuffer();
  }
  const Bytes table_head(table_prefix, with_table ? kRecordPrefix : 0);

  Header header;
  header.num_keys = static_cast<uint32_t>(keys_.size());
  header.num_objects =
      static_cast<uint32_t>(num_objects() + extra_records + (with_table ? 1 : 0));
  header.index_offset = index_offset;
  header.data_offset = kDataOffset;
  uint32_t crc = crc32(data.data(), data.size());
  crc = crc32_extend(crc, table_head.data(), table_head.size());
  crc = crc32_combine(crc, table_crc, table_payload.size());
  header.file_crc32 = crc32_combine(crc, index_crc, index.size());
  uint8_t header_bytes[kHeaderSize];
  header.encode_to(header_bytes);
  Marks{.table = with_table ? Marks::kTableVersion : uint8_t{0}, .dictionary = packed.has_value()}
      .encode_into(header_bytes);

  PublishOptions publishing;
  publishing.remove_temp_on_failure = options.remove_temp_on_failure;
  publishing.keep_mode = options.keep_mode;
  publishing.progress = options.progress;
  // Empty pieces when there is no table: the plain build writes exactly as before.
  if (Status s = publish(path, {Bytes(header_bytes), data, table_head, table_payload, index},
                         publishing);
      !s) {
    return fail(std::move(s.error()));
  }
  return BuildReport{header.num_objects, keys_.size(), index_offset + index.size(), with_table,
                     packed.has_value()};
}

}  // namespace vornel
