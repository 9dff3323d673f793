// One small interface over every sorted source of entries that a build reads: the
// writer's staged entries in memory, a run file, a store file, and a merge of any of
// them. Code that walks entries never asks which kind of source it walks.
//
// A source yields entries in strictly ascending key order. An entry names a record, or
// says that its key was unstaged. Several entries may name one record: a source tells
// which, so that a copy of it can keep them sharing one record.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "util/key_bytes.hpp"
#include "util/store_error.hpp"

namespace vornel {

// Which entry of a key wins where several sources hold it: the newest (as a dict's
// update), the oldest, or none, the merge failing instead.
enum class DuplicatePolicy : uint8_t { Last, First, Error };

enum class EntryKind : uint8_t {
  Value,    // the key names a record
  Deleted,  // the key was unstaged: it hides every older entry of the key
};

struct Entry {
  Bytes key;
  EntryKind kind = EntryKind::Value;
  // A value staged after its key was unstaged: it hides older entries of the key as a
  // deletion would, so that a key deleted and staged again is no duplicate.
  bool replaces = false;
  // The record among the source's own, unique to it: the same for every entry of the
  // source that names the same record.
  uint64_t record = 0;
  // At most how many later entries of the source name this record too. Sharing
  // survives a copy only while this says so; more than the truth costs only memory.
  uint64_t uses_left = 0;
};

// A record's payload as a source holds it, and its CRC-32, which sources that read files
// have checked against the payload.
struct RecordBytes {
  Bytes payload;
  uint32_t crc = 0;
};

// A record that lies verbatim in a file, its prefix and payload checked: what a copy
// needs to move it without reading it into memory.
struct RecordSpan {
  int fd = -1;
  uint64_t offset = 0;             // of its prefix in the file
  const uint8_t* mapped = nullptr;  // its bytes in a mapping of the file (read guarded)
  uint64_t size = 0;               // prefix and payload
  uint32_t crc = 0;                // the payload's
};

class SortedSource {
 public:
  virtual ~SortedSource() = default;

  // Moves to the next entry; the first call moves to the first. Past the last, valid()
  // is false and the checks that need the whole source (a file's checksum) have passed.
  [[nodiscard]] virtual Status next() = 0;
  virtual bool valid() const = 0;
  virtual const Entry& entry() const = 0;
  // The record the current entry names, valid until next().
  [[nodiscard]] virtual Result<RecordBytes> record() = 0;
  // The record the current entry names, where it lies as a copy would write it; none
  // when the source holds it otherwise (a staged value, a compressed one) or would read
  // it out of order. Valid until next().
  [[nodiscard]] virtual Result<std::optional<RecordSpan>> span() { return std::nullopt; }
  // How many entries the source yields, for progress; merges give the sum of theirs.
  virtual uint64_t size() const = 0;
  // What errors name: a file's path, or a description.
  virtual const std::string& name() const = 0;
  // Whether its records are staged values, which a copy may merge with equal ones; the
  // records of a store are kept as the store holds them.
  virtual bool staged() const { return true; }
};

}  // namespace vornel
