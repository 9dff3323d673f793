// Asks the disk to store a file's written bytes while the writer goes on: a thread of its
// own calls sync_file_range(SYNC_FILE_RANGE_WRITE) on what it is told is written, so that
// the work of starting the writes runs beside the writer, and the fsync that ends the
// file waits for little more than its tail. Only a hint: nothing depends on it, and its
// failures change nothing.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

namespace vornel {

class Writeback {
 public:
  // For the descriptor `fd`, which must stay open until stop() or the destructor.
  explicit Writeback(int fd);
  Writeback(const Writeback&) = delete;
  Writeback& operator=(const Writeback&) = delete;
  ~Writeback() { stop(); }

  // The bytes of the file before `end` are written; their writeback starts once they add
  // up to a step.
  void written(uint64_t end);
  // Ends the thread, after the writeback it has started.
  void stop();

 private:
  void run();

  int fd_;
  std::mutex mutex_;
  std::condition_variable wake_;
  uint64_t asked_ = 0;  // the bytes before this are written
  uint64_t told_ = 0;   // the thread was last woken for the bytes before this
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace vornel
