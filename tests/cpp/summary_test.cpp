// The bindings' summary lines: _vornel's fixed one, byte for byte with its rounding,
// and the package's, in binary units.
#include "summary.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

namespace vornel {
namespace {

// Round-half-even of size/1024 to tenths in integer arithmetic, exact for any size.
std::string tenths_kb(uint64_t size) {
  const uint64_t scaled = size * 10;
  uint64_t q = scaled / 1024;
  const uint64_t r = scaled % 1024;
  if (r * 2 > 1024 || (r * 2 == 1024 && q % 2 == 1)) ++q;
  return std::to_string(q / 10) + "." + std::to_string(q % 10);
}

std::string size_field(const std::string& line) {
  const size_t end = line.rfind(" KB\n");
  const size_t start = line.rfind(' ', end - 1) + 1;
  return line.substr(start, end - start);
}

TEST(SummaryLine, IsByteExact) {
  const std::string line = fixed_summary_line("out/s.vrnl", BuildReport{3, 12, 1331});
  EXPECT_EQ(line,
            "\xE2\x9C\x85  out/s.vrnl  \xE2\x80\x94  3 objects \xC2\xB7 12 keys \xC2\xB7 1.3 KB\n");
  EXPECT_EQ(fixed_summary_line("", BuildReport{0, 0, 40}),
            "\xE2\x9C\x85    \xE2\x80\x94  0 objects \xC2\xB7 0 keys \xC2\xB7 0.0 KB\n");
}

TEST(SummaryLine, HalfwaySizesRoundToEven) {
  for (const auto& [size, text] : std::vector<std::pair<uint64_t, std::string>>{
           {40, "0.0"}, {256, "0.2"}, {768, "0.8"}, {1280, "1.2"}, {1331, "1.3"}, {1792, "1.8"}}) {
    EXPECT_EQ(size_field(fixed_summary_line("p", BuildReport{0, 0, size})), text) << size;
  }
}

TEST(SummaryLine, SizeMatchesExactRoundingModel) {
  // Below 2^53 bytes the quotient is exact in a double, so the model must agree everywhere.
  std::vector<uint64_t> sizes;
  for (uint64_t s = 0; s < 40000; ++s) sizes.push_back(s);
  for (uint64_t s : {uint64_t{1} << 30, (uint64_t{5} << 30) + 256, (uint64_t{1} << 40) + 768,
                     (uint64_t{1} << 52) + 1280, (uint64_t{1} << 53) - 1}) {
    sizes.push_back(s);
  }
  for (uint64_t s : sizes) {
    ASSERT_EQ(size_field(fixed_summary_line("p", BuildReport{0, 0, s})), tenths_kb(s)) << s;
  }
}

TEST(SummaryLine, LargestSizeKeepsEveryDigit) {
  // 2^64 - 1 bytes is 2^54 KiB once rounded to a double: all 17 digits, then ".0".
  const std::string line = fixed_summary_line("p", BuildReport{UINT64_MAX, UINT64_MAX, UINT64_MAX});
  EXPECT_EQ(size_field(line), "18014398509481984.0");
  EXPECT_NE(line.find("18446744073709551615 objects"), std::string::npos);
}

TEST(PackageSummaryLine, NamesTheSizeInBinaryUnitsWithoutANewline) {
  EXPECT_EQ(summary_line("out/s.vrnl", 3, 12, 52'756'123),
            "\xE2\x9C\x85  out/s.vrnl  \xE2\x80\x94  3 objects \xC2\xB7 12 keys \xC2\xB7 50.3 MiB");
}

TEST(PackageSummaryLine, CountsOneInTheSingularWhereTheFixedLineDoesNot) {
  EXPECT_EQ(summary_line("p", 1, 1, 40),
            "\xE2\x9C\x85  p  \xE2\x80\x94  1 object \xC2\xB7 1 key \xC2\xB7 40 B");
  EXPECT_EQ(fixed_summary_line("p", BuildReport{1, 1, 40}),
            "\xE2\x9C\x85  p  \xE2\x80\x94  1 objects \xC2\xB7 1 keys \xC2\xB7 0.0 KB\n");
}

// One model of the binary units, in doubles: the unit is the largest that leaves at
// least 1, the value rounded to one decimal as printf rounds it.
std::string model_size(uint64_t bytes) {
  if (bytes < 1024) return std::to_string(bytes) + " B";
  const char* units[] = {"KiB", "MiB", "GiB", "TiB", "PiB"};
  int unit = 0;
  double size = static_cast<double>(bytes) / 1024.0;
  while (size >= 1024.0 && unit < 4) {
    size /= 1024.0;
    ++unit;
  }
  char text[64];
  std::snprintf(text, sizeof text, "%.1f %s", size, units[unit]);
  return text;
}

TEST(SizeText, AgreesWithTheModelAtEveryUnitsEdges) {
  std::vector<uint64_t> sizes = {0, 1, 1023, 1024, 1025, UINT64_MAX};
  for (int shift = 10; shift <= 60; shift += 10) {
    for (int64_t delta = -3; delta <= 3; ++delta) {
      sizes.push_back((uint64_t{1} << shift) + static_cast<uint64_t>(delta));
      sizes.push_back((uint64_t{1023} << shift) + static_cast<uint64_t>(delta) * 51);
    }
  }
  for (uint64_t s : sizes) EXPECT_EQ(size_text(s), model_size(s)) << s;
  EXPECT_EQ(size_text(40), "40 B");
  EXPECT_EQ(size_text(1536), "1.5 KiB");
  EXPECT_EQ(size_text(uint64_t{1} << 60), "1024.0 PiB");
}

}  // namespace
}  // namespace vornel
