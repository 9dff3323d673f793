// The writer's record of distinct encodings: a 16-byte digest per staged object,
// looked up by digest, so that equal values are staged once.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

namespace vornel::native {

inline constexpr size_t kDigestSize = 16;
using Digest = std::array<uint8_t, kDigestSize>;

// Open addressing over (digest, object ID) slots, at most half full: about 24 to 96
// bytes per distinct value, never the value's encoding itself.
class DigestTable {
 public:
  std::optional<uint64_t> find(const Digest& d) const {
    if (slots_.empty()) return std::nullopt;
    const Slot& s = slots_[probe(d)];
    if (s.id_plus_one == 0) return std::nullopt;
    return s.id_plus_one - 1;
  }

  // Records `d` for `obj_id`; a digest recorded before keeps its first object.
  void insert(const Digest& d, uint64_t obj_id) {
    if ((count_ + 1) * 2 > slots_.size()) grow();
    Slot& s = slots_[probe(d)];
    if (s.id_plus_one != 0) return;
    s.digest = d;
    s.id_plus_one = obj_id + 1;
    ++count_;
  }

  uint64_t size() const { return count_; }
  uint64_t memory_bytes() const { return slots_.capacity() * sizeof(Slot); }

 private:
  struct Slot {
    Digest digest;
    uint64_t id_plus_one = 0;  // 0: empty
  };

  // The slot holding `d`, or the empty one where it goes. The digest is uniform, so
  // its first bytes serve as the hash.
  size_t probe(const Digest& d) const {
    const size_t mask = slots_.size() - 1;
    uint64_t h;
    std::memcpy(&h, d.data(), sizeof h);
    for (size_t i = h & mask;; i = (i + 1) & mask) {
      const Slot& s = slots_[i];
      if (s.id_plus_one == 0 || s.digest == d) return i;
    }
  }

  void grow() {
    std::vector<Slot> old(slots_.empty() ? 16 : slots_.size() * 2);
    old.swap(slots_);
    for (const Slot& s : old) {
      if (s.id_plus_one != 0) slots_[probe(s.digest)] = s;
    }
  }

  std::vector<Slot> slots_;
  uint64_t count_ = 0;
};

}  // namespace vornel::native
