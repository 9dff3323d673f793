#include "publish.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
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

// Opens the temporary file for this build alone and empties it. Builders to one
// target share the temporary path, so each holds an exclusive lock on it from here
// until after its rename. A builder that waited for the lock may find the file it
// opened already renamed over the target; it starts again, on a new one, rather
// than truncate a published store. Failures read "open tmp: {}".
Result<FileDescriptor> open_temporary(const std::string& c_path) {
  constexpr int kFlags = O_WRONLY | O_CREAT | O_CLOEXEC;  // no O_TRUNC before the lock
  for (;;) {
    FileDescriptor fd(retry_eintr([&] { return ::open(c_path.c_str(), kFlags, kNewFileMode); }));
    if (!fd.valid()) return fail(StoreError::os(errno, "open tmp: "));
    if (retry_eintr([&] { return ::flock(fd.get(), LOCK_EX); }) != 0) {
      return fail(StoreError::os(errno, "open tmp: "));
    }
    struct stat held, named;
    if (::fstat(fd.get(), &held) != 0) return fail(StoreError::os(errno, "open tmp: "));
    if (::stat(c_path.c_str(), &named) != 0) {
      if (errno == ENOENT) continue;  // renamed away while we waited
      return fail(StoreError::os(errno, "open tmp: "));
    }
    if (held.st_dev != named.st_dev || held.st_ino != named.st_ino) continue;
    // As O_TRUNC would: a device or FIFO at the temporary path is left as it is.
    if (S_ISREG(held.st_mode) && retry_eintr([&] { return ::ftruncate(fd.get(), 0); }) != 0) {
      return fail(StoreError::os(errno, "open tmp: "));
    }
    return fd;
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

// Writes the pieces and fsyncs them. A failed write is flushed once more, its outcome
// ignored, unless the file is to go anyway.
Status write_and_sync(int fd, std::initializer_list<Bytes> pieces, const PublishOptions& options) {
  BufferedOutput out(fd, options.calls.write);
  if (Status written = write_pieces(out, pieces, options); !written) {
    if (!options.remove_temp_on_failure) out.flush_ignoring_errors();
    return written;
  }
  uint64_t total = 0;
  for (Bytes piece : pieces) total += piece.size();
  if (!carry_on(options, BuildPhase::Fsync, total, total)) return fail(StoreError::cancelled());
  if (retry_eintr([&] { return options.calls.fsync(fd); }) != 0) {
    return fail(StoreError::os(errno));
  }
  // A cancel that came while fsync ran is seen here, before the target changes.
  if (!carry_on(options, BuildPhase::Rename, total, total)) return fail(StoreError::cancelled());
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
  struct stat held, named;
  if (::fstat(fd, &held) == 0 && ::stat(c_path.c_str(), &named) == 0 &&
      held.st_dev == named.st_dev && held.st_ino == named.st_ino) {
    (void)::unlink(c_path.c_str());
  }
}

// Everything between opening the temporary file and renaming it.
Status fill_temporary(std::string_view path, int fd, std::initializer_list<Bytes> pieces,
                      const PublishOptions& options) {
  if (options.keep_mode) {
    if (Status s = keep_mode_of(path, fd); !s) return s;
  }
  return write_and_sync(fd, pieces, options);
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

Status publish(std::string_view path, std::initializer_list<Bytes> pieces,
               const PublishOptions& options) {
  const std::string tmp_path = temp_path_for(path);
  std::string tmp_c;
  if (!to_c_path(tmp_path, tmp_c)) {
    return fail(StoreError::io(std::string("open tmp: ") + kNulInPathText));
  }
  auto fd = open_temporary(tmp_c);
  if (!fd) return fail(std::move(fd.error()));
  // From here a failure may take the temporary file with it.
  auto failed = [&](StoreError e) {
    if (options.remove_temp_on_failure) remove_temporary(fd->get(), tmp_c);
    return fail(std::move(e));
  };
  if (Status s = fill_temporary(path, fd->get(), pieces, options); !s) {
    return failed(std::move(s.error()));
  }

  std::string path_c;
  if (!to_c_path(path, path_c)) {
    return failed(StoreError::io(std::string("rename: ") + kNulInPathText));
  }
  if (retry_eintr([&] { return options.calls.rename(tmp_c.c_str(), path_c.c_str()); }) != 0) {
    return failed(StoreError::os(errno, "rename: "));
  }
  // The lock ends with the descriptor, only now that the file has its final name.
  // Closing cannot lose what fsync has stored; its failure is ignored.
  fd->reset();
  sync_directory_of(tmp_path);
  return {};
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
