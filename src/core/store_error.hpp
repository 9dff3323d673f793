// The one error value of every writer and reader operation.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <utility>

namespace vornel {

enum class ErrorKind : uint8_t {
  Corrupt,        // VornCorruptError: the file fails validation or a bound check
  Version,        // VornVersionError: unsupported format version
  IO,             // VornIOError: a failing system call
  Invalid,        // VornError: a broken limit or a bad object ID
  Serialization,  // VornSerializationError: reserved; no operation produces it
};

class StoreError {
 public:
  static StoreError corrupt(std::string msg) { return {ErrorKind::Corrupt, std::move(msg), 0}; }
  static StoreError version(uint8_t found) { return {ErrorKind::Version, {}, found}; }
  static StoreError io(std::string msg) { return {ErrorKind::IO, std::move(msg), 0}; }
  static StoreError invalid(std::string msg) { return {ErrorKind::Invalid, std::move(msg), 0}; }
  static StoreError serialization(std::string msg) {
    return {ErrorKind::Serialization, std::move(msg), 0};
  }

  ErrorKind kind() const { return kind_; }
  // The message without the kind's prefix; empty for a version error.
  const std::string& message() const { return message_; }
  uint8_t version_found() const { return version_; }
  // The full text: the kind's name, ": " and the message.
  std::string text() const;

 private:
  StoreError(ErrorKind kind, std::string msg, uint8_t version)
      : kind_(kind), version_(version), message_(std::move(msg)) {}

  ErrorKind kind_;
  uint8_t version_;
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
