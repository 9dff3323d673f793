// POSIX descriptor ownership and EINTR retries, shared by the writer and the reader.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <string_view>
#include <utility>

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

}  // namespace vornel
