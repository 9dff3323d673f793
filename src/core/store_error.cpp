#include "store_error.hpp"

#include "util/port.hpp"

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
    case ErrorKind::Cancelled:
      return "VornError: " + message_;
  }
  return message_;
}

StoreError StoreError::os(int errnum, std::string_view context) {
  StoreError e = io(std::string(context) + os_error_text(errnum));
  e.errno_ = errnum;
  return e;
}

StoreError StoreError::record_checksum(uint64_t offset, size_t rank) {
  StoreError e = corrupt("record CRC32 mismatch at offset " + std::to_string(offset));
  e.record_checksum_ = true;
  e.offset_ = offset;
  e.rank_ = rank;
  return e;
}

std::string os_error_text(int errnum) {
  return port::error_message(errnum) + " (os error " + std::to_string(errnum) + ")";
}

}  // namespace vornel
