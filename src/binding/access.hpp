// Shared and exclusive use of one instance, guarded by an atomic word, and the closing
// of an instance whose native state must outlive the calls still using it. A conflict
// fails at once: nothing here ever waits.
#pragma once

#include <atomic>
#include <cstdint>

namespace vornel::py {

// How a call uses its instance:
//   None       the wrapper claims nothing; the method claims what it needs itself;
//   Read       the state never changes after construction and the instance is never
//              closed: only check that nobody holds it exclusively, registering nothing,
//              so that lookups from many threads neither serialise nor contend;
//   Shared     registered use; many at once, none while it is held exclusively;
//   Exclusive  the only use.
enum class Access { None, Read, Shared, Exclusive };

// Why a claim was refused.
enum class Refusal { Conflict, Closed };

class AccessCounter {
 public:
  // Claims shared use; false with `why` set when the instance is held exclusively or
  // closed.
  bool try_shared(Refusal& why) {
    uint64_t seen = word_.load(std::memory_order_relaxed);
    for (;;) {
      if (seen & kClosed) return refuse(why, Refusal::Closed);
      if (seen & kExclusive) return refuse(why, Refusal::Conflict);
      if (word_.compare_exchange_weak(seen, seen + 1, std::memory_order_acquire,
                                      std::memory_order_relaxed)) {
        return true;
      }
    }
  }
  // Ends a shared use. True when it was the last use of a closed instance: the caller
  // then releases the native state.
  [[nodiscard]] bool release_shared() {
    return word_.fetch_sub(1, std::memory_order_acq_rel) == (kClosed | 1);
  }

  bool try_exclusive(Refusal& why) {
    uint64_t expected = 0;
    if (word_.compare_exchange_strong(expected, kExclusive, std::memory_order_acquire,
                                      std::memory_order_relaxed)) {
      return true;
    }
    return refuse(why, (expected & kClosed) ? Refusal::Closed : Refusal::Conflict);
  }
  // As release_shared, for the exclusive use.
  [[nodiscard]] bool release_exclusive() {
    return word_.fetch_and(~kExclusive, std::memory_order_acq_rel) == (kClosed | kExclusive);
  }

  // Whether shared use would be granted, without registering it (Access::Read).
  bool shared_available(Refusal& why) const {
    const uint64_t seen = word_.load(std::memory_order_acquire);
    if (seen & kClosed) return refuse(why, Refusal::Closed);
    if (seen & kExclusive) return refuse(why, Refusal::Conflict);
    return true;
  }

  // Refuses every later claim. True when nothing used the instance at that moment: the
  // caller then releases the native state; otherwise the last use ending does. False on
  // a second close as well.
  [[nodiscard]] bool close() {
    const uint64_t before = word_.fetch_or(kClosed, std::memory_order_acq_rel);
    return before == 0;
  }
  bool closed() const { return (word_.load(std::memory_order_acquire) & kClosed) != 0; }

 private:
  static constexpr uint64_t kClosed = uint64_t{1} << 63;
  static constexpr uint64_t kExclusive = uint64_t{1} << 62;  // below it: the shared uses

  static bool refuse(Refusal& why, Refusal r) {
    why = r;
    return false;
  }

  std::atomic<uint64_t> word_{0};
};

}  // namespace vornel::py
