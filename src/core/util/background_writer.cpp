#include "background_writer.hpp"

#include <utility>

namespace vornel {

BackgroundWriter::BackgroundWriter(int fd, uint64_t start, size_t buffer_size, PwriteFn pwrite_fn)
    : fd_(fd),
      pwrite_(pwrite_fn),
      fill_(std::make_unique_for_overwrite<uint8_t[]>(buffer_size)),
      spare_(std::make_unique_for_overwrite<uint8_t[]>(buffer_size)),
      capacity_(buffer_size),
      handed_(start),
      thread_([this] { run(); }) {}

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
    changed_.wait(lock, [&] { return busy_ || stopping_; });
    if (!busy_) return;
    const uint8_t* bytes = spare_.get();
    const size_t size = job_size_;
    const uint64_t at = job_at_;
    uint32_t crc = crc_;
    lock.unlock();
    crc = crc32_extend(crc, bytes, size);
    Status written = pwrite_all(pwrite_, fd_, bytes, size, at);
    lock.lock();
    crc_ = crc;
    if (!written && !error_) error_ = std::move(written.error());
    busy_ = false;
    changed_.notify_all();
  }
}

Status BackgroundWriter::wait_idle() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] { return !busy_; });
  if (error_) return fail(*error_);
  return {};
}

Status BackgroundWriter::hand_over() {
  if (used_ == 0) return {};
  if (Status s = wait_idle(); !s) return s;
  {
    std::lock_guard lock(mutex_);
    std::swap(fill_, spare_);
    job_size_ = used_;
    job_at_ = handed_;
    busy_ = true;
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
  if (Status s = wait_idle(); !s) return s;
  size_t from_file = 0;
  if (offset < handed_) {
    from_file = static_cast<size_t>(std::min<uint64_t>(n, handed_ - offset));
    size_t got = 0;
    if (Status s = pread_all(fd_, dst, from_file, offset, &got); !s) return s;
    if (got < from_file) return fail(StoreError::io("a file being written was cut short"));
  }
  if (from_file < n) {
    std::memcpy(dst + from_file, fill_.get() + (offset + from_file - handed_), n - from_file);
  }
  return {};
}

}  // namespace vornel
