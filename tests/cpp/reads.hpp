// Reads through a Reader's vocabulary that the tests take in one call: a record by its
// offset, the payloads of a run of ranks, every distinct record.
#pragma once

#include <cstdint>
#include <vector>

#include "read/reader.hpp"

namespace vornel::testing {

inline Result<Bytes> read_object(const Reader& r, uint64_t off) {
  Bytes out;
  if (Status s = r.locate_records(&off, 1, &out); !s) return fail(std::move(s.error()));
  return out;
}

// The payloads of ranks [first, last), clamped to the reader's size.
inline Result<std::vector<Bytes>> read_entries(const Reader& r, size_t first, size_t last) {
  if (last > r.size()) last = r.size();
  if (first > last) first = last;
  std::vector<Bytes> keys(last - first), payloads(last - first);
  if (Status s = r.locate_items(first, last - first, keys.data(), payloads.data()); !s) {
    return fail(std::move(s.error()));
  }
  return payloads;
}

inline Result<std::vector<Bytes>> distinct_objects(const Reader& r) {
  auto offsets = r.distinct_offsets();
  if (!offsets) return fail(std::move(offsets.error()));
  std::vector<Bytes> payloads(offsets->size());
  if (Status s = r.locate_records(offsets->data(), offsets->size(), payloads.data()); !s) {
    return fail(std::move(s.error()));
  }
  return payloads;
}

}  // namespace vornel::testing
