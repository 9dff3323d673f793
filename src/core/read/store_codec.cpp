#include "read/store_codec.hpp"

#include <algorithm>
#include <vector>

#include "read/reader_state.hpp"
#include "util/fault_guard.hpp"

namespace vornel {
namespace {

bool marks_dictionary(const Reader& reader) {
  return reader.marks().state == Marks::State::Sound && reader.marks().marks.dictionary;
}

// The payload of the data section's first record, in the mapping, once it is found
// inside the file and beginning as a dictionary record does. Reads only the record's first
// bytes, copied out of the mapping: a store whose first value is large opens as fast as
// any.
Result<Bytes> first_record(const Reader& reader) {
  const Header& h = reader.header();
  const Bytes file = reader.mapped_file();
  constexpr uint64_t kHead = kRecordPrefix + sizeof DictionaryHeader::kMagic;
  if (h.num_objects == 0 || h.index_offset <= kDataOffset ||
      !range_within(kDataOffset, kHead, file.size())) {
    return fail(StoreError::corrupt(Fault::DictionaryMissing));
  }
  uint8_t head[kHead];
  if (Status s = copy_out(head, file.subspan(kDataOffset, kHead)); !s) {
    return fail(std::move(s.error()));
  }
  const uint64_t length = RecordPrefix::decode(head).length;
  if (!DictionaryHeader::looks_like(Bytes(head + kRecordPrefix, sizeof head - kRecordPrefix))) {
    return fail(StoreError::corrupt(Fault::DictionaryMissing));
  }
  if (!range_within(kDataOffset + kRecordPrefix, length, file.size())) {
    return fail(record_error(RecordBound::PayloadOutside, kDataOffset));
  }
  return file.subspan(kDataOffset + kRecordPrefix, length);
}

// That no index entry names the dictionary's record; `offsets` are the entries' distinct
// record offsets.
Status unnamed(const std::vector<uint64_t>& offsets) {
  if (std::find(offsets.begin(), offsets.end(), kDataOffset) != offsets.end()) {
    return fail(StoreError::corrupt(Fault::DictionaryNamed));
  }
  return {};
}

}  // namespace

Result<std::unique_ptr<ValueCodec>> open_value_codec(const Reader& reader, bool checked) {
  if (!marks_dictionary(reader)) return nullptr;
  auto payload = first_record(reader);
  if (!payload) return fail(std::move(payload.error()));
  if (checked) {
    auto offsets = reader.distinct_offsets();
    if (!offsets) return fail(std::move(offsets.error()));
    if (Status s = unnamed(*offsets); !s) return fail(std::move(s.error()));
  }
  // Copied out before it is read, so that a file cut under the mapping fails here.
  std::vector<uint8_t> copy(payload->size());
  if (Status s = copy_out(copy.data(), *payload); !s) return fail(std::move(s.error()));
  return ValueCodec::from_record(Bytes(copy.data(), copy.size()));
}

Status verify_value_codec(const Reader& reader, const ValueCodec& codec) {
  auto offsets = reader.distinct_offsets();
  if (!offsets) return fail(std::move(offsets.error()));
  if (Status s = unnamed(*offsets); !s) return s;
  // Every compressed value's frame, a batch of records at a time: its size is read from
  // the frame's header, and the frame walked to its end, in the mapping under a guard.
  constexpr size_t kBatch = 64;
  Bytes payloads[kBatch];
  for (size_t i = 0; i < offsets->size(); i += kBatch) {
    const size_t n = std::min(kBatch, offsets->size() - i);
    if (Status s = reader.locate_records(offsets->data() + i, n, payloads); !s) return s;
    Status frame;
    if (const void* fault = guarded([&] {
          for (size_t at = 0; at < n && frame; ++at) {
            if (!ValueCodec::compressed(payloads[at])) continue;
            if (auto size = codec.decoded_size(payloads[at]); !size) frame = fail(std::move(size.error()));
          }
        })) {
      return fail(mapping_fault(fault, offsets->at(i)));
    }
    if (!frame) return frame;
  }
  return {};
}

}  // namespace vornel
