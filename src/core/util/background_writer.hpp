// A file written front to back from `start` as FileWriter writes it, except that each
// full buffer goes to a thread of its own, which checksums it and writes it while the
// caller fills the next: the copy into the kernel runs beside the work that makes the
// bytes. A few buffers wait for the thread at most, so that either side's hiccups do not
// stall the other.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "util/file_stream.hpp"

namespace vornel {

class BackgroundWriter {
 public:
  BackgroundWriter(int fd, uint64_t start, size_t buffer_size, PwriteFn pwrite_fn = ::pwrite);
  BackgroundWriter(const BackgroundWriter&) = delete;
  BackgroundWriter& operator=(const BackgroundWriter&) = delete;
  ~BackgroundWriter();

  // Where the next byte goes.
  uint64_t position() const { return handed_ + used_; }
  // The bytes before this have gone to the thread, if not yet into the file.
  uint64_t handed() const { return handed_; }

  [[nodiscard]] Status append(const uint8_t* p, size_t n) {
    return append_with(n, [&](uint8_t* dst, size_t k) -> Status {
      std::memcpy(dst, p, k);
      p += k;
      return {};
    });
  }
  [[nodiscard]] Status append(Bytes b) { return append(b.data(), b.size()); }

  // Appends `n` bytes that fill(dst, k) writes into the buffer, k at a time as it has
  // room. A failing fill() stops the append with its error.
  template <class Fill>
  [[nodiscard]] Status append_with(uint64_t n, Fill&& fill) {
    while (n != 0) {
      if (used_ == capacity_) {
        if (Status s = hand_over(); !s) return s;
      }
      const size_t k = static_cast<size_t>(std::min<uint64_t>(n, capacity_ - used_));
      if (Status s = fill(fill_.get() + used_, k); !s) return s;
      used_ += k;
      n -= k;
    }
    return {};
  }

  // Writes everything appended, and waits until it is in the file.
  [[nodiscard]] Status flush();
  // The CRC-32 of the bytes appended so far; flush() first.
  uint32_t crc() const { return crc_; }
  // Copies the `n` bytes written at `offset` (below position()) to `dst`.
  [[nodiscard]] Status read_back(uint64_t offset, uint8_t* dst, size_t n);

 private:
  // Gives the thread the buffer filled, once it is done with the one before.
  [[nodiscard]] Status hand_over();
  // Waits until the thread holds no buffer; the error it met, if any.
  [[nodiscard]] Status wait_idle();
  void run();

  static constexpr size_t kBuffers = 4;
  struct Job {
    std::unique_ptr<uint8_t[]> bytes;
    size_t size;
    uint64_t at;
  };

  int fd_;
  PwriteFn pwrite_;
  std::unique_ptr<uint8_t[]> fill_;  // the caller's
  size_t capacity_;
  size_t used_ = 0;
  uint64_t handed_;  // where fill_[0] goes

  // Shared with the thread, under mutex_.
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Job> jobs_;                           // oldest first
  std::vector<std::unique_ptr<uint8_t[]>> free_;   // buffers written out
  bool writing_ = false;  // the thread holds a job that it took off jobs_
  bool stopping_ = false;
  std::optional<StoreError> error_;
  uint32_t crc_ = 0;  // the thread's, read while it is idle
  std::thread thread_;
};

}  // namespace vornel
