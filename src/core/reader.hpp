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

#include "format.hpp"
#include "key_table.hpp"
#include "store_error.hpp"

namespace vornel {

struct OpenOptions {
  // Answer queries through the store's persisted key table, when it has a sound one
  // made for it, instead of copying every key into memory: open then reads a few pages
  // whatever the store's size. Otherwise, and when the table is unsound, the index is
  // built in memory as by the plain open.
  bool use_key_table = false;
  // Fail on a directory with the system's EISDIR (StoreError::os), rather than with the
  // failure of its mapping.
  bool refuse_directory = false;
  // Report damage found in a file shorter than its header promises as VornCorruptError
  // "truncated: {size} bytes, the header expects at least {n}": the cut says more than
  // the checksum or index error that it causes.
  bool name_truncation = false;
};

class Reader {
 public:
  // open(path, verify, {}): every key indexed in memory, whatever the store holds.
  [[nodiscard]] static Result<std::unique_ptr<Reader>> open(std::string_view path, bool verify);
  // Opens, maps and validates `path` (with the whole-file CRC-32 when `verify`), then
  // finds its key table or indexes every key in memory. The descriptor is closed before
  // return on every path.
  [[nodiscard]] static Result<std::unique_ptr<Reader>> open(std::string_view path, bool verify,
                                                            const OpenOptions& options);
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
  const std::string& key_table_note() const;
  // num_objects without the key table's record, when the store has one (used or not).
  uint64_t user_objects() const;

  // Index entries. A rank is an entry's place in key order, which is the order of the
  // file's index section for a store the writer made.
  size_t size() const;

  // ---- Queries that work whichever index answers. The key table lives in the
  // mapping, so these read it in a guarded region and may fail as said at the end;
  // through the table, a position that leads outside the index section fails with a
  // VornCorruptError "key table names no entry for rank {}".

  // Record offset of `key` (the last entry for a repeated key), or nullopt. Starts
  // fetching the record, which the caller usually reads next.
  [[nodiscard]] Result<std::optional<uint64_t>> lookup(Bytes key) const;
  // The payload of `key`'s record (bounds-checked as read_object does), or nullopt: a
  // lookup and a read in one guarded region. Copy it out with copy_out.
  [[nodiscard]] Result<std::optional<Bytes>> get(Bytes key) const;
  // get(), and the payload copied to `dst` when it fits in `capacity` bytes: most values
  // found and copied out in one guarded region. A larger payload is only located; copy
  // it with copy_out.
  struct Value {
    Bytes payload;  // in the mapping
    bool copied;    // to dst
  };
  [[nodiscard]] Result<std::optional<Value>> get_into(Bytes key, uint8_t* dst,
                                                     size_t capacity) const;
  // Whether `key` is indexed; reads no record.
  [[nodiscard]] Result<bool> holds(Bytes key) const;
  // The first rank whose key is not less than `key` (size() when there is none).
  [[nodiscard]] Result<size_t> lower_bound(Bytes key) const;
  // [first, last) of the ranks whose key starts with `prefix`: from its lower bound to
  // that of the smallest key above every key with the prefix (to size() when there is
  // none). An in-memory index that is not in key order gets the run of matches from the
  // lower bound on instead.
  [[nodiscard]] Result<std::pair<size_t, size_t>> prefix_range(Bytes prefix) const;
  // The keys of ranks [first, first + n) into out[0, n), without allocating; they may
  // lie in the mapping: copy them out with copy_out. A range past size() is a VornError.
  [[nodiscard]] Status locate_keys(size_t first, size_t n, Bytes* out) const;

  // Bounds-checks the record at `off` and returns its payload inside the mapping.
  // Copy it out with copy_out.
  [[nodiscard]] Result<Bytes> read_object(uint64_t off) const;
  // Payloads of entries [first, last); the error of the first unreadable one.
  [[nodiscard]] Result<std::vector<Bytes>> read_entries(size_t first, size_t last) const;
  // The same for entries [first, first + n) into out[0, n), without allocating: a listing
  // reads a block of entries at a time. `first + n` is at most size().
  [[nodiscard]] Status locate_entries(size_t first, size_t n, Bytes* out) const;
  // locate_keys and locate_entries in one: the keys of ranks [first, first + n) into
  // keys[0, n) and their payloads into payloads[0, n), each entry read once.
  [[nodiscard]] Status locate_items(size_t first, size_t n, Bytes* keys, Bytes* payloads) const;
  // The payloads of the records at offsets[0, n) into out[0, n), as locate_entries.
  [[nodiscard]] Status locate_records(const uint64_t* offsets, size_t n, Bytes* out) const;
  // Starts fetching the record at `off`. A prefetch never faults, and offsets outside
  // the file are left alone.
  void prefetch_record(uint64_t off) const;
  // Whole-file CRC-32, then each distinct referenced record in index order. Through
  // the table also its own record's CRC-32, and that it agrees with the index section:
  // every entry found at its own position, ranks in order, the sample right, nothing
  // more.
  [[nodiscard]] Status verify() const;

  // ---- The in-memory index, for a reader that is not using the key table (as
  // _vornel's never is). Through the table they answer as for an empty index: use the
  // queries above.

  Bytes key_at(size_t i) const;
  uint64_t offset_at(size_t i) const;
  // As lookup() and holds(), which cannot fail here.
  std::optional<uint64_t> find(Bytes key) const;
  bool contains(Bytes key) const;
  // Starts fetching the record of entry i, which a listing reads a little later.
  void prefetch_entry(size_t i) const;
  // Payload of every distinct offset, in order of first reference.
  [[nodiscard]] Result<std::vector<Bytes>> distinct_objects() const;
  // The offsets that distinct_objects() reads, in the same order.
  std::vector<uint64_t> distinct_offsets() const;

  // Every method above that reads the mapping survives the file being cut short
  // under it: the read fails with a VornIOError "store file changed while mapped: bus
  // error at offset {}", and the parts of the file still there stay readable.

 private:
  Reader() = default;
  // The payloads of n records, the record of item i at the offset that
  // offset_of(i, &offset) gives; false there means the table names no entry for rank
  // first + i.
  template <class OffsetOf>
  [[nodiscard]] Status locate(size_t first, size_t n, OffsetOf offset_of, Bytes* out) const;
  // The in-memory index's lower bound, which never fails.
  size_t first_not_below(Bytes key) const;
  [[nodiscard]] Status verify_with_table() const;
  // The table against the index section, and the table's own record: what verify() adds
  // for a table, run after the file's checksum. `offsets` as check_against_index takes it.
  // `records(check, entries_whole)` runs between the section's walk and the table's
  // record, as verify() orders its reports; entries_whole() fails when the section's
  // entries overrun it, and `records` calls it where that failure ranks.
  template <typename Records>
  [[nodiscard]] Status check_table(uint64_t* offsets, Records&& records) const;
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
