// How the core reports failure: every operation that can fail returns Status or
// Result<T>, holding either its value or one StoreError (a kind and a message).
// Not-found is an ordinary value (std::optional, bool), never an error.
//
// The one exception the core lets through is std::bad_alloc, when memory runs out
// (containers, arenas, LargeBuffer, RecordBuffer). Every operation leaves its object
// as it was when that happens, and the binding's call wrapper, which every method and
// constructor passes through, catches it and raises MemoryError.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <utility>

namespace vornel {

enum class ErrorKind : uint8_t {
  Corrupt,        // VornCorruptError: the file fails validation or a bound check
  Version,        // VornVersionError: unsupported format version
  IO,             // VornIOError: a failing system call
  Invalid,    // VornError: a broken limit or a bad object ID
  Cancelled,  // VornError: the caller's progress callback stopped a build
};

class StoreError {
 public:
  static StoreError corrupt(std::string msg) { return {ErrorKind::Corrupt, std::move(msg), 0}; }
  // A file that is no store at all (too small for a header, or another magic): corrupt,
  // with the fact kept so that a caller can say so in its own words.
  static StoreError not_a_store(std::string msg) {
    StoreError e = corrupt(std::move(msg));
    e.not_a_store_ = true;
    return e;
  }
  static StoreError version(uint8_t found) { return {ErrorKind::Version, {}, found}; }
  static StoreError io(std::string msg) { return {ErrorKind::IO, std::move(msg), 0}; }
  // A failing system call: `context` followed by os_error_text(errnum).
  static StoreError os(int errnum, std::string_view context = {});
  static StoreError invalid(std::string msg) { return {ErrorKind::Invalid, std::move(msg), 0}; }
  // A build that its progress callback stopped: "build cancelled".
  static StoreError cancelled() { return {ErrorKind::Cancelled, "build cancelled", 0}; }

  ErrorKind kind() const { return kind_; }
  // The message without the kind's prefix; empty for a version error.
  const std::string& message() const { return message_; }
  uint8_t version_found() const { return version_; }
  // The error number of a failing system call; 0 for every other error.
  int os_errno() const { return errno_; }
  // Whether the file is no store at all.
  bool is_not_a_store() const { return not_a_store_; }
  // A record that fails its CRC-32 when its value is read, at offset(); the caller names
  // the key. For a run of entries, rank() is the entry's.
  static StoreError record_checksum(uint64_t offset, size_t rank);
  bool is_record_checksum() const { return record_checksum_; }
  uint64_t offset() const { return offset_; }
  size_t rank() const { return rank_; }
  // The full text: the kind's name, ": " and the message.
  std::string text() const;

 private:
  StoreError(ErrorKind kind, std::string msg, uint8_t version)
      : kind_(kind), version_(version), message_(std::move(msg)) {}

  ErrorKind kind_;
  uint8_t version_;
  int errno_ = 0;
  bool not_a_store_ = false;
  bool record_checksum_ = false;
  uint64_t offset_ = 0;
  size_t rank_ = 0;
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
