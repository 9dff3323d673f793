#include "util/background_writer.hpp"

#include <utility>

namespace vornel {

BackgroundWriter::BackgroundWriter(int fd, uint64_t start, size_t buffer_size, PwriteFn pwrite_fn)
    : fd_(fd),
      pwrite_(pwrite_fn),
      fill_(std::make_unique_for_overwrite<uint8_t[]>(buffer_size)),
      capacity_(buffer_size),
      handed_(start) {
  for (size_t i = 1; i < kBuffers; ++i) free_.push_back(std::make_unique_for_overwrite<uint8_t[]>(buffer_size));
  thread_ = std::thread([this] { run(); });
}

BackgroundWriter::~BackgroundWriter() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

void BackgroundWriter::run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    changed_.wait(lock, [&] { return !jobs_.empty() || stopping_; });
    if (jobs_.empty()) return;
    Job job = std::move(jobs_.front());
    jobs_.pop_front();
    writing_ = true;
    const bool failed = error_.has_value();
    uint32_t crc = crc_;
    lock.unlock();
    // After a failure the rest is only handed back: the file is not finished anyway.
    Status written;
    if (!failed) {
      crc = crc32_extend(crc, job.bytes.get(), job.size);
      written = pwrite_all(pwrite_, fd_, job.bytes.get(), job.size, job.at);
    }
    lock.lock();
    crc_ = crc;
    if (!written && !error_) error_ = std::move(written.error());
    free_.push_back(std::move(job.bytes));
    writing_ = false;
    changed_.notify_all();
  }
}

Status BackgroundWriter::wait_idle() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] { return jobs_.empty() && !writing_; });
  if (error_) return fail(*error_);
  return {};
}

Status BackgroundWriter::hand_over() {
  if (used_ == 0) return {};
  {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return !free_.empty(); });
    if (error_) return fail(*error_);
    jobs_.push_back({std::move(fill_), used_, handed_});
    fill_ = std::move(free_.back());
    free_.pop_back();
  }
  changed_.notify_all();
  handed_ += used_;
  used_ = 0;
  return {};
}

Status BackgroundWriter::flush() {
  if (Status s = hand_over(); !s) return s;
  return wait_idle();
}

Status BackgroundWriter::read_back(uint64_t offset, uint8_t* dst, size_t n) {
  // Bytes still in the buffer being filled need no wait; those handed over may be queued.
  if (offset < handed_) {
    if (Status s = wait_idle(); !s) return s;
  }
  return read_written(fd_, handed_, fill_.get(), offset, dst, n);
}

}  // namespace vornel
