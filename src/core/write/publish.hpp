// Publication of a finished store file: written whole under a temporary name beside
// the target, forced to disk, then renamed over the target, so that a reader of the
// target sees the old file or the new one and never a part.
#pragma once

#include <sys/types.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>

#include "format/format.hpp"
#include "util/store_error.hpp"
#include "util/file.hpp"
#include "util/progress.hpp"

namespace vornel {

// The system calls that publication makes, replaceable so that tests can interrupt
// or fail each one.
struct PublishCalls {
  WriteFn write = ::write;
  int (*fsync)(int fd) = ::fsync;
  int (*rename)(const char* from, const char* to) = ::rename;
};

// What publication does beyond what a plain build asks of it. The defaults are the
// plain build's behaviour.
struct PublishOptions {
  // A failure or a cancel after the temporary file was opened unlinks it: a full disk
  // stays no fuller.
  bool remove_temp_on_failure = false;
  // The new file takes the permission bits of the regular file at the target, from
  // before anything is written to it, as editors' atomic saves do.
  bool keep_mode = false;
  // Called with Write as writing starts and every kProgressStep bytes, then with Fsync,
  // then with Rename once fsync returned; never once the rename has happened. A piece is
  // then written in steps of that size.
  BuildProgress progress;
  // The temporary file opens for reading too (TempFile), for writers that read back what
  // they wrote; a plain build opens it for writing only.
  bool readable = false;
  PublishCalls calls;
};

// Progress comes this often while a file is written: often enough that a cancel takes
// effect within a fraction of a second, rarely enough to cost nothing.
inline constexpr uint64_t kProgressStep = uint64_t{32} << 20;

// Writes `pieces` back to back to the temporary path of `path` (a new file, created
// exclusively with mode 0666 before the umask: whatever sat there before is removed, a
// link never followed, and a directory there is the error), fsyncs it and renames it
// over `path`, then syncs the directory. Failures are VornIOErrors: "open tmp: {}" (with
// the temporary path in path() when what sits there is at fault), "chmod tmp: {}" (for
// keep_mode), the error text alone for writing and fsync, "rename: {}"; a cancel is
// ErrorKind::Cancelled. A failure after the open leaves `path` untouched, and the
// temporary file behind unless remove_temp_on_failure.
[[nodiscard]] Status publish(std::string_view path, std::initializer_list<Bytes> pieces,
                             const PublishOptions& options = {});

// The temporary file of one build, open and locked from open() until it is renamed over
// its target by commit() or dropped. Dropping it unlinks it when the options say so.
// Writers that lay a file out themselves (positional writes) use it as publish() does.
class TempFile {
 public:
  // Creates the temporary file of `path` anew, as publish() does, and gives it the mode
  // of the file it will replace when the options keep the mode.
  [[nodiscard]] static Result<TempFile> open(std::string_view path, const PublishOptions& options);
  TempFile(TempFile&&) = default;
  TempFile& operator=(TempFile&&) = default;
  ~TempFile();

  int fd() const { return fd_.get(); }
  // Forces the `size` bytes written to disk (telling the progress callback first), then
  // renames the file over the target and syncs the directory. Failures as publish()'s.
  [[nodiscard]] Status commit(uint64_t size);

 private:
  TempFile() = default;
  std::string path_;
  std::string tmp_c_;
  const PublishOptions* options_ = nullptr;
  FileDescriptor fd_;
  bool committed_ = false;
};

// Where a build writes before renaming over `path`: `path` up to the end of its final
// component's stem, then ".vrnl.tmp". The final component ignores trailing slashes and
// trailing "." components; its extension follows the last dot unless that dot starts
// the name. A path with no final name (empty, only the root and "." components, or
// ending in "..") comes back unchanged.
std::string temp_path_for(std::string_view path);

// The directory that holds the last component of `file`: "." for a bare name, "/" for
// a name right under the root. `file` must end in a name, as a temporary path does.
std::string containing_dir(std::string_view file);

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
  int fd_;
  WriteFn write_;
  size_t len_ = 0;
  std::array<uint8_t, kCapacity> buf_;
};

}  // namespace vornel
