#include "util/writeback.hpp"

#include <fcntl.h>

namespace vornel {
namespace {

// Bytes written between two wakes of the thread.
constexpr uint64_t kStep = uint64_t{8} << 20;

}  // namespace

Writeback::Writeback(int fd) : fd_(fd), thread_([this] { run(); }) {}

void Writeback::written(uint64_t end) {
  if (end < told_ + kStep) return;
  {
    std::lock_guard lock(mutex_);
    asked_ = end;
  }
  told_ = end;
  wake_.notify_one();
}

void Writeback::stop() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_one();
  thread_.join();
}

void Writeback::run() {
  uint64_t done = 0;
  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait(lock, [&] { return stopping_ || asked_ > done; });
    if (stopping_) return;
    const uint64_t end = asked_;
    lock.unlock();
    ::sync_file_range(fd_, static_cast<off_t>(done), static_cast<off_t>(end - done),
                      SYNC_FILE_RANGE_WRITE);
    done = end;
    lock.lock();
  }
}

}  // namespace vornel
