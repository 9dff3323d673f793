// POSIX descriptor ownership, EINTR retries and whole writes, shared by the writer
// and the reader.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "util/store_error.hpp"

namespace vornel {

// Closes the descriptor it owns when it goes out of scope.
class FileDescriptor {
 public:
  FileDescriptor() = default;
  explicit FileDescriptor(int fd) : fd_(fd) {}
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept {
    if (this != &other) {
      reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() { reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Closes now; a failure to close is ignored, as nothing useful can follow it.
  void reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

// Runs `call` until it fails with something other than EINTR.
template <class F>
auto retry_eintr(F&& call) {
  for (;;) {
    auto r = call();
    if (!(r == -1 && errno == EINTR)) return r;
  }
}

// A path for the system: NUL-terminated, or nothing when it holds an embedded NUL
// (which the system would silently truncate).
inline bool to_c_path(std::string_view path, std::string& out) {
  if (path.find('\0') != std::string_view::npos) return false;
  out.assign(path);
  return true;
}

// The shape of write(2). Tests substitute it to produce interrupted, short, empty and
// failing writes.
using WriteFn = ssize_t (*)(int fd, const void* buf, size_t n);

// Writes all of [p, p + n), retrying EINTR and continuing after short writes.
// `*written` counts the bytes that reached the descriptor, also on failure. A failing
// write gives StoreError::os with its errno; a write that accepted nothing gives a
// VornIOError with `wrote_nothing_text`.
[[nodiscard]] inline Status write_all(int fd, WriteFn write_fn, const uint8_t* p, size_t n,
                                      size_t* written, const char* wrote_nothing_text) {
  *written = 0;
  while (*written < n) {
    const ssize_t r = write_fn(fd, p + *written, n - *written);
    if (r < 0) {
      if (errno == EINTR) continue;
      return fail(StoreError::os(errno));
    }
    if (r == 0) return fail(StoreError::io(wrote_nothing_text));
    *written += static_cast<size_t>(r);
  }
  return {};
}

}  // namespace vornel
