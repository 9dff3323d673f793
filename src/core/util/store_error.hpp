// How the core reports failure: every operation that can fail returns Status or
// Result<T>, holding either its value or one StoreError. Not-found is an ordinary value
// (std::optional, bool), never an error.
//
// A StoreError is facts, not words: its kind, what failed (Fault) and the numbers, path
// and error number that say where. Each binding words them for its own callers
// (src/binding/store_words.hpp holds the words both modules start from). The writer's
// and the build's failures still carry a message of their own (Fault::Described).
//
// The one exception the core lets through is std::bad_alloc, when memory runs out
// (containers, arenas, LargeBuffer, RecordBuffer). Every operation leaves its object
// as it was when that happens, and the binding's call wrapper, which every method and
// constructor passes through, catches it and raises MemoryError.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <utility>

namespace vornel {

enum class ErrorKind : uint8_t {
  Corrupt,    // the file fails validation or a bound check
  Version,    // an unsupported format version
  IO,         // a failing system call, or a file changed under its mapping
  Invalid,    // a broken limit or a bad object ID
  Cancelled,  // the caller's progress callback stopped a build
};

// What failed. The facts each fault sets are named beside it.
enum class Fault : uint8_t {
  Described,  // message(): the writer's and the build's failures, a dictionary's damage

  // Opening a store to read it: path(), os_errno() (0: the path holds a NUL).
  CannotOpen,
  CannotMap,    // os_errno()
  IsDirectory,  // os_errno() is EISDIR
  // The header and the index section, at open.
  TooSmall,            // shorter than a header: no store at all
  BadMagic,            // found(): the first four bytes, big-endian: no store at all
  Version,             // version_found()
  MarksUnknown,        // offset(): the header byte, version_found(): its value
  FileChecksum,        // expected(): the stored CRC-32, found(): the computed one
  IndexKeyLen,         // an entry's length field runs past the end of the file
  IndexKeyOrOffset,    // an entry's key or offset runs past the end of the file
  Truncated,           // found(): the file's size, expected(): what the header promises
  IndexOffsetOutside,  // offset(): index_offset, expected(): 40, found(): the file's size

  // Reads of the mapping.
  MappingFault,          // offset(): the byte whose page the file no longer backs
  FileCut,               // offset(): the file no longer reaches it
  RecordPrefixOutside,   // offset(): the record's
  RecordPayloadOutside,  // offset(): the record's
  RecordChecksum,        // offset(): the record's, rank(): the entry read (0 for a lookup)
  RankRange,             // rank(): first, expected(): one past the last, found(): size()
  TableUnnamedRank,      // rank(): the key table names no entry inside the section for it
  TableUnchained,        // rank(): its entry does not start where the one before it ends
  TableMisled,           // rank(): a search landed there, and the keys around it disown it
  KeysUnordered,         // rank(): the entry whose key is not above the one before it
  RangeCrossed,          // rank(): where a prefix's range starts, found(): where it ends
  DictionaryMissing,     // the header marks a dictionary the first record does not hold
  DictionaryNamed,       // a key names the record of the dictionary the header marks

