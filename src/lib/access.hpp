// Shared and exclusive use of one instance, guarded by an atomic counter:
// 0 unused, n > 0 shared by n calls, -1 held exclusively. A conflict fails at once.
#pragma once

#include <atomic>
#include <cstdint>

namespace vornel::py {

class AccessCounter {
 public:
  bool try_shared() {
    int64_t seen = count_.load(std::memory_order_relaxed);
    while (seen != -1) {
      if (count_.compare_exchange_weak(seen, seen + 1, std::memory_order_acquire,
                                       std::memory_order_relaxed)) {
        return true;
      }
    }
    return false;
  }
  void release_shared() { count_.fetch_sub(1, std::memory_order_release); }

  bool try_exclusive() {
    int64_t expected = 0;
    return count_.compare_exchange_strong(expected, -1, std::memory_order_acquire,
                                          std::memory_order_relaxed);
  }
  void release_exclusive() { count_.store(0, std::memory_order_release); }

  // Whether shared use would be granted, without registering it. Enough for instances
  // that are never claimed exclusively (readers): their calls then write nothing shared,
  // so lookups from many threads neither serialise nor contend on the counter.
  bool shared_available() const { return count_.load(std::memory_order_acquire) != -1; }

 private:
  std::atomic<int64_t> count_{0};
};

// Shared and Exclusive register their use; Read only checks that shared use is
// available, for instances whose state never changes after construction.
enum class Access { Read, Shared, Exclusive };

// Claims access for the lifetime of the object; ok() tells whether it was granted.
template <Access A>
class Claim {
 public:
  explicit Claim(AccessCounter& counter) : counter_(counter), ok_(acquire(counter)) {}
  ~Claim() {
    if (!ok_) return;
    if constexpr (A == Access::Shared) {
      counter_.release_shared();
    } else if constexpr (A == Access::Exclusive) {
      counter_.release_exclusive();
    }
  }
  Claim(const Claim&) = delete;
  Claim& operator=(const Claim&) = delete;
  bool ok() const { return ok_; }

 private:
  static bool acquire(AccessCounter& counter) {
    if constexpr (A == Access::Read) return counter.shared_available();
    if constexpr (A == Access::Shared) return counter.try_shared();
    return counter.try_exclusive();
  }

  AccessCounter& counter_;
  bool ok_;
};

}  // namespace vornel::py
