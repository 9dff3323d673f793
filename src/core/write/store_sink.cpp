#include "write/store_sink.hpp"

#include <fcntl.h>

#include <algorithm>
#include <cstring>
#include <thread>
#include <utility>

#include "util/crc32.hpp"
#include "format/format.hpp"
#include "format/key_table.hpp"
#include "write/table_writer.hpp"
#include "util/fault_guard.hpp"
#include "util/mapping.hpp"

namespace vornel {
namespace {

constexpr size_t kDataBuffer = size_t{1} << 20;
constexpr size_t kCopyStep = size_t{1} << 20;
// Records copied in one go at most: small enough that the source still maps them (it lets
// go of its pages only well behind its cursor).
constexpr uint64_t kGatherMax = uint64_t{4} << 20;
// The key table's build takes at least this much beside its slots, however small the budget.
constexpr uint64_t kTableBudgetMin = uint64_t{16} << 20;

StoreError too_many(uint64_t count, const char* what, uint64_t limit) {
  return StoreError::invalid(std::to_string(count) + " " + what + " exceeds format maximum of " +
                             std::to_string(limit));
}

}  // namespace

Result<std::unique_ptr<StoreSink>> StoreSink::open(std::string_view path,
                                                   const StoreSinkOptions& options) {
  auto publishing = std::make_unique<PublishOptions>();
  publishing->remove_temp_on_failure = options.remove_temp_on_failure;
  publishing->keep_mode = options.keep_mode;
  publishing->progress = options.progress;
  publishing->readable = true;  // holds() reads records back
  Result<TempFile> tmp = TempFile::open(path, *publishing);
  if (!tmp) return fail(std::move(tmp.error()));
  return std::unique_ptr<StoreSink>(new StoreSink(std::move(publishing), std::move(*tmp), options));
}

StoreSink::StoreSink(std::unique_ptr<PublishOptions> publishing, TempFile tmp,
                     const StoreSinkOptions& options)
    : publishing_(std::move(publishing)),
      tmp_(std::move(tmp)),
      options_(options),
      writeback_(tmp_.fd()),
      data_(tmp_.fd(), kDataOffset + dictionary_record(), kDataBuffer, options.pwrite) {}

uint64_t StoreSink::dictionary_record() const {
  if (options_.compressor == nullptr) return 0;
  return kRecordPrefix + DictionaryHeader::kSize + options_.compressor->dictionary().size();
}

StoreSink::Stored StoreSink::prepare(Bytes value, uint32_t crc) {
  Bytes compressed;
  if (options_.compressor != nullptr && options_.compressor->compress(value, &compressed)) {
    return {compressed, crc32(compressed.data(), compressed.size()), value.size()};
  }
  return {value, crc, value.size()};
}

StoreSink::~StoreSink() = default;

Result<uint64_t> StoreSink::copy_record(const RecordSpan& span) {
  const uint64_t payload_size = span.size - kRecordPrefix;
  if (payload_size > kMaxObjectLen) {
    return fail(StoreError::invalid("object is " + std::to_string(payload_size) +
                                    " bytes, format maximum is " + std::to_string(kMaxObjectLen)));
  }
  const RecordSpan& g = gathered_;
  if (g.size != 0 && (span.fd != g.fd || span.offset != g.offset + g.size ||
                      span.mapped != g.mapped + g.size || g.size + span.size > kGatherMax)) {
    if (Status s = copy_gathered(); !s) return fail(std::move(s.error()));
  }
  if (gathered_.size == 0) gathered_ = {span.fd, span.offset, span.mapped, 0, 0};
  const uint64_t offset = data_.position() + gathered_.size;
  gathered_.size += span.size;
  ++records_;
  dictionary_.raw_bytes += payload_size;
  dictionary_.stored_bytes += payload_size;
  dictionary_.longest_value = std::max(dictionary_.longest_value, payload_size);
  return offset;
}

Status StoreSink::copy_gathered() {
  if (gathered_.size == 0) return {};
  writeback_.written(data_.handed());
  const RecordSpan g = std::exchange(gathered_, RecordSpan{});
  // One guarded copy for the records of a run: they were checked through the mapping a
  // moment ago and are still in cache. (A copy in the kernel, copy_file_range, measured
  // slower here: its cost per call outweighs the copy that it saves.)
  uint64_t done = 0;
  return data_.append_with(g.size, [&](uint8_t* dst, size_t k) -> Status {
    const void* fault = guarded([&] { std::memcpy(dst, g.mapped + done, k); });
    if (fault != nullptr) {
      // The source was cut short since its records were checked.
      return fail(StoreError::changed(Fault::MappingFault,
                                      FileMapping::offset_of(fault).value_or(g.offset)));
    }
    done += k;
    return {};
  });
}

Result<uint64_t> StoreSink::write_record(const Stored& stored) {
  if (Status s = copy_gathered(); !s) return fail(std::move(s.error()));
  writeback_.written(data_.handed());
  const Bytes payload = stored.payload;
  const uint32_t crc = stored.crc;
  if (payload.size() > kMaxObjectLen) {
    return fail(StoreError::invalid("object is " + std::to_string(payload.size()) +
                                    " bytes, format maximum is " + std::to_string(kMaxObjectLen)));
  }
  const uint64_t offset = data_.position();
  uint8_t prefix[kRecordPrefix];
  RecordPrefix{static_cast<uint32_t>(payload.size()), crc}.encode_to(prefix);
  if (Status s = data_.append(prefix, sizeof prefix); !s) return fail(std::move(s.error()));
  if (Status s = data_.append(payload); !s) return fail(std::move(s.error()));
  ++records_;
  dictionary_.raw_bytes += stored.value_size;
  dictionary_.stored_bytes += payload.size();
  dictionary_.longest_value = std::max(dictionary_.longest_value, stored.value_size);
  return offset;
}

Status StoreSink::add_entry(Bytes key, uint64_t offset) {
  uint8_t entry[kMaxIndexEntry];
  const size_t n = static_cast<size_t>(IndexEntry{key, offset}.encode_to(entry) - entry);
  index_size_ += n;
  ++keys_;
  if (index_file_) return index_out_.append(entry, n);
  std::memcpy(index_.extend(n), entry, n);
  if (index_.size() > options_.memory_budget / 2) return spill_index();
  return {};
}

Status StoreSink::spill_index() {
  Result<FileDescriptor> fd = create_unnamed_file(options_.spill_dir, ".vrnlrun", "a spill file");
  if (!fd) return fail(std::move(fd.error()));
  index_file_ = std::move(*fd);
  index_out_ = FileWriter(index_file_->get(), 0, kDataBuffer, options_.pwrite);
  if (Status s = index_out_.append(index_.data(), index_.size()); !s) return s;
  index_ = RecordBuffer();
  return {};
}

Result<bool> StoreSink::holds(uint64_t offset, const Stored& stored) {
  if (Status s = copy_gathered(); !s) return fail(std::move(s.error()));
  const Bytes payload = stored.payload;
  uint8_t prefix[kRecordPrefix];
  if (Status s = data_.read_back(offset, prefix, sizeof prefix); !s) return fail(std::move(s.error()));
  if (RecordPrefix::decode(prefix).length != payload.size()) return false;
  check_.resize(payload.size());
  if (Status s = data_.read_back(offset + kRecordPrefix, check_.data(), check_.size()); !s) {
    return fail(std::move(s.error()));
  }
  return same_bytes(Bytes(check_), payload);
}

Status StoreSink::write_index_at(uint64_t at, uint64_t& done, uint64_t total) {
  std::vector<uint8_t> step(index_file_ ? kCopyStep : 0);
  for (uint64_t pos = 0; pos < index_size_;) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(kCopyStep, index_size_ - pos));
    const uint8_t* bytes = index_.data() + pos;
    if (index_file_) {
      size_t got = 0;
      if (Status s = pread_all(index_file_->get(), step.data(), n, pos, &got); !s) return s;
      if (got < n) return fail(StoreError::io("the index section's spill file was cut short"));
      bytes = step.data();
    }
    if (Status s = pwrite_all(options_.pwrite, tmp_.fd(), bytes, n, at + pos); !s) return s;
    pos += n;
    done += n;
    if (!report(BuildPhase::Write, done, total)) return fail(StoreError::cancelled());
  }
  return {};
}