  // verify().
  ObjectPrefixOutside,  // offset(): a referenced record's prefix runs past the end
  ObjectChecksum,       // offset(): a referenced record fails its CRC-32
  EntriesEnd,           // offset(): where the entries end, found(): the file's size
  RecordsUntiled,       // offset(): the record that runs past index_offset, expected()
  IndexOffsetInHeader,  // offset(): index_offset
  ObjectCount,          // expected(): the header's num_objects, found(): records walked
  TableRecordChecksum,  // offset(): the key table's record
  TableDisagrees,       // what(): KeyTable::Disagreement, rank(): the entry
  MarksDamaged,         // the header's marks fail their checksum
  MarkedTableIgnored,   // what(): TableNote, why the table the header marks is not used
};

class StoreError {
 public:
  // A fault of the file, with its facts.
  static StoreError corrupt(Fault fault, uint64_t offset = 0) {
    StoreError e(ErrorKind::Corrupt, fault);
    e.offset_ = offset;
    return e;
  }
  // A fault with expected and found values (a checksum, a size, a count).
  static StoreError mismatch(Fault fault, uint64_t expected, uint64_t found, uint64_t offset = 0) {
    StoreError e = corrupt(fault, offset);
    e.expected_ = expected;
    e.found_ = found;
    return e;
  }
  // A fault at an entry of the index, counted in key order.
  static StoreError at_rank(Fault fault, size_t rank, uint64_t offset = 0) {
    StoreError e = corrupt(fault, offset);
    e.rank_ = rank;
    return e;
  }
  // The key table disagrees with the index section as `what` (KeyTable::Disagreement)
  // says, at `entry`.
  static StoreError table_disagrees(uint8_t what, size_t entry) {
    StoreError e = at_rank(Fault::TableDisagrees, entry);
    e.what_ = what;
    return e;
  }
  // A prefix's range found to end at `last`, before its start at `first`.
  static StoreError range_crossed(size_t first, size_t last) {
    StoreError e = at_rank(Fault::RangeCrossed, first);
    e.found_ = last;
    return e;
  }
  // Ranks [first, end) asked of an index of `size` entries.
  static StoreError rank_range(size_t first, size_t end, size_t size) {
    StoreError e(ErrorKind::Invalid, Fault::RankRange);
    e.rank_ = first;
    e.expected_ = end;
    e.found_ = size;
    return e;
  }
  // A fact with what() set: the key table's disagreement or note.
  static StoreError about(Fault fault, uint8_t what) {
    StoreError e = corrupt(fault);
    e.what_ = what;
    return e;
  }
  // Header byte `at` holds a mark this reader lacks.
  static StoreError marks_unknown(uint64_t at, uint8_t found) {
    StoreError e(ErrorKind::Version, Fault::MarksUnknown);
    e.offset_ = at;
    e.version_ = found;
    return e;
  }
  static StoreError version(uint8_t found) {
    StoreError e(ErrorKind::Version, Fault::Version);
    e.version_ = found;
    return e;
  }
  // A failing system call of a reader's open, or a read of a file changed under it.
  static StoreError system(Fault fault, int errnum, std::string path = {}) {
    StoreError e(ErrorKind::IO, fault);
    e.errno_ = errnum;
    e.path_ = std::move(path);
    return e;
  }
  static StoreError changed(Fault fault, uint64_t offset) {
    StoreError e(ErrorKind::IO, fault);
    e.offset_ = offset;
    return e;
  }

  // The writer's and the build's failures, and damage to a compressed store's dictionary,
  // in their own words.
  static StoreError corrupt(std::string msg) {
    return described(ErrorKind::Corrupt, std::move(msg));
  }
  static StoreError io(std::string msg) { return described(ErrorKind::IO, std::move(msg)); }
  // A failing system call: `context` followed by os_error_text(errnum).
  static StoreError os(int errnum, std::string_view context = {});
  // The same, about the file at `path` rather than the one the operation names.
  static StoreError os(int errnum, std::string_view context, std::string path) {
    StoreError e = os(errnum, context);
    e.path_ = std::move(path);
    return e;
  }
  static StoreError invalid(std::string msg) {
    return described(ErrorKind::Invalid, std::move(msg));
  }
  // A build that its progress callback stopped: "build cancelled".
  static StoreError cancelled() { return described(ErrorKind::Cancelled, "build cancelled"); }

  ErrorKind kind() const { return kind_; }
  Fault fault() const { return fault_; }
  // Fault::Described's words; empty for every other fault.
  const std::string& message() const { return message_; }
  uint8_t version_found() const { return version_; }
  // The error number of a failing system call; 0 for every other error.
  int os_errno() const { return errno_; }
  const std::string& path() const { return path_; }
  uint64_t offset() const { return offset_; }
  uint64_t expected() const { return expected_; }
  uint64_t found() const { return found_; }
  size_t rank() const { return rank_; }
  uint8_t what() const { return what_; }
  // Whether the file is no store at all.
  bool is_not_a_store() const { return fault_ == Fault::TooSmall || fault_ == Fault::BadMagic; }

 private:
  StoreError(ErrorKind kind, Fault fault) : kind_(kind), fault_(fault) {}
  static StoreError described(ErrorKind kind, std::string msg) {
    StoreError e(kind, Fault::Described);
    e.message_ = std::move(msg);
    return e;
  }

  ErrorKind kind_;
  Fault fault_;
  uint8_t version_ = 0;
  uint8_t what_ = 0;
  int errno_ = 0;
  size_t rank_ = 0;
  uint64_t offset_ = 0;
  uint64_t expected_ = 0;
  uint64_t found_ = 0;
  std::string path_;
  std::string message_;
};

template <class T>
using Result = std::expected<T, StoreError>;
using Status = std::expected<void, StoreError>;

inline std::unexpected<StoreError> fail(StoreError e) { return std::unexpected(std::move(e)); }

// The system's message for `errnum` followed by " (os error N)".
std::string os_error_text(int errnum);

// Text for a path with an embedded NUL, which never reaches a system call.
inline constexpr const char kNulInPathText[] = "file name contained an unexpected NUL byte";

}  // namespace vornel
