#include "write/publish.hpp"

#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>

namespace vornel {
namespace {

constexpr std::string_view kTempExtension = "vrnl.tmp";
constexpr mode_t kNewFileMode = 0666;  // before the process's umask

// Texts of a write that the system accepted with nothing written.
constexpr const char kFlushWroteNothing[] = "failed to write the buffered data";
constexpr const char kDirectWroteNothing[] = "failed to write whole buffer";

// True when `path` ends in a "." component: "." itself or ".../.".
bool ends_in_dot_component(std::string_view path) {
  return path == "." || path.ends_with("/.");
}

// Whether `c_path` names the file open at `fd`, itself and not through a link.
bool names(const std::string& c_path, int fd) {
  struct stat held, named;
  return ::fstat(fd, &held) == 0 && ::lstat(c_path.c_str(), &named) == 0 &&
         held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

// Removes the entry `seen` at the temporary path, which no build ever makes (a link, a
// FIFO, a socket, a device). It is moved aside first and then looked at, so that what
// goes is what was seen: a build's file that took its place meanwhile is put back.
Status remove_stray(const std::string& c_path, const struct stat& seen) {
  static std::atomic<uint64_t> strays{0};
  const std::string aside = c_path + ".stray." + std::to_string(::getpid()) + "." +
                            std::to_string(strays.fetch_add(1, std::memory_order_relaxed));
  if (::renameat2(AT_FDCWD, c_path.c_str(), AT_FDCWD, aside.c_str(), RENAME_NOREPLACE) != 0) {
    if (errno == ENOENT) return {};
    // A file system that cannot move without replacing: removed where it is.
    if ((errno != EINVAL && errno != ENOSYS) || (::unlink(c_path.c_str()) != 0 && errno != ENOENT)) {
      return fail(StoreError::os(errno, "open tmp: ", c_path));
    }
    return {};
  }
  struct stat took;
  if (::lstat(aside.c_str(), &took) == 0 && S_ISREG(took.st_mode) &&
      (took.st_dev != seen.st_dev || took.st_ino != seen.st_ino) &&
      ::renameat2(AT_FDCWD, aside.c_str(), AT_FDCWD, c_path.c_str(), RENAME_NOREPLACE) == 0) {
    return {};
  }
  if (::unlink(aside.c_str()) != 0) return fail(StoreError::os(errno, "open tmp: ", c_path));
  return {};
}

// Makes way for a new temporary file. What sits at its path is no live build's unless
// that build holds it locked: a regular file goes once this build holds its lock and the
// path still names it (a build that died left it; a live one renamed it away meanwhile,
// and then it stays where it went); anything else but a directory goes at once. A
// directory stays, and is the error, naming the temporary path.
Status clear_temporary(const std::string& c_path) {
  struct stat seen;
  if (::lstat(c_path.c_str(), &seen) != 0) {
    if (errno == ENOENT) return {};
    return fail(StoreError::os(errno, "open tmp: ", c_path));
  }
  if (S_ISDIR(seen.st_mode)) return fail(StoreError::os(EISDIR, "open tmp: ", c_path));
  if (!S_ISREG(seen.st_mode)) return remove_stray(c_path, seen);
  FileDescriptor fd(retry_eintr(
      [&] { return ::open(c_path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC); }));
  if (!fd.valid()) {
    if (errno == ENOENT || errno == ELOOP) return {};  // changed since: look again
    return fail(StoreError::os(errno, "open tmp: ", c_path));
  }
  if (retry_eintr([&] { return ::flock(fd.get(), LOCK_EX); }) != 0) {
    return fail(StoreError::os(errno, "open tmp: ", c_path));
  }
  if (names(c_path, fd.get()) && ::unlink(c_path.c_str()) != 0 && errno != ENOENT) {
    return fail(StoreError::os(errno, "open tmp: ", c_path));
  }
  return {};
}

// Creates the temporary file for this build alone: exclusively, so that it is a new
// regular file and never one reached through a link. Builders to one target share the
// temporary path, so each holds an exclusive lock on its file from here until after its
// rename; a builder that finds the path taken waits for that lock (clear_temporary).
// Failures read "open tmp: {}".
Result<FileDescriptor> open_temporary(const std::string& c_path, bool readable) {
  const int flags = (readable ? O_RDWR : O_WRONLY) | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
  for (;;) {
    FileDescriptor fd(retry_eintr([&] { return ::open(c_path.c_str(), flags, kNewFileMode); }));
    if (!fd.valid()) {
      if (errno != EEXIST) return fail(StoreError::os(errno, "open tmp: "));
      if (Status s = clear_temporary(c_path); !s) return fail(std::move(s.error()));
      continue;
    }
    if (retry_eintr([&] { return ::flock(fd.get(), LOCK_EX); }) != 0) {
      return fail(StoreError::os(errno, "open tmp: "));
    }
    // Another builder may have taken it for a leftover before this one held its lock.
    if (names(c_path, fd.get())) return fd;
  }
}

// Whether the build goes on: the progress callback, when there is one, may stop it.
bool carry_on(const PublishOptions& options, BuildPhase phase, uint64_t done, uint64_t total) {
  return !options.progress || options.progress(phase, done, total);
}

// Writes the pieces through the output buffer. With a progress callback, in steps of
// kProgressStep bytes, telling it how far the writing has come after each; without one,
// each piece whole, as a plain build writes it.
Status write_pieces(BufferedOutput& out, std::initializer_list<Bytes> pieces,
                    const PublishOptions& options) {
  if (!options.progress) {
    for (Bytes piece : pieces) {
      if (Status s = out.append(piece); !s) return s;
    }
    return out.flush();
  }
  uint64_t total = 0;
  for (Bytes piece : pieces) total += piece.size();
  if (!options.progress(BuildPhase::Write, 0, total)) return fail(StoreError::cancelled());
  uint64_t done = 0;
  for (Bytes piece : pieces) {
    // Steps end where the file's bytes reach a multiple of kProgressStep.
    for (size_t at = 0; at < piece.size();) {
      const uint64_t to_report = kProgressStep - done % kProgressStep;
      const Bytes step = piece.subspan(at, std::min<uint64_t>(to_report, piece.size() - at));
      if (Status s = out.append(step); !s) return s;
      at += step.size();
      done += step.size();
      if (done % kProgressStep == 0 && !options.progress(BuildPhase::Write, done, total)) {
        return fail(StoreError::cancelled());
      }
    }
  }
  if (Status s = out.flush(); !s) return s;
  if (!options.progress(BuildPhase::Write, total, total)) return fail(StoreError::cancelled());
  return {};
}

// fsync, after telling the progress callback, which may cancel.
Status sync(int fd, uint64_t size, const PublishOptions& options) {
  if (!carry_on(options, BuildPhase::Fsync, size, size)) return fail(StoreError::cancelled());
  if (retry_eintr([&] { return options.calls.fsync(fd); }) != 0) {
    return fail(StoreError::os(errno));
  }
  // A cancel that came while fsync ran is seen here, before the target changes.
  if (!carry_on(options, BuildPhase::Rename, size, size)) return fail(StoreError::cancelled());
  return {};
}

// Gives the temporary file the permission bits of the regular file at `path`, if there
// is one. A path the system cannot take names no file.
Status keep_mode_of(std::string_view path, int fd) {
  std::string path_c;
  struct stat st;
  if (!to_c_path(path, path_c) || ::stat(path_c.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
    return {};
  }
  if (retry_eintr([&] { return ::fchmod(fd, st.st_mode & 07777); }) != 0) {
    return fail(StoreError::os(errno, "chmod tmp: "));
  }
  return {};
}

// Unlinks the temporary file of a failed build while this build still holds it locked,
// and only if its path still names the file this build wrote.
void remove_temporary(int fd, const std::string& c_path) {
  if (names(c_path, fd)) (void)::unlink(c_path.c_str());
}

// Makes the rename itself durable. Best effort: the store is already published, and
// a directory that cannot be synced leaves it no less complete.
void sync_directory_of(std::string_view file) {
  const std::string dir = containing_dir(file);
  FileDescriptor fd(
      retry_eintr([&] { return ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); }));
  if (fd.valid()) (void)retry_eintr([&] { return ::fsync(fd.get()); });
}

}  // namespace

Result<TempFile> TempFile::open(std::string_view path, const PublishOptions& options) {
  TempFile t;
  t.path_.assign(path);
  t.options_ = &options;
  const std::string tmp_path = temp_path_for(path);
  if (!to_c_path(tmp_path, t.tmp_c_)) {
    return fail(StoreError::io(std::string("open tmp: ") + kNulInPathText));
  }
  auto fd = open_temporary(t.tmp_c_, options.readable);
  if (!fd) return fail(std::move(fd.error()));
  t.fd_ = std::move(*fd);
  if (options.keep_mode) {
    if (Status s = keep_mode_of(path, t.fd_.get()); !s) return fail(std::move(s.error()));
  }
  return t;
}

TempFile::~TempFile() {
  // A failure or a cancel may take the temporary file with it: a full disk stays no fuller.
  if (fd_.valid() && !committed_ && options_->remove_temp_on_failure) {
    remove_temporary(fd_.get(), tmp_c_);
  }
}

Status TempFile::commit(uint64_t size) {
  if (Status s = sync(fd_.get(), size, *options_); !s) return s;
  std::string path_c;
  if (!to_c_path(path_, path_c)) {
    return fail(StoreError::io(std::string("rename: ") + kNulInPathText));
  }
  if (retry_eintr([&] { return options_->calls.rename(tmp_c_.c_str(), path_c.c_str()); }) != 0) {
    return fail(StoreError::os(errno, "rename: "));
  }
  committed_ = true;
  // The lock ends with the descriptor, only now that the file has its final name.
  // Closing cannot lose what fsync has stored; its failure is ignored.
  fd_.reset();
  sync_directory_of(tmp_c_);
  return {};
}

Status publish(std::string_view path, std::initializer_list<Bytes> pieces,
               const PublishOptions& options) {
  auto tmp = TempFile::open(path, options);
  if (!tmp) return fail(std::move(tmp.error()));
  BufferedOutput out(tmp->fd(), options.calls.write);
  if (Status written = write_pieces(out, pieces, options); !written) {
    // A file that is to stay gets what is still buffered, once more.
    if (!options.remove_temp_on_failure) out.flush_ignoring_errors();
    return written;
  }
  uint64_t total = 0;
  for (Bytes piece : pieces) total += piece.size();
  return tmp->commit(total);
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
  if (piece.size() >= kCapacity) {
    size_t written = 0;
    return write_all(fd_, write_, piece.data(), piece.size(), &written, kDirectWroteNothing);
  }
  std::memcpy(buf_.data(), piece.data(), piece.size());
  len_ = piece.size();
  return {};
}

Status BufferedOutput::flush() {
  size_t written = 0;
  Status s = write_all(fd_, write_, buf_.data(), len_, &written, kFlushWroteNothing);
  if (written != 0) {
    std::memmove(buf_.data(), buf_.data() + written, len_ - written);
    len_ -= written;
  }
  return s;
}

void BufferedOutput::flush_ignoring_errors() { (void)flush(); }

}  // namespace vornel
