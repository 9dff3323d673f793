// A bump allocator over blocks of 1 MiB, or of a size given: many small copies (staged
// keys) without one heap allocation each, laid out in the order they were made. Memory
// lives as long as the arena, and returned pointers never move.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace vornel {

class Arena {
 public:
  static constexpr size_t kBlockSize = size_t{1} << 20;

  Arena() = default;
  // An arena over blocks of `block_size` bytes, for one that holds little.
  explicit Arena(size_t block_size) : block_size_(block_size) {}
  Arena(const Arena&) = delete;
  Arena& operator=(const Arena&) = delete;
  Arena(Arena&&) = default;
  Arena& operator=(Arena&&) = default;

  // Bytes handed out so far.
  size_t used() const { return used_; }

  // Returns `n` uninitialised bytes; never null, also for n == 0. Larger than a block,
  // they get a block of their own.
  uint8_t* allocate(size_t n) {
    if (n > left_) {
      const size_t size = std::max(n, block_size_);
      blocks_.push_back(std::make_unique_for_overwrite<uint8_t[]>(size));
      next_ = blocks_.back().get();
      left_ = size;
    }
    uint8_t* p = next_;
    next_ += n;
    left_ -= n;
    used_ += n;
    return p;
  }

 private:
  std::vector<std::unique_ptr<uint8_t[]>> blocks_;
  size_t block_size_ = kBlockSize;
  uint8_t* next_ = empty_;
  size_t left_ = 0;
  size_t used_ = 0;
  static inline uint8_t empty_[1] = {};
};

}  // namespace vornel
