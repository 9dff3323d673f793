// The one index a Reader answers through, and the one vocabulary it asks of it: find,
// contains, the entries of a run of ranks, the lower bound of a key. Either the keys
// copied into memory at open (MemoryIndex) or the store's persisted key table read in
// place (KeyTable) stands behind it; the reader's queries are written once, over
// whichever it holds. Ordered answers come back as an IndexStep: an index that does not
// hold together says where, and nothing is answered from it there.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <variant>

#include "format/format.hpp"
#include "format/index_step.hpp"
#include "read/key_index.hpp"
#include "format/key_table.hpp"

namespace vornel {

// Every index entry copied into memory, as the file's index section lists them. Its
// answers read the mapping only to prefetch: they never fail.
class MemoryIndex {
 public:
  // `file`: the mapping, where a lookup starts fetching the record it finds.
  MemoryIndex(KeyIndex index, Bytes file) : index_(std::move(index)), file_(file) {}

  size_t size() const { return index_.size(); }
  // Whether the keys ascend (repeats allowed), as a writer leaves them.
  bool in_key_order() const { return index_.sorted(); }
  // Whether, in key order, no key repeats: a writer leaves each key once.
  bool keys_distinct() const { return index_.distinct(); }
  // The last entry of `key`, as the plain open indexes a repeated key.
  std::optional<uint64_t> find(Bytes key) const { return index_.find(key, file_); }
  bool contains(Bytes key) const { return index_.contains(key); }
  IndexStep entries(size_t first, size_t n, IndexEntry* out) const {
    for (size_t i = 0; i < n; ++i) out[i] = {index_.key_at(first + i), index_.offset_at(first + i)};
    return {};
  }
  // Over keys out of order, the plain binary search, whose steps then decide the answer.
  IndexStep lower_bound(Bytes key, size_t* rank) const {
    *rank = index_.sorted() ? index_.lower_bound(key) : bisect(key);
    return {};
  }
  uint64_t offset_at(size_t i) const { return index_.offset_at(i); }
  // The length of the index section that the entries fill.
  uint64_t section_size() const { return index_.section_size(); }

 private:
  size_t bisect(Bytes key) const {
    const size_t n = index_.size();
    if (n == 0) return 0;
    size_t base = 0;
    size_t size = n;
    while (size > 1) {
      const size_t half = size / 2;
      const size_t mid = base + half;
      if (key_less(index_.key_at(mid), key)) base = mid;
      size -= half;
    }
    return base + (key_less(index_.key_at(base), key) ? 1 : 0);
  }

  KeyIndex index_;
  Bytes file_;
};

using StoreIndex = std::variant<KeyTable, MemoryIndex>;

}  // namespace vornel
