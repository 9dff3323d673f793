// A store file mapped read-only, validated and indexed in memory. Immutable once open.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "format.hpp"
#include "store_error.hpp"

namespace vornel {

class Reader {
 public:
  // Opens, maps and validates `path` (with the whole-file CRC-32 when `verify`) and
  // indexes every key. The descriptor is closed before return on every path.
  [[nodiscard]] static Result<std::unique_ptr<Reader>> open(std::string_view path, bool verify);
  ~Reader();
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  const std::string& path() const;
  const Header& header() const;
  uint64_t file_size() const;

  // Index entries, in the order of the file's index section.
  size_t size() const;
  Bytes key_at(size_t i) const;
  uint64_t offset_at(size_t i) const;

  // Record offset of `key` (the last entry for a repeated key), or nullopt.
  // Starts fetching the record, which the caller usually reads next.
  std::optional<uint64_t> find(Bytes key) const;
  // Whether `key` is indexed; touches less memory than find().
  bool contains(Bytes key) const;

  // Bounds-checks the record at `off` and returns its payload inside the mapping.
  // Copy it out with copy_out.
  [[nodiscard]] Result<Bytes> read_object(uint64_t off) const;
  // Starts fetching the record of entry i, which a listing reads a little later. A
  // prefetch never faults, and offsets outside the file are left alone.
  void prefetch_entry(size_t i) const;
  // [first, last) of the entries whose key starts with `prefix`: lower bound by
  // binary search, then the contiguous run.
  std::pair<size_t, size_t> prefix_range(Bytes prefix) const;
  // Payloads of entries [first, last); the error of the first unreadable one.
  [[nodiscard]] Result<std::vector<Bytes>> read_entries(size_t first, size_t last) const;
  // The same for entries [first, first + n) into out[0, n), without allocating: a listing
  // reads a block of entries at a time. `first + n` is at most size().
  [[nodiscard]] Status locate_entries(size_t first, size_t n, Bytes* out) const;
  // Payload of every distinct offset, in order of first reference.
  [[nodiscard]] Result<std::vector<Bytes>> distinct_objects() const;
  // The offsets that distinct_objects() reads, in the same order.
  std::vector<uint64_t> distinct_offsets() const;
  // The payloads of the records at offsets[0, n) into out[0, n), as locate_entries.
  [[nodiscard]] Status locate_records(const uint64_t* offsets, size_t n, Bytes* out) const;
  // Starts fetching the record at `off`, as prefetch_entry.
  void prefetch_record(uint64_t off) const;
  // Whole-file CRC-32, then each distinct referenced record in index order.
  [[nodiscard]] Status verify() const;

  // -- for the package: fallible accessors that work whichever index answers --------
  struct OpenOptions {
    bool use_key_table = false;
  };
  [[nodiscard]] static Result<std::unique_ptr<Reader>> open(std::string_view path, bool verify,
                                                           const OpenOptions& options);
  enum class KeyTableState : uint8_t { Absent, InUse, Ignored };
  KeyTableState key_table_state() const;
  const std::string& key_table_note() const;
  // num_objects without the key table's record, when one is there.
  uint64_t user_objects() const;
  [[nodiscard]] Result<std::optional<uint64_t>> lookup(Bytes key) const;
  [[nodiscard]] Result<bool> holds(Bytes key) const;
  // The first rank whose key is not less than `key`.
  [[nodiscard]] Result<size_t> lower_bound(Bytes key) const;
  // The keys of ranks [first, first + n) into out[0, n).
  [[nodiscard]] Status locate_keys(size_t first, size_t n, Bytes* out) const;

  // Every method above that reads the mapping survives the file being cut short
  // under it: the read fails with a VornIOError "store file changed while mapped: bus
  // error at offset {}", and the parts of the file still there stay readable.

 private:
  Reader() = default;
  // locate_entries and locate_records: out[i] for the record at offset_of(i).
  template <class OffsetOf>
  [[nodiscard]] Status locate(size_t n, OffsetOf offset_of, Bytes* out) const;
  // The per-record checks one entry at a time, each record at its first entry: slower, but
  // it finds the fault that comes first in index order.
  [[nodiscard]] Status verify_in_index_order() const;
  struct State;
  std::unique_ptr<State> state_;
};

// Copies src.size() bytes to `dst`. `src` may lie in a reader's mapping (a payload
// from read_object): a bus error during the copy fails it with the same VornIOError
// as the reader's methods. Costs no system call.
[[nodiscard]] Status copy_out(uint8_t* dst, Bytes src);
// copy_out of src[i] to dst[i] for each i below n, in one guarded region: the first
// fault fails the whole batch, and the destinations are then partly written.
[[nodiscard]] Status copy_out(uint8_t* const* dst, const Bytes* src, size_t n);

}  // namespace vornel
