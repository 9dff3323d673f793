// The checks of a whole store, beside the queries: the whole-file checksum, the layout
// (the records tile the data section, the entries end the file), every referenced record,
// and a key table against the index section. verify() runs them all; a checked open the
// file's checksum, and the layout and the table where the reader is strict.
#pragma once

#include <cstdint>
#include <system_error>
#include <thread>

#include "format/format.hpp"
#include "format/key_table.hpp"
#include "read/reader_state.hpp"
#include "util/store_error.hpp"

namespace vornel {

// Runs main() here and side() on a thread of its own, and waits for both: the whole-file
// pass and the walk of a key table against the index section read memory apart, and
// need not wait for each other. Where no thread can be had, runs them in turn.
template <class Main, class Side>
void side_by_side(Main&& main, Side&& side) {
  std::thread helper;
  try {
    helper = std::thread([&] { side(); });
  } catch (const std::system_error&) {
    side();
    main();
    return;
  }
  struct Join {
    std::thread& t;
    ~Join() { t.join(); }
  } join{helper};
  main();
}

// CRC-32 of everything after the header, which file_crc32 covers.
[[nodiscard]] Result<uint32_t> body_crc(Bytes file);
StoreError crc_mismatch(uint32_t stored, uint32_t computed);

// That the index entries end at the end of the file (`entries_end`, where the walk of
// the section stopped), and that the records, back to back from the header's end, end
// exactly at index_offset; a strict reader also counts them against num_objects.
[[nodiscard]] Status check_layout(const ReaderState& s, uint64_t entries_end);

// Walks the index section against the claimed table (KeyTable::check_against_index),
// in a guarded read; *fault as ReaderState::read gives it.
KeyTable::Check walk_table(const ReaderState& s, const void** fault);
StoreError table_disagrees(const KeyTable::Check& c);
StoreError table_record_error(uint64_t offset);
// The key of index entry `entry` is not above the one before it.
StoreError unordered_error(size_t entry);
// The first entry of the in-memory index whose key is below the one before it.
size_t first_unordered(const MemoryIndex& index);

// Everything, first fault first: the whole-file checksum; each distinct referenced record
// in index order, its bounds before its checksum; the layout; key order (strict); a
// claimed key table that no key names, its record and then its agreement with the index
// section.
[[nodiscard]] Status verify_store(const ReaderState& s);

}  // namespace vornel
