// Zero-filled working memory that is backed by huge pages when it is large and the
// system allows it. Random access over tens of megabytes (hash tables, key copies)
// then misses the TLB far less often, and filling fresh memory faults once per 2 MiB
// instead of once per 4 KiB.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <utility>

#include "util/port.hpp"

namespace vornel {

class LargeBuffer {
 public:
  LargeBuffer() = default;
  // `n` zero bytes; throws std::bad_alloc when the system has no memory for them.
  explicit LargeBuffer(size_t n) : size_(n) {
    if (n >= kMapMin) {
      map_aligned(n);
    } else {
      data_ = static_cast<uint8_t*>(std::calloc(n == 0 ? 1 : n, 1));
      if (data_ == nullptr) throw std::bad_alloc();
    }
  }
  LargeBuffer(LargeBuffer&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        mapped_(std::exchange(other.mapped_, 0)) {}
  LargeBuffer& operator=(LargeBuffer&& other) noexcept {
    if (this != &other) {
      release();
      data_ = std::exchange(other.data_, nullptr);
      size_ = std::exchange(other.size_, 0);
      mapped_ = std::exchange(other.mapped_, 0);
    }
    return *this;
  }
  LargeBuffer(const LargeBuffer&) = delete;
  LargeBuffer& operator=(const LargeBuffer&) = delete;
  ~LargeBuffer() { release(); }

  // Keeps the first `n` bytes (n <= size()) and returns the whole pages past them to
  // the system.
  void shrink(size_t n) {
    if (n >= size_) return;
    size_ = n;
    if (mapped_ == 0) return;
    constexpr size_t kPage = 4096;
    const size_t keep = (n + kPage - 1) / kPage * kPage;
    // Where the system's pages are larger, the call fails and the buffer keeps them.
    if (keep < mapped_ && keep != 0 && ::munmap(data_ + keep, mapped_ - keep) == 0) {
      mapped_ = keep;
    }
  }

  // Returns the whole pages inside [from, to) to the system; they read as zero after.
  // A buffer that a long pass consumes front to back can so shrink as it goes.
  void discard(size_t from, size_t to) {
    if (mapped_ == 0) return;
    constexpr size_t kPage = 4096;
    const size_t first = (from + kPage - 1) / kPage * kPage;
    const size_t last = (to < mapped_ ? to : mapped_) / kPage * kPage;
    if (first < last) (void)::madvise(data_ + first, last - first, MADV_DONTNEED);
  }

  uint8_t* data() const { return data_; }
  size_t size() const { return size_; }
  template <class T>
  T* as() const {
    return reinterpret_cast<T*>(data_);
  }

 private:
  static constexpr size_t kHugePage = size_t{2} << 20;
  static constexpr size_t kMapMin = 2 * kHugePage;

  // Maps n bytes (whole pages) starting at a huge-page boundary: the system backs
  // aligned 2 MiB ranges with huge pages, and the tail short of one keeps small pages
  // rather than growing to a whole huge page.
  void map_aligned(size_t n) {
    constexpr size_t kPage = 4096;
    if (n > SIZE_MAX - 2 * kHugePage) throw std::bad_alloc();
    const size_t length = (n + kPage - 1) / kPage * kPage;
    const size_t span = length + kHugePage;
    void* p = ::mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    auto* raw = static_cast<uint8_t*>(p);
    const size_t head = (kHugePage - reinterpret_cast<uintptr_t>(raw) % kHugePage) % kHugePage;
    if (head != 0) ::munmap(raw, head);
    if (span - head - length != 0) ::munmap(raw + head + length, span - head - length);
    data_ = raw + head;
    mapped_ = length;
    port::advise_huge_pages(data_, length);  // without it, plain pages
  }

  void release() {
    if (data_ == nullptr) return;
    if (mapped_ != 0) {
      ::munmap(data_, mapped_);
    } else {
      std::free(data_);
    }
    data_ = nullptr;
  }

  uint8_t* data_ = nullptr;
  size_t size_ = 0;
  size_t mapped_ = 0;  // length of the mapping, or 0 when the memory came from calloc
};

}  // namespace vornel
