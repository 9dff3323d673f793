// Every CRC-32 kernel against zlib's crc32, known answers and piecewise continuation.
#include "util/crc32.hpp"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace vornel {
namespace {

uint32_t zlib_crc(uint32_t crc, const uint8_t* p, size_t n) {
  return static_cast<uint32_t>(crc32_z(crc, p, n));
}

std::vector<uint8_t> random_bytes(size_t n, std::mt19937_64& rng) {
  std::vector<uint8_t> v(n);
  for (auto& b : v) b = static_cast<uint8_t>(rng());
  return v;
}

// A copy of some bytes at a chosen offset from a 64-byte boundary, ending exactly at the end of
// its allocation, so that the address sanitizer catches a kernel reading past the last byte.
class Placed {
 public:
  Placed(const uint8_t* src, size_t n, size_t offset)
      : block_(static_cast<uint8_t*>(::operator new(offset + n, kAlign))), data_(block_ + offset) {
    if (n) std::memcpy(data_, src, n);
  }
  ~Placed() { ::operator delete(block_, kAlign); }
  Placed(const Placed&) = delete;
  Placed& operator=(const Placed&) = delete;
  const uint8_t* data() const { return data_; }

 private:
  static constexpr std::align_val_t kAlign{64};
  uint8_t* block_;
  uint8_t* data_;
};

class Crc32KernelTest : public testing::TestWithParam<Crc32Kernel> {
 protected:
  void SetUp() override {
    if (!crc32_kernel_supported(GetParam())) GTEST_SKIP() << "not supported by this CPU";
  }
  uint32_t extend(uint32_t crc, const uint8_t* p, size_t n) const {
    return crc32_extend_with(GetParam(), crc, p, n);
  }
};

TEST_P(Crc32KernelTest, KnownAnswers) {
  const std::pair<std::string_view, uint32_t> cases[] = {
      {"", 0},
      {"a", 0xE8B7BE43},
      {"hi", 0xD8932AAC},
      {"123456789", 0xCBF43926},
      {"The quick brown fox jumps over the lazy dog", 0x414FA339},
      {std::string_view("\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0", 32),
       0x190A55AD},
  };
  for (const auto& [text, want] : cases) {
    EXPECT_EQ(extend(0, reinterpret_cast<const uint8_t*>(text.data()), text.size()), want)
        << '"' << text << '"';
  }
  // Long enough to reach the widest fold: 4 KiB of 0xFF, checked with the byte-at-a-time rule.
  const std::vector<uint8_t> ones(4096, 0xFF);
  uint32_t reg = 0xFFFFFFFF;
  for (uint8_t b : ones) {
    reg ^= b;
    for (int k = 0; k < 8; ++k) reg = (reg & 1) ? (reg >> 1) ^ 0xEDB88320 : reg >> 1;
  }
  EXPECT_EQ(extend(0, ones.data(), ones.size()), ~reg);
}

// Every length up to 4 KiB covers the table-only sizes, every lane-count boundary and every tail
// length of each kernel; the start crc is random so that folding it into the first block counts.
TEST_P(Crc32KernelTest, EveryLengthAtRandomAlignments) {
  std::mt19937_64 rng(11);
  const auto src = random_bytes(4096, rng);
  for (size_t len = 0; len <= src.size(); ++len) {
    for (int trial = 0; trial < 4; ++trial) {
      const size_t offset = trial == 0 ? 0 : rng() % 64;
      const size_t from = rng() % (src.size() - len + 1);
      const auto start = static_cast<uint32_t>(rng());
      const Placed buf(src.data() + from, len, offset);
      ASSERT_EQ(extend(start, buf.data(), len), zlib_crc(start, buf.data(), len))
          << "length " << len << ", offset " << offset << ", start crc " << start;
    }
  }
}

// Record-sized input, where the short paths work: every length to 300 at every odd distance
// from a 64-byte boundary, each ending at the end of its allocation.
TEST_P(Crc32KernelTest, RecordSizesAtOddAlignments) {
  std::mt19937_64 rng(17);
  const auto src = random_bytes(300, rng);
  for (size_t len = 0; len <= src.size(); ++len) {
    for (size_t offset = 1; offset < 64; offset += 2) {
      const auto start = offset == 1 ? 0u : static_cast<uint32_t>(rng());
      const Placed buf(src.data() + src.size() - len, len, offset);
      ASSERT_EQ(extend(start, buf.data(), len), zlib_crc(start, buf.data(), len))
          << "length " << len << ", offset " << offset << ", start crc " << start;
    }
  }
}

// crc32_each groups its jobs by size and fills short groups with repeats: every length to 300
// at every odd alignment, each ending at the end of its allocation, handed over in batches of
// every size from 1 to 40 so that groups end full, short and in between.
TEST_P(Crc32KernelTest, EachAtRecordSizesAndOddAlignments) {
  std::mt19937_64 rng(19);
  const auto src = random_bytes(300, rng);
  std::vector<std::unique_ptr<Placed>> bufs;
  std::vector<Crc32Job> jobs;
  for (size_t offset = 1; offset < 64; offset += 2) {
    for (size_t len = 0; len <= src.size(); ++len) {
      bufs.push_back(std::make_unique<Placed>(src.data() + src.size() - len, len, offset));
      jobs.push_back({bufs.back()->data(), len, 0xDEADBEEF});
    }
  }
  std::shuffle(jobs.begin(), jobs.end(), rng);
  for (size_t at = 0, batch = 1; at < jobs.size(); at += batch, batch = batch % 40 + 1) {
    const size_t n = std::min(batch, jobs.size() - at);
    crc32_each_with(GetParam(), jobs.data() + at, n);
    for (size_t i = at; i < at + n; ++i) {
      ASSERT_EQ(jobs[i].crc, zlib_crc(0, jobs[i].data, jobs[i].size))
          << "length " << jobs[i].size << ", batch of " << n;
    }
  }
}

TEST_P(Crc32KernelTest, LargeBuffers) {
  std::mt19937_64 rng(21);
  const auto src = random_bytes((1 << 20) + 512, rng);
  // Sizes around multiples of every fold width, up to 1 MiB.
  for (size_t len : {size_t{1} << 20, (size_t{1} << 20) + 511, (size_t{1} << 20) - 1,
                     size_t{65536 + 255}, size_t{65536 + 257}, size_t{12345}, size_t{256 * 41 + 63},
                     size_t{256 * 41 + 64 + 15}, size_t{256 * 41 + 192 + 16}}) {
    for (size_t offset : {0, 1, 37}) {
      const Placed buf(src.data(), len, offset);
      EXPECT_EQ(extend(0, buf.data(), len), zlib_crc(0, buf.data(), len))
          << "length " << len << ", offset " << offset;
    }
  }
}

TEST_P(Crc32KernelTest, ContinuationEqualsWhole) {
  std::mt19937_64 rng(31);
  const auto src = random_bytes(20000, rng);
  for (int trial = 0; trial < 300; ++trial) {
    const size_t len = rng() % src.size();
    std::vector<size_t> cuts = {0, len};
    for (size_t k = rng() % 6; k > 0; --k) cuts.push_back(rng() % (len + 1));
    std::sort(cuts.begin(), cuts.end());
    uint32_t crc = 0;
    for (size_t i = 1; i < cuts.size(); ++i)
      crc = extend(crc, src.data() + cuts[i - 1], cuts[i] - cuts[i - 1]);
    ASSERT_EQ(crc, zlib_crc(0, src.data(), len)) << "length " << len << ", trial " << trial;
  }
}

TEST(Crc32, CombinedEqualsWhole) {
  std::mt19937_64 rng(37);
  const auto src = random_bytes(20000, rng);
  for (int trial = 0; trial < 300; ++trial) {
    const size_t len = rng() % src.size();
    const size_t cut = rng() % (len + 1);
    const uint32_t a = crc32(src.data(), cut);
    const uint32_t b = crc32(src.data() + cut, len - cut);
    ASSERT_EQ(crc32_combine(a, b, len - cut), zlib_crc(0, src.data(), len))
        << "length " << len << ", cut " << cut;
  }
  // Past 2^32 bytes the shift wraps through every squaring: as zlib combines them.
  const uint32_t a = crc32(src.data(), 100), b = crc32(src.data() + 100, 200);
  for (const uint64_t length : {uint64_t{1} << 33, (uint64_t{1} << 40) + 12345}) {
    EXPECT_EQ(crc32_combine(a, b, length),
              crc32_combine64(a, b, static_cast<z_off64_t>(length)));
  }
}

INSTANTIATE_TEST_SUITE_P(Kernels, Crc32KernelTest, testing::ValuesIn(kAllCrc32Kernels),
                         [](const testing::TestParamInfo<Crc32Kernel>& param_info) {
                           return std::string(crc32_kernel_name(param_info.param));
                         });

TEST(Crc32, ActiveKernelIsTheMostCapableSupportedOne) {
  const Crc32Kernel active = crc32_active_kernel();
  EXPECT_TRUE(crc32_kernel_supported(active));
  for (Crc32Kernel k : kAllCrc32Kernels) {
    if (static_cast<int>(k) > static_cast<int>(active)) {
      EXPECT_FALSE(crc32_kernel_supported(k)) << crc32_kernel_name(k);
    }
  }
  std::mt19937_64 rng(41);
  const auto src = random_bytes(10000, rng);
  EXPECT_EQ(crc32(src.data(), src.size()), crc32_extend_with(active, 0, src.data(), src.size()));
  EXPECT_EQ(crc32(src.data(), src.size()), zlib_crc(0, src.data(), src.size()));
}

}  // namespace
}  // namespace vornel
