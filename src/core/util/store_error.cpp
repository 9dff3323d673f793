#include "util/store_error.hpp"

#include "util/port.hpp"

namespace vornel {

StoreError StoreError::os(int errnum, std::string_view context) {
  StoreError e = io(std::string(context) + os_error_text(errnum));
  e.errno_ = errnum;
  return e;
}

std::string os_error_text(int errnum) {
  return port::error_message(errnum) + " (os error " + std::to_string(errnum) + ")";
}

}  // namespace vornel
