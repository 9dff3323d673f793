// Putting a finished store file on disk: the temporary path beside the target, and
// the buffered output that writes it.
#pragma once

#include <sys/types.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "format.hpp"
#include "store_error.hpp"

namespace vornel {

// Where a build writes before renaming over `path`: `path` up to the end of its final
// component's stem, then ".vrnl.tmp". The final component ignores trailing slashes and
// trailing "." components; its extension follows the last dot unless that dot starts
// the name. A path with no final name (empty, only the root and "." components, or
// ending in "..") comes back unchanged.
std::string temp_path_for(std::string_view path);

// The directory that holds the last component of `file`: "." for a bare name, "/" for
// a name right under the root. `file` must end in a name, as a temporary path does.
std::string containing_dir(std::string_view file);

// The shape of write(2). Tests substitute it to produce interrupted, short, empty and
// failing writes.
using WriteFn = ssize_t (*)(int fd, const void* buf, size_t n);

// Writes all of [p, p + n), retrying EINTR and continuing after short writes. Returns
// 0 when done, the errno of a failing write, or -1 when a write accepted nothing.
// `*written` counts the bytes that reached the descriptor.
int write_all(int fd, WriteFn write_fn, const uint8_t* p, size_t n, size_t* written);

// Writes a sequence of pieces to a descriptor through one fixed-size buffer. Errors
// are VornIOErrors whose message is the error text alone. Every write is retried on
// EINTR and continued after a short write.
class BufferedOutput {
 public:
  static constexpr size_t kCapacity = 8192;

  explicit BufferedOutput(int fd, WriteFn write_fn);

  // A piece that fits the free space is copied into the buffer. Otherwise the buffer
  // is flushed first; then a piece of at least kCapacity bytes goes straight to the
  // descriptor and a smaller one into the emptied buffer.
  [[nodiscard]] Status append(Bytes piece);
  // Writes out the buffer. On failure the bytes that did reach the descriptor leave
  // the buffer and the rest stays.
  [[nodiscard]] Status flush();
  // One more attempt at writing whatever is still buffered; its outcome is ignored.
  void flush_ignoring_errors();

  size_t buffered() const { return len_; }

 private:
  [[nodiscard]] Status write_direct(Bytes piece);

  int fd_;
  WriteFn write_;
  size_t len_ = 0;
  std::array<uint8_t, kCapacity> buf_;
};

}  // namespace vornel
