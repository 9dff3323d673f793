// Files read front to back and written front to back through buffers of their own, by
// positional calls (pread, pwrite), so that several streams may share one descriptor and
// nothing of the file is mapped: a merge of many large files keeps only its buffers.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "util/crc32.hpp"
#include "util/key_bytes.hpp"
#include "util/store_error.hpp"
#include "util/file.hpp"

namespace vornel {

// The shape of pwrite(2), which tests substitute to fail it.
using PwriteFn = ssize_t (*)(int fd, const void* buf, size_t n, off_t offset);

// Reads all of [dst, dst + n) from `fd` at `offset`, retrying EINTR and continuing after
// short reads. False with *got < n at the end of the file; a failing read is an OS error.
[[nodiscard]] inline Status pread_all(int fd, uint8_t* dst, size_t n, uint64_t offset,
                                      size_t* got) {
  *got = 0;
  while (*got < n) {
    const ssize_t r = ::pread(fd, dst + *got, n - *got, static_cast<off_t>(offset + *got));
    if (r < 0) {
      if (errno == EINTR) continue;
      return fail(StoreError::os(errno));
    }
    if (r == 0) break;
    *got += static_cast<size_t>(r);
  }
  return {};
}

// Writes all of [p, p + n) to `fd` at `offset`, retrying EINTR and continuing after
// short writes. A write that stores nothing is ENOSPC, as the system says of a full disk.
[[nodiscard]] inline Status pwrite_all(PwriteFn pwrite_fn, int fd, const uint8_t* p, size_t n,
                                       uint64_t offset) {
  size_t done = 0;
  while (done < n) {
    const ssize_t r = pwrite_fn(fd, p + done, n - done, static_cast<off_t>(offset + done));
    if (r < 0) {
      if (errno == EINTR) continue;
      return fail(StoreError::os(errno));
    }
    if (r == 0) return fail(StoreError::os(ENOSPC));
    done += static_cast<size_t>(r);
  }
  return {};
}

// [begin, end) of a file read front to back. A file shorter than `end` is damage: the
// reads past its end fail with a VornCorruptError saying where it was cut.
class FileReader {
 public:
  FileReader() = default;
  // With `checksum`, the CRC-32 of every byte read from the file is kept (crc()), taken
  // as whole buffers come in; the reader then never skips ahead.
  FileReader(int fd, uint64_t begin, uint64_t end, size_t buffer_size, bool checksum = false)
      : fd_(fd),
        pos_(begin),
        end_(end),
        buffer_(std::make_unique_for_overwrite<uint8_t[]>(buffer_size)),
        size_(buffer_size),
        checksum_(checksum) {}

  // The CRC-32 of the bytes read from the file so far (read ahead into the buffer too).
  uint32_t crc() const { return crc_; }

  uint64_t position() const { return pos_ - (fill_ - at_); }
  uint64_t remaining() const { return end_ - position(); }

  size_t buffer_size() const { return size_; }

  // The next `n` bytes, valid until the next call. Reads longer than the buffer grow it:
  // read_into() suits those that may be long.
  [[nodiscard]] Result<const uint8_t*> read(size_t n) {
    if (n > fill_ - at_) {
      if (Status s = refill(n); !s) return fail(std::move(s.error()));
    }
    const uint8_t* p = buffer_.get() + at_;
    at_ += n;
    return p;
  }
  // The next `n` bytes into `dst`, of any length.
  [[nodiscard]] Status read_into(uint8_t* dst, size_t n) {
    const size_t buffered = std::min(n, fill_ - at_);
    if (buffered != 0) std::memcpy(dst, buffer_.get() + at_, buffered);
    at_ += buffered;
    if (buffered == n) return {};
    const size_t rest = n - buffered;
    if (rest > end_ - pos_) return fail(cut_short(pos_));
    size_t got = 0;
    if (Status s = pread_all(fd_, dst + buffered, rest, pos_, &got); !s) return s;
    if (got < rest) return fail(cut_since(pos_ + got));
    if (checksum_) crc_ = crc32_extend(crc_, dst + buffered, rest);
    pos_ += rest;
    return {};
  }
  // Passes over the next `n` bytes, reading them (into the checksum, when it is kept).
  [[nodiscard]] Status skip(uint64_t n) {
    while (n != 0) {
      if (fill_ == at_) {
        if (Status s = refill(1); !s) return s;
      }
      const size_t step = static_cast<size_t>(std::min<uint64_t>(n, fill_ - at_));
      at_ += step;
      n -= step;
    }
    return {};
  }

  // Moves to `offset`, which lies at or after position() and within the range. Not for
  // a reader that keeps a checksum: skip() instead.
  void seek_forward(uint64_t offset) {
    if (offset - position() <= fill_ - at_) {
      at_ += static_cast<size_t>(offset - position());
    } else {
      pos_ = offset;
      at_ = fill_ = 0;
    }
  }

  // The error of a file that ends at `where`, before the range does.
  static StoreError cut_short(uint64_t where) {
    return StoreError::corrupt("file ends at byte " + std::to_string(where) +
                               ", before the data its header promises");
  }
  // The error of a file cut short at `where` since the range was taken from its size: no
  // damage of the file, an IO error, as a reader's mapping of it gives.
  static StoreError cut_since(uint64_t where) {
    return StoreError::changed(Fault::FileCut, where);
  }

