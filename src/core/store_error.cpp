#include "store_error.hpp"

#include <cstring>

namespace vornel {

std::string StoreError::text() const {
  switch (kind_) {
    case ErrorKind::Corrupt:
      return "VornCorruptError: " + message_;
    case ErrorKind::Version:
      return "VornVersionError: unsupported version " + std::to_string(version_);
    case ErrorKind::IO:
      return "VornIOError: " + message_;
    case ErrorKind::Invalid:
      return "VornError: " + message_;
    case ErrorKind::Serialization:
      return "VornSerializationError: " + message_;
  }
  return message_;
}

std::string os_error_text(int errnum) {
  char buf[256];
  // The GNU strerror_r may return a static string instead of filling buf.
  const char* msg = strerror_r(errnum, buf, sizeof buf);
  return std::string(msg) + " (os error " + std::to_string(errnum) + ")";
}

}  // namespace vornel