Result<BuildReport> StoreSink::finish() {
  const uint64_t dictionary = options_.compressor != nullptr ? 1 : 0;
  if (records_ + dictionary > kMaxObjects) {
    return fail(too_many(records_ + dictionary, "objects", kMaxObjects));
  }
  if (keys_ > kMaxKeys) return fail(too_many(keys_, "keys", kMaxKeys));
  if (Status s = copy_gathered(); !s) return fail(std::move(s.error()));
  if (Status s = data_.flush(); !s) return fail(std::move(s.error()));
  // The index section's checksum, in one pass: from the spill file's writer, or over memory.
  uint32_t index_crc = 0;
  if (index_file_) {
    if (Status s = index_out_.flush(); !s) return fail(std::move(s.error()));
    index_crc = index_out_.crc();
  } else {
    index_crc = crc32(index_.data(), index_.size());
  }
  const uint64_t data_end = data_.position();
  uint32_t data_crc = data_.crc();
  if (dictionary != 0) {
    // The dictionary's record, first in the data section, with the values' totals.
    const std::vector<uint8_t>& dict = options_.compressor->dictionary();
    std::vector<uint8_t> record(dictionary_record());
    uint8_t* payload = record.data() + kRecordPrefix;
    const uint64_t payload_size = record.size() - kRecordPrefix;
    dictionary_.codec = static_cast<uint8_t>(Codec::Zstd);
    dictionary_.dict_length = static_cast<uint32_t>(dict.size());
    dictionary_.encode_to(payload);
    if (!dict.empty()) std::memcpy(payload + DictionaryHeader::kSize, dict.data(), dict.size());
    store_be32(payload + 44, DictionaryHeader::checksum(Bytes(payload, payload_size)));
    RecordPrefix{static_cast<uint32_t>(payload_size), crc32(payload, payload_size)}.encode_to(
        record.data());
    if (Status s = pwrite_all(options_.pwrite, tmp_.fd(), record.data(), record.size(), kDataOffset);
        !s) {
      return fail(std::move(s.error()));
    }
    data_crc = crc32_combine(crc32(record.data(), record.size()), data_crc,
                             data_end - kDataOffset - record.size());
  }

  // The key table, where the format can hold it: its record goes last in the data
  // section, so the index section starts after it.
  const KeyTableGeometry g = KeyTableGeometry::of(keys_, index_size_);
  const bool with_table = options_.key_table && g.positions_fit() &&
                          records_ + dictionary < kMaxObjects && g.payload_length <= kMaxObjectLen;
  const uint64_t table_record = with_table ? kRecordPrefix + g.payload_length : 0;
  const uint64_t index_offset = data_end + table_record;
  const uint64_t total = table_record + index_size_;
  uint64_t done = 0;
  if (!report(BuildPhase::Write, done, total)) return fail(StoreError::cancelled());
  uint32_t crc = data_crc;
  // An index section in memory goes to the file beside the key table's build, which only
  // reads it; one in a spill file goes after, a step at a time.
  Status index_written;
  std::jthread index_writer;
  if (!index_file_ && with_table) {
    index_writer = std::jthread([&] {
      index_written = pwrite_all(options_.pwrite, tmp_.fd(), index_.data(), index_.size(), index_offset);
      // Its writeback starts at once, as the records' did (util/writeback.hpp).
      if (index_written) {
        ::sync_file_range(tmp_.fd(), static_cast<off_t>(index_offset),
                          static_cast<off_t>(index_.size()), SYNC_FILE_RANGE_WRITE);
      }
    });
  }
  if (with_table) {
    const uint64_t held = index_file_ ? 0 : index_.size();
    const uint64_t slots = g.slot_count * sizeof(uint64_t);
    const uint64_t spent = held + slots;
    const uint64_t budget = std::max(kTableBudgetMin, options_.table_budget > spent
                                                          ? options_.table_budget - spent
                                                          : 0);
    const IndexInput input = index_file_ ? IndexInput(index_file_->get(), index_size_)
                                         : IndexInput(Bytes(index_.data(), index_.size()));
    Result<TableWritten> table =
        write_key_table(input, keys_, index_offset, key_table_seed(index_crc, index_size_),
                        tmp_.fd(), data_end + kRecordPrefix, budget, options_.pwrite);
    if (!table) return fail(std::move(table.error()));
    uint8_t prefix[kRecordPrefix];
    RecordPrefix{static_cast<uint32_t>(table->payload_length), table->payload_crc}.encode_to(prefix);
    if (Status s = pwrite_all(options_.pwrite, tmp_.fd(), prefix, sizeof prefix, data_end); !s) {
      return fail(std::move(s.error()));
    }
    crc = crc32_extend(crc, prefix, sizeof prefix);
    crc = crc32_combine(crc, table->payload_crc, table->payload_length);
    writeback_.written(index_offset);
    done += table_record;
    if (!report(BuildPhase::Write, done, total)) return fail(StoreError::cancelled());
  }
  if (index_writer.joinable()) {
    index_writer.join();
    if (!index_written) return fail(std::move(index_written.error()));
    done += index_size_;
    if (!report(BuildPhase::Write, done, total)) return fail(StoreError::cancelled());
  } else if (Status s = write_index_at(index_offset, done, total); !s) {
    return fail(std::move(s.error()));
  }
  index_ = RecordBuffer();
  index_file_.reset();

  Header header;
  header.num_keys = static_cast<uint32_t>(keys_);
  header.num_objects = static_cast<uint32_t>(records_ + dictionary + (with_table ? 1 : 0));
  header.index_offset = index_offset;
  header.file_crc32 = crc32_combine(crc, index_crc, index_size_);
  uint8_t header_bytes[kHeaderSize];
  header.encode_to(header_bytes);
  Marks{.table = with_table ? Marks::kTableVersion : uint8_t{0}, .dictionary = dictionary != 0}
      .encode_into(header_bytes);
  if (Status s = pwrite_all(options_.pwrite, tmp_.fd(), header_bytes, sizeof header_bytes, 0); !s) {
    return fail(std::move(s.error()));
  }
  const uint64_t file_size = index_offset + index_size_;
  writeback_.stop();
  if (Status s = tmp_.commit(file_size); !s) return fail(std::move(s.error()));
  return BuildReport{header.num_objects, keys_, file_size, with_table, dictionary != 0};
}

}  // namespace vornel
