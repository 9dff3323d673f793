// PieceGroups against a plain model: every value comes back once, in its own piece.
#include "util/piece_groups.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <random>
#include <vector>

namespace vornel {
namespace {

constexpr uint64_t kPiece = PieceGroups::kPieceSize;

// The values of each piece as the groups give them back, sorted, keyed by piece.
std::map<size_t, std::vector<uint64_t>> regrouped(const PieceGroups& groups) {
  std::map<size_t, std::vector<uint64_t>> out;
  for (size_t p = 0; p < groups.pieces(); ++p) {
    groups.prefetch(p);
    groups.for_each(p, [&](PieceGroups::Place place) {
      ASSERT_LT(place, kPiece);
      out[p].push_back(p * kPiece + place);
    });
    if (out.count(p)) std::sort(out[p].begin(), out[p].end());
  }
  return out;
}

std::map<size_t, std::vector<uint64_t>> model(std::vector<uint64_t> values) {
  std::map<size_t, std::vector<uint64_t>> out;
  std::sort(values.begin(), values.end());
  for (uint64_t v : values) out[static_cast<size_t>(v / kPiece)].push_back(v);
  return out;
}

TEST(PieceGroups, EveryValueOnceInItsPiece) {
  std::mt19937_64 rng(3);
  // Limits on and beside piece edges; counts that leave pieces empty, part-filled, and
  // crowded into many chunks; repeats; the first and last value below the limit.
  for (uint64_t limit : {uint64_t{1}, kPiece - 1, kPiece, kPiece + 1, 7 * kPiece + 12345}) {
    for (size_t count : {size_t{0}, size_t{1}, size_t{300}, size_t{20000}}) {
      std::vector<uint64_t> values;
      for (size_t i = 0; i < count; ++i) {
        switch (i % 4) {
          case 0: values.push_back(rng() % limit); break;
          case 1: values.push_back(rng() % std::min(limit, kPiece / 4)); break;  // crowded
          case 2: values.push_back(i % 8 == 2 ? 0 : limit - 1); break;
          default: values.push_back(values[rng() % values.size()]); break;  // a repeat
        }
      }
      PieceGroups groups(limit, count);
      EXPECT_EQ(groups.pieces(), (limit + kPiece - 1) / kPiece);
      for (uint64_t v : values) groups.add(v);
      EXPECT_EQ(regrouped(groups), model(values)) << "limit " << limit << ", count " << count;
    }
  }
}

}  // namespace
}  // namespace vornel
