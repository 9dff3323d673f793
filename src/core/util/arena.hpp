// A bump allocator over blocks of 1 MiB: many small copies (staged keys) without one
// heap allocation each, laid out in the order they were made. Memory lives as long as
// the arena, and returned pointers never move.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace vornel {

class Arena {
 public:
  static constexpr size_t kBlockSize = size_t{1} << 20;

  Arena() = default;
  Arena(const Arena&) = delete;
  Arena& operator=(const Arena&) = delete;
  Arena(Arena&&) = default;
  Arena& operator=(Arena&&) = default;

  // Bytes handed out so far.
  size_t used() const { return used_; }

  // Returns `n` uninitialised bytes, n at most kBlockSize; never null, also for n == 0.
  uint8_t* allocate(size_t n) {
    if (n > left_) {
      blocks_.push_back(std::make_unique_for_overwrite<uint8_t[]>(kBlockSize));
      next_ = blocks_.back().get();
      left_ = kBlockSize;
    }
    uint8_t* p = next_;
    next_ += n;
    left_ -= n;
    used_ += n;
    return p;
  }

 private:
  std::vector<std::unique_ptr<uint8_t[]>> blocks_;
  uint8_t* next_ = empty_;
  size_t left_ = 0;
  size_t used_ = 0;
  static inline uint8_t empty_[1] = {};
};

}  // namespace vornel