 private:
  Status refill(size_t need) {
    if (need > size_) {
      // A read longer than the buffer (a long key): the buffer grows to hold it.
      auto larger = std::make_unique_for_overwrite<uint8_t[]>(need);
      if (fill_ != at_) std::memcpy(larger.get(), buffer_.get() + at_, fill_ - at_);
      buffer_ = std::move(larger);
      size_ = need;
      fill_ -= at_;
      at_ = 0;
    }
    if (fill_ != at_) std::memmove(buffer_.get(), buffer_.get() + at_, fill_ - at_);
    fill_ -= at_;
    at_ = 0;
    const size_t want = static_cast<size_t>(std::min<uint64_t>(size_ - fill_, end_ - pos_));
    size_t got = 0;
    if (Status s = pread_all(fd_, buffer_.get() + fill_, want, pos_, &got); !s) return s;
    if (checksum_) crc_ = crc32_extend(crc_, buffer_.get() + fill_, got);
    fill_ += got;
    pos_ += got;
    if (got < want) return fail(cut_since(pos_));
    if (fill_ < need) return fail(cut_short(pos_));
    return {};
  }

  int fd_ = -1;
  uint64_t pos_ = 0;  // of the byte after the buffered ones
  uint64_t end_ = 0;
  std::unique_ptr<uint8_t[]> buffer_;
  size_t size_ = 0;
  size_t at_ = 0;    // next unread byte of the buffer
  size_t fill_ = 0;  // bytes held in the buffer
  bool checksum_ = false;
  uint32_t crc_ = 0;
};

// Copies the `n` bytes at `offset` of a file being written to `dst`: those before `flushed`
// from the file `fd`, the rest from `buffer`, which holds the bytes from `flushed` on.
[[nodiscard]] inline Status read_written(int fd, uint64_t flushed, const uint8_t* buffer,
                                         uint64_t offset, uint8_t* dst, size_t n) {
  size_t from_file = 0;
  if (offset < flushed) {
    from_file = static_cast<size_t>(std::min<uint64_t>(n, flushed - offset));
    size_t got = 0;
    if (Status s = pread_all(fd, dst, from_file, offset, &got); !s) return s;
    if (got < from_file) return fail(StoreError::io("a file being written was cut short"));
  }
  if (from_file < n) std::memcpy(dst + from_file, buffer + (offset + from_file - flushed), n - from_file);
  return {};
}

// A file written front to back from `start`, through a buffer of its own.
class FileWriter {
 public:
  FileWriter() = default;
  // The CRC-32 of every byte appended is kept (crc()), taken as whole buffers go out.
  FileWriter(int fd, uint64_t start, size_t buffer_size, PwriteFn pwrite_fn = ::pwrite)
      : fd_(fd), flushed_(start), pwrite_(pwrite_fn) {
    buffer_.reserve(buffer_size);
  }

  // The CRC-32 of the bytes appended so far; flush() first.
  uint32_t crc() const { return crc_; }

  // Where the next byte goes.
  uint64_t position() const { return flushed_ + buffer_.size(); }

  [[nodiscard]] Status append(const uint8_t* p, size_t n) {
    if (n > buffer_.capacity() - buffer_.size()) {
      if (Status s = flush(); !s) return s;
      if (n >= buffer_.capacity()) {
        if (Status s = pwrite_all(pwrite_, fd_, p, n, flushed_); !s) return s;
        crc_ = crc32_extend(crc_, p, n);
        flushed_ += n;
        return {};
      }
    }
    buffer_.insert(buffer_.end(), p, p + n);
    return {};
  }
  [[nodiscard]] Status append(Bytes b) { return append(b.data(), b.size()); }

  [[nodiscard]] Status flush() {
    if (buffer_.empty()) return {};
    if (Status s = pwrite_all(pwrite_, fd_, buffer_.data(), buffer_.size(), flushed_); !s) {
      return s;
    }
    crc_ = crc32_extend(crc_, buffer_.data(), buffer_.size());
    flushed_ += buffer_.size();
    buffer_.clear();
    return {};
  }

  // Copies the `n` bytes written at `offset` (below position()) to `dst`: from the buffer
  // where they still are, else from the file.
  [[nodiscard]] Status read_back(uint64_t offset, uint8_t* dst, size_t n) const {
    return read_written(fd_, flushed_, buffer_.data(), offset, dst, n);
  }

 private:
  int fd_ = -1;
  uint64_t flushed_ = 0;  // position of the first buffered byte
  PwriteFn pwrite_ = ::pwrite;
  std::vector<uint8_t> buffer_;
  uint32_t crc_ = 0;
};

// A file that no directory names: created in `dir` and unlinked at once, so that it goes
// with its descriptor whatever ends the process. `suffix` ends the name it had for that
// moment. Failures are VornIOErrors "create {what} in {dir}: {error}".
[[nodiscard]] Result<FileDescriptor> create_unnamed_file(const std::string& dir,
                                                         std::string_view suffix,
                                                         std::string_view what);

}  // namespace vornel
