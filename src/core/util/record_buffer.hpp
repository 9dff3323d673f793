// One growable, contiguous byte buffer in its own anonymous mapping. Growth remaps
// pages instead of copying bytes, so large contents are written once and never moved
// by a copy; a pointer into the buffer is valid until the next extend().
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <new>
#include <utility>

#include "util/port.hpp"

namespace vornel {

class RecordBuffer {
 public:
  RecordBuffer() = default;
  RecordBuffer(const RecordBuffer&) = delete;
  RecordBuffer& operator=(const RecordBuffer&) = delete;
  RecordBuffer(RecordBuffer&& other) noexcept
      : base_(std::exchange(other.base_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        capacity_(std::exchange(other.capacity_, 0)) {}
  RecordBuffer& operator=(RecordBuffer&& other) noexcept {
    if (this != &other) {
      if (base_ != nullptr) ::munmap(base_, capacity_);
      base_ = std::exchange(other.base_, nullptr);
      size_ = std::exchange(other.size_, 0);
      capacity_ = std::exchange(other.capacity_, 0);
    }
    return *this;
  }
  ~RecordBuffer() {
    if (base_ != nullptr) ::munmap(base_, capacity_);
  }

  // Appends `n` uninitialised bytes and returns them. Throws std::bad_alloc, leaving
  // the buffer as it was, when the system has no memory for them.
  uint8_t* extend(size_t n) {
    if (n > capacity_ - size_) reserve(n);
    uint8_t* p = base_ + size_;
    size_ += n;
    return p;
  }

  const uint8_t* data() const { return base_; }
  uint8_t* data() { return base_; }
  size_t size() const { return size_; }

 private:
  static constexpr size_t kPage = 4096;
  static constexpr size_t kInitial = size_t{64} << 10;
  static constexpr size_t kHugePage = size_t{2} << 20;
  // Huge pages only pay once the buffer is large; a small writer would otherwise
  // take a whole 2 MiB page for a few records.
  static constexpr size_t kHugeMin = 2 * kHugePage;

  void reserve(size_t n) {
    if (n > SIZE_MAX / 2 - size_) throw std::bad_alloc();
    size_t want = capacity_ * 2 > size_ + n ? capacity_ * 2 : size_ + n;
    if (want < kInitial) want = kInitial;
    const size_t granule = want >= kHugeMin ? kHugePage : kPage;
    want = (want + granule - 1) / granule * granule;
    void* p = base_ == nullptr
                  ? ::mmap(nullptr, want, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)
                  : port::grow_mapping(base_, capacity_, want);
    if (p == MAP_FAILED) throw std::bad_alloc();
    // Fresh pages fault in 4 KiB at a time otherwise; a hint, so its failure is harmless.
    if (want >= kHugeMin) port::advise_huge_pages(p, want);
    base_ = static_cast<uint8_t*>(p);
    capacity_ = want;
  }

  uint8_t* base_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

}  // namespace vornel
