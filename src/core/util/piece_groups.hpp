// Values below a limit, grouped by the 64 KiB piece of [0, limit) that each falls in, so that
// they can be visited a piece at a time: verify() groups record offsets by the stretch of
// the file they start in.
//
// Each piece's values, kept as their 16-bit place in the piece, go to a list of fixed-size
// chunks drawn from one pool. Grouping is then a single pass with one write stream per piece,
// with no counting pass before it and no array of all the values beside it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <vector>

#include "util/large_buffer.hpp"

namespace vornel {

class PieceGroups {
 public:
  static constexpr unsigned kPieceBits = 16;
  static constexpr uint64_t kPieceSize = uint64_t{1} << kPieceBits;
  using Place = std::conditional_t<(kPieceBits <= 16), uint16_t, uint32_t>;

  // Room for `count` values below `limit`.
  PieceGroups(uint64_t limit, size_t count)
      : head_(pieces_for(limit), kNone),
        tail_(head_.size()),
        fill_(head_.size(), kChunk),  // full: the first value of a piece takes a chunk
        next_(head_.size() + count / kChunk + 1),
        pool_(next_.size() * kChunk * sizeof(Place)) {}

  size_t pieces() const { return head_.size(); }

  // Adds v, which must lie below the limit; at most `count` calls.
  void add(uint64_t v) {
    const auto p = static_cast<size_t>(v >> kPieceBits);
    if (fill_[p] == kChunk) take_chunk(p);
    pool_.as<Place>()[size_t{tail_[p]} * kChunk + fill_[p]++] = static_cast<Place>(v % kPieceSize);
  }

  // Asks for the first chunk of piece p ahead of for_each.
  void prefetch(size_t p) const {
    if (p < head_.size() && head_[p] != kNone) prefetch_chunk(head_[p]);
  }

  // Calls f(place) for the place in piece p of each value added there, in no set order.
  template <class F>
  void for_each(size_t p, F&& f) const {
    for (uint32_t c = head_[p]; c != kNone; c = next_[c]) {
      // Chunks lie anywhere in the pool: the hardware does not see the next one coming.
      if (next_[c] != kNone) prefetch_chunk(next_[c]);
      const Place* const places = pool_.as<Place>() + size_t{c} * kChunk;
      const size_t n = c == tail_[p] ? fill_[p] : kChunk;
      for (size_t j = 0; j < n; ++j) f(places[j]);
    }
  }

 private:
  static constexpr uint32_t kNone = UINT32_MAX;
  static constexpr uint16_t kChunk = 256;  // places

  static size_t pieces_for(uint64_t limit) {
    return static_cast<size_t>((limit + kPieceSize - 1) >> kPieceBits);
  }

  void prefetch_chunk(uint32_t c) const {
    const auto* bytes = reinterpret_cast<const char*>(pool_.as<Place>() + size_t{c} * kChunk);
    for (size_t at = 0; at < kChunk * sizeof(Place); at += 64) __builtin_prefetch(bytes + at);
  }

  // Every piece but the last leaves its last chunk part-filled at worst: the pool holds one
  // chunk per piece and one per kChunk values.
  void take_chunk(size_t p) {
    const uint32_t c = used_++;
    next_[c] = kNone;
    if (head_[p] == kNone) {
      head_[p] = c;
    } else {
      next_[tail_[p]] = c;
    }
    tail_[p] = c;
    fill_[p] = 0;
  }

  std::vector<uint32_t> head_;  // per piece: first chunk, or kNone
  std::vector<uint32_t> tail_;  // per piece: the chunk being filled
  std::vector<uint16_t> fill_;  // per piece: places in its tail chunk
  std::vector<uint32_t> next_;  // per chunk: the piece's next chunk, or kNone
  LargeBuffer pool_;  // on huge pages where it can: faulted in once per 2 MiB
  uint32_t used_ = 0;
};

}  // namespace vornel
