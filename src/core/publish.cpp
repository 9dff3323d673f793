#include "publish.hpp"

#include <cerrno>
#include <cstring>

namespace vornel {
namespace {

constexpr std::string_view kTempExtension = "vrnl.tmp";

// Texts of a write that the system accepted with nothing written.
constexpr const char kFlushWroteNothing[] = "failed to write the buffered data";
constexpr const char kDirectWroteNothing[] = "failed to write whole buffer";

// True when `path` ends in a "." component: "." itself or ".../.".
bool ends_in_dot_component(std::string_view path) {
  return path == "." || path.ends_with("/.");
}

StoreError write_error(int code, const char* wrote_nothing_text) {
  return StoreError::io(code < 0 ? std::string(wrote_nothing_text) : os_error_text(code));
}

}  // namespace

int write_all(int fd, WriteFn write_fn, const uint8_t* p, size_t n, size_t* written) {
  *written = 0;
  while (*written < n) {
    const ssize_t r = write_fn(fd, p + *written, n - *written);
    if (r < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (r == 0) return -1;
    *written += static_cast<size_t>(r);
  }
  return 0;
}

std::string temp_path_for(std::string_view path) {
  std::string_view rest = path;
  for (;;) {
    while (rest.ends_with('/')) rest.remove_suffix(1);
    if (!ends_in_dot_component(rest)) break;
    rest.remove_suffix(1);
  }
  const size_t slash = rest.rfind('/');
  const size_t name_start = slash == std::string_view::npos ? 0 : slash + 1;
  const std::string_view name = rest.substr(name_start);
  if (name.empty() || name == "..") return std::string(path);

  const size_t dot = name.rfind('.');
  const size_t stem_len = (dot == std::string_view::npos || dot == 0) ? name.size() : dot;
  std::string tmp(path.substr(0, name_start + stem_len));
  tmp += '.';
  tmp += kTempExtension;
  return tmp;
}

std::string containing_dir(std::string_view file) {
  const size_t slash = file.rfind('/');
  if (slash == std::string_view::npos) return ".";
  if (slash == 0) return "/";
  return std::string(file.substr(0, slash));
}

BufferedOutput::BufferedOutput(int fd, WriteFn write_fn) : fd_(fd), write_(write_fn) {}

Status BufferedOutput::append(Bytes piece) {
  if (piece.size() <= kCapacity - len_) {
    // Empty pieces land here too, so nothing below sees a zero-length write.
    if (!piece.empty()) std::memcpy(buf_.data() + len_, piece.data(), piece.size());
    len_ += piece.size();
    return {};
  }
  if (auto flushed = flush(); !flushed) return flushed;
  if (piece.size() >= kCapacity) return write_direct(piece);
  std::memcpy(buf_.data(), piece.data(), piece.size());
  len_ = piece.size();
  return {};
}

Status BufferedOutput::flush() {
  size_t written = 0;
  const int code = write_all(fd_, write_, buf_.data(), len_, &written);
  if (written != 0) {
    std::memmove(buf_.data(), buf_.data() + written, len_ - written);
    len_ -= written;
  }
  if (code != 0) return fail(write_error(code, kFlushWroteNothing));
  return {};
}

void BufferedOutput::flush_ignoring_errors() { (void)flush(); }

Status BufferedOutput::write_direct(Bytes piece) {
  size_t written = 0;
  const int code = write_all(fd_, write_, piece.data(), piece.size(), &written);
  if (code != 0) return fail(write_error(code, kDirectWroteNothing));
  return {};
}

}  // namespace vornel
