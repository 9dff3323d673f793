// A store file mapped read-only and validated, its keys indexed in memory or, when asked
// and sound, found through the store's persisted key table. Immutable once open.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "format/format.hpp"
#include "format/key_table.hpp"
#include "read/store_index.hpp"
#include "util/store_error.hpp"

namespace vornel {

struct OpenOptions {
  // Answer queries through the store's persisted key table, when its header's marks say
  // it has one and it was made for it, instead of copying every key into memory: open
  // then reads the header, the table's trailer and the end of the file, whatever the
  // store's size. Marks this reader lacks fail the open (ErrorKind::Version); damaged
  // ones are not taken, and the store is read as a plain one. A checked open
  // walks the index section first, and indexes in memory where the table is damaged or
  // where a key names its record (a value, not a table).
  bool use_key_table = false;
  // Fail on a directory with the system's EISDIR (StoreError::os), rather than with the
  // failure of its mapping.
  bool refuse_directory = false;
  // Report damage found in a file shorter than its header promises as Fault::Truncated:
  // the cut says more than the checksum or index error that it causes.
  bool name_truncation = false;
  // The checks a reader that promises never to hand back damage makes: an index_offset
  // outside [40, file size] fails every open; each value read checks its record's
  // CRC-32; ordered queries refuse keys out of order; a checked open and verify() also
  // confirm key order, and that the header's object count is the data section's.
  bool strict = false;
};

struct ReaderState;  // reader_state.hpp

class Reader {
 public:
  // Opens, maps and validates `path` (with the whole-file CRC-32 when `verify`), then
  // finds its key table or indexes every key in memory. The descriptor is closed before
  // return on every path.
  [[nodiscard]] static Result<std::unique_ptr<Reader>> open(std::string_view path, bool verify,
                                                            const OpenOptions& options = {});
  ~Reader();
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  const std::string& path() const;
  // The whole mapped file, for a unit that finds records of its own in it: read it only
  // in a guarded region (copy_out), as the file may be cut short under the mapping.
  Bytes mapped_file() const;
  const Header& header() const;
  uint64_t file_size() const;

  // Whether queries go through the persisted key table; Absent unless the options
  // asked for it. The note says why a table was ignored, and is empty otherwise.
  KeyTableState key_table_state() const;
  TableNote key_table_note() const;
  // The marks of the header, as an open that looks for the package's records read them
  // (State::None for one that does not).
  const Marks::Read& marks() const;
  // num_objects without the records that the header's sound marks name (the key table's
  // and the dictionary's, used or not).
  uint64_t user_objects() const;

  // Index entries. A rank is an entry's place in key order, which is the order of the
  // file's index section for a store the writer made.
  size_t size() const;

  // ---- Queries. They read the mapping in a guarded region and may fail as said at the
  // end; an index that does not hold together where a query meets it fails that query
  // as damage at that rank (Fault::TableUnnamedRank, TableUnchained, TableMisled,
  // KeysUnordered).

  // The payload of `key`'s record (the last entry for a repeated key), or nullopt: a
  // lookup and a bounds-checked read in one guarded region, the payload copied to `dst`
  // when it fits in `capacity` bytes. A larger payload is only located: copy it with
  // copy_out. A strict reader checks the record's CRC-32 too.
  struct Value {
    Bytes payload;  // in the mapping
    bool copied;    // to dst
  };
  [[nodiscard]] Result<std::optional<Value>> get_into(Bytes key, uint8_t* dst,
                                                     size_t capacity) const;
  // get_into() with no room to copy to.
  [[nodiscard]] Result<std::optional<Bytes>> get(Bytes key) const;
  // Whether `key` is indexed; reads no record.
  [[nodiscard]] Result<bool> holds(Bytes key) const;
  // The first rank whose key is not less than `key` (size() when there is none).
  [[nodiscard]] Result<size_t> lower_bound(Bytes key) const;
  // [first, last) of the ranks whose key starts with `prefix`: from its lower bound to
  // that of the smallest key above every key with the prefix (to size() when there is
  // none). An index out of key order gets the run of matches from the lower bound on.
  [[nodiscard]] Result<std::pair<size_t, size_t>> prefix_range(Bytes prefix) const;
  // The keys of ranks [first, first + n) into out[0, n), without allocating; they may
  // lie in the mapping: copy them out with copy_out. A range past size() is a VornError.
  [[nodiscard]] Status locate_keys(size_t first, size_t n, Bytes* out) const;
  // The keys of ranks [first, first + n) into keys[0, n) and their records' payloads into
  // payloads[0, n), each entry read once, each record bounds-checked (and, by a strict
  // reader, checked against its CRC-32); the error of the first that fails.
  [[nodiscard]] Status locate_items(size_t first, size_t n, Bytes* keys, Bytes* payloads) const;
  // The payloads of the records at offsets[0, n) into out[0, n), as locate_items.
  [[nodiscard]] Status locate_records(const uint64_t* offsets, size_t n, Bytes* out) const;
  // The distinct record offsets of the entries, in order of first reference.
  [[nodiscard]] Result<std::vector<uint64_t>> distinct_offsets() const;
  // Whole-file CRC-32; then that the entries end the file and the records tile the data
  // section; then each distinct referenced record in index order; then a key table that
  // no key names: its own record's CRC-32, and that it agrees with the index section.
  [[nodiscard]] Status verify() const;

  // Every method above that reads the mapping survives the file being cut short under
  // it: a read of what the cut took fails as Fault::MappingFault (ErrorKind::IO), and the
  // parts of the file still there stay readable. A strict reader sees a cut that leaves
  // no bus error too (one inside the last page, whose lost bytes read as zeros): each of
  // its reads ends with a look at the file's last byte that is not zero, as open saw it,
  // and fails as Fault::FileCut once the file no longer reaches it.

 private:
  Reader() = default;
  // The records asked for ahead of their reading, at most; offset_of's batches.
  static constexpr size_t kAhead = 32;
  // The payloads of n records, a batch at a time: offset_of(i, m, offsets) gives the
  // record offsets of items [i, i + m), m <= kAhead (an IndexStep; damage ends the batch).
  template <class OffsetOf>
  [[nodiscard]] Status locate(size_t first, size_t n, OffsetOf offset_of, Bytes* out) const;
  // Starts fetching the record at `off`. A prefetch never faults, and offsets outside
  // the file are left alone.
  void prefetch_record(uint64_t off) const;
  std::unique_ptr<ReaderState> state_;
};

// Copies src.size() bytes to `dst`. `src` may lie in a reader's mapping (a payload
// from a query): a bus error during the copy fails it with the same Fault::MappingFault
// as the reader's methods. Costs no system call.
[[nodiscard]] Status copy_out(uint8_t* dst, Bytes src);
// copy_out of src[i] to dst[i] for each i below n, in one guarded region: the first
// fault fails the whole batch, and the destinations are then partly written.
[[nodiscard]] Status copy_out(uint8_t* const* dst, const Bytes* src, size_t n);

}  // namespace vornel
