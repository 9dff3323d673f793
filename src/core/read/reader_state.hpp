// What a Reader holds, shared by the reader's queries (reader.cpp) and the checks of the
// whole store (store_check.cpp). Immutable once open.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "format/format.hpp"
#include "format/key_table.hpp"
#include "util/store_error.hpp"
#include "read/store_index.hpp"
#include "util/fault_guard.hpp"
#include "util/mapping.hpp"

namespace vornel {

// A bus error in a guarded read that began at file offset `start`: the file was cut
// short under the mapping. The offset named is that of the faulting byte, or `start`
// where the system does not say which byte it was.
StoreError mapping_fault(const void* addr, uint64_t start);

struct ReaderState {
  std::string path;
  Header header;
  uint64_t file_size = 0;
  FileMapping mapping;
  StoreIndex index;
  // The table the store's trailer claims, in use or not: verify() checks one that no key
  // names. Set up only where `table_claimed`.
  KeyTable table;
  KeyTable::Verdict verdict;
  bool table_claimed = false;
  Marks::Read marks;
  bool strict = false;
  // The last byte of the file that is not zero, as open read it (a strict reader's only).
  // A cut anywhere before it either faults where it is read or reads it as zero; a cut
  // after it loses only zeros, which the mapping reads back as zeros anyway. Every read
  // looks at it last: a read that the cut did not disturb finds it unchanged.
  bool has_tail = false;
  uint64_t tail_at = 0;
  uint8_t tail = 0;

  Bytes file() const { return Bytes(mapping.data(), file_size); }
  // Whether the header soundly marks a key table.
  bool marked_table() const { return marks.state == Marks::State::Sound && marks.marks.table != 0; }

  // Runs body() in a guarded region that ends with a look at the tail byte. Returns
  // nullptr, the address of a bus error, or cut() when the tail byte reads otherwise.
  template <class F>
  const void* read(F&& body) const {
    bool whole = true;
    if (const void* fault = guarded([&] {
          body();
          if (has_tail) whole = *static_cast<const volatile uint8_t*>(mapping.data() + tail_at) == tail;
        })) {
      return fault;
    }
    return whole ? nullptr : cut();
  }
  // The failure of a read() that began at file offset `start`.
  StoreError read_error(const void* fault, uint64_t start) const {
    if (fault == cut()) return StoreError::changed(Fault::FileCut, tail_at);
    return mapping_fault(fault, start);
  }
  static const void* cut() {
    static const char marker = 0;
    return &marker;
  }
};

}  // namespace vornel
