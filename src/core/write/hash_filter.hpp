// A set of 64-bit hashes as a blocked Bloom filter of about 12 bits each: a hash not in
// the set is answered "no" but for about one in 300, and one in it never (at about 6
// bits each, kSparse, one in 20). A query reads one cache line, so that asking several
// filters costs little more than asking one.
#pragma once

#include <cstddef>
#include <cstdint>

#include "util/large_buffer.hpp"
#include "util/port.hpp"

namespace vornel {

class HashFilter {
 public:
  // A filter for about `expected` hashes, which must be well mixed: the line comes from
  // their high bits, the bits within it from the low 45.
  explicit HashFilter(uint64_t expected, uint64_t per_line = kPerLine) {
    const uint64_t lines = expected / per_line + 1;
    lines_ = LargeBuffer(static_cast<size_t>(lines) * sizeof(Line));
    count_lines_ = lines;
  }

  void add(uint64_t h) {
    Line& line = lines_.as<Line>()[line_of(h)];
    for (int k = 0; k < kBits; ++k) {
      const unsigned bit = (h >> (k * 9)) & 511;
      line.words[bit >> 6] |= uint64_t{1} << (bit & 63);
    }
  }
  bool maybe(uint64_t h) const {
    const Line& line = lines_.as<Line>()[line_of(h)];
    for (int k = 0; k < kBits; ++k) {
      const unsigned bit = (h >> (k * 9)) & 511;
      if ((line.words[bit >> 6] & (uint64_t{1} << (bit & 63))) == 0) return false;
    }
    return true;
  }
  void prefetch(uint64_t h) const { __builtin_prefetch(&lines_.as<Line>()[line_of(h)]); }

  uint64_t memory_bytes() const { return lines_.size(); }
  // What a filter for `expected` hashes takes, and how many hashes `bytes` of one hold.
  static uint64_t memory_for(uint64_t expected, uint64_t per_line = kPerLine) {
    return (expected / per_line + 1) * sizeof(Line);
  }
  static uint64_t capacity_of(uint64_t bytes, uint64_t per_line = kPerLine) {
    return bytes / sizeof(Line) * per_line;
  }

  static constexpr uint64_t kPerLine = 42;  // hashes per line: about 12 bits each
  static constexpr uint64_t kSparse = 85;   // about 6 bits each

 private:
  struct Line {
    uint64_t words[8];  // one cache line of 512 bits
  };
  static constexpr int kBits = 5;  // bits set per hash
  size_t line_of(uint64_t h) const { return static_cast<size_t>(port::mul_high(h, count_lines_)); }

  LargeBuffer lines_;
  uint64_t count_lines_ = 1;
};

}  // namespace vornel
