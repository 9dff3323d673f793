// Compression: a compressed section read back value by value through ValueCodec, the
// dictionary record's header, and the bounds a forged frame meets.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "codec/compression.hpp"
#include "util/crc32.hpp"
#include "store_words.hpp"

namespace vornel {
namespace {

// Staged records of `values`, back to back, as a writer holds them.
struct Staging {
  std::vector<uint8_t> records;
  std::vector<uint64_t> starts;

  explicit Staging(const std::vector<std::string>& values) {
    for (const std::string& v : values) {
      starts.push_back(records.size());
      uint8_t prefix[kRecordPrefix];
      RecordPrefix{static_cast<uint32_t>(v.size()),
                   crc32(reinterpret_cast<const uint8_t*>(v.data()), v.size())}
          .encode_to(prefix);
      records.insert(records.end(), prefix, prefix + kRecordPrefix);
      records.insert(records.end(), v.begin(), v.end());
    }
  }
  Bytes bytes() const { return {records.data(), records.size()}; }
};

Bytes payload_at(const CompressedSection& s, uint64_t start) {
  const Bytes data(s.data.data(), s.data.size());
  const uint32_t length = RecordPrefix::decode(data.data() + start).length;
  return data.subspan(start + kRecordPrefix, length);
}

// Values like records of one kind: shared words, varying numbers, some noise, some
// starting with the marker, some empty.
std::vector<std::string> values(unsigned seed, size_t n) {
  std::mt19937 rng(seed);
  const char* words[] = {"Package", "Version", "Depends", "libc6", "amd64", "required"};
  std::vector<std::string> out;
  for (size_t i = 0; i < n; ++i) {
    std::string v;
    switch (rng() % 8) {
      case 0:
        break;
      case 1:
        v.assign(1 + rng() % 40, '\0');
        for (char& c : v) c = static_cast<char>(rng());
        break;
      case 2:
        v.assign(1, static_cast<char>(kCompressedMarker));
        v += std::to_string(rng());
        break;
      default:
        for (unsigned w = 0; w < 5 + rng() % 40; ++w) {
          v += words[rng() % 6];
          v += ": " + std::to_string(rng() % 1000) + "\n";
        }
    }
    out.push_back(v);
  }
  return out;
}

class RoundTrip : public testing::TestWithParam<unsigned> {};

TEST_P(RoundTrip, EveryValueComesBack) {
  const std::vector<std::string> staged = values(GetParam(), 50 + GetParam() * 700);
  const Staging staging(staged);
  auto section = compress_section(staging.bytes(), staging.starts, {Codec::Zstd, 3}, {});
  ASSERT_TRUE(section) << text_of(section.error());
  ASSERT_EQ(section->starts.size(), staged.size());
  auto codec = ValueCodec::from_record(payload_at(*section, 0));
  ASSERT_TRUE(codec && *codec) << (codec ? "no codec" : text_of(codec.error()));
  uint64_t raw = 0, stored = 0;
  for (size_t id = 0; id < staged.size(); ++id) {
    const Bytes p = payload_at(*section, section->starts[id]);
    const std::string& want = staged[id];
    raw += want.size();
    stored += p.size();
    // A value that starts with the marker is always stored compressed.
    if (!ValueCodec::compressed(p)) {
      EXPECT_EQ(std::string(p.begin(), p.end()), want) << id;
      continue;
    }
    EXPECT_LT(p.size(), want.size() + (want.starts_with('\xC1') ? 64 : 0)) << id;
    auto size = (*codec)->decoded_size(p);
    ASSERT_TRUE(size) << text_of(size.error());
    std::string got(*size, '\0');
    ASSERT_TRUE((*codec)->decompress(p, reinterpret_cast<uint8_t*>(got.data()), *size));
    EXPECT_EQ(got, want) << id;
  }
  const DictionaryHeader& h = (*codec)->header();
  EXPECT_EQ(h.raw_bytes, raw);
  EXPECT_EQ(h.stored_bytes, stored);
  // The same values give the same section, byte for byte, however many threads share
  // the work.
  auto again = compress_section(staging.bytes(), staging.starts,
                                {Codec::Zstd, 3, 1 + GetParam() % 4}, {});
  ASSERT_TRUE(again);
  EXPECT_TRUE(std::equal(again->data.data(), again->data.data() + again->data.size(),
                         section->data.data(), section->data.data() + section->data.size()));
}

INSTANTIATE_TEST_SUITE_P(Seeds, RoundTrip, testing::Values(0u, 1u, 2u, 5u));

TEST(Compression, RefusesWhatItCannotDo) {
  const Staging staging(values(3, 10));
  auto level = compress_section(staging.bytes(), staging.starts, {Codec::Zstd, 99}, {});
  ASSERT_FALSE(level);
  EXPECT_EQ(level.error().kind(), ErrorKind::Invalid);
  bool asked = false;
  auto cancelled = compress_section(staging.bytes(), staging.starts, {Codec::Zstd, 3},
                                    [&](BuildPhase phase, uint64_t, uint64_t) {
                                      asked = phase == BuildPhase::Compress;
                                      return false;
                                    });
  ASSERT_FALSE(cancelled);
  EXPECT_TRUE(asked);
  EXPECT_EQ(cancelled.error().kind(), ErrorKind::Cancelled);
}

TEST(Compression, DictionaryHeaderChecks) {
  const Staging staging(values(4, 2000));
  auto section = compress_section(staging.bytes(), staging.starts, {Codec::Zstd, 3}, {});
  ASSERT_TRUE(section);
  const Bytes good = payload_at(*section, 0);
  ASSERT_TRUE(DictionaryHeader::looks_like(good));
  EXPECT_FALSE(DictionaryHeader::looks_like(good.subspan(1)));
  const auto damaged = [&](size_t at, uint8_t value, bool reseal) {
    std::vector<uint8_t> p(good.begin(), good.end());
    p[at] = value;
    if (reseal) store_be32(p.data() + 44, DictionaryHeader::checksum(Bytes(p.data(), p.size())));
    auto codec = ValueCodec::from_record(Bytes(p.data(), p.size()));
    return codec ? std::string("accepted") : message_of(codec.error());
  };
  EXPECT_NE(damaged(200, good[200] ^ 1, false).find("CRC32 mismatch"), std::string::npos);
  EXPECT_NE(damaged(9, 9, true).find("codec 9"), std::string::npos);
  EXPECT_NE(damaged(8, 3, true).find("version 3"), std::string::npos);
  EXPECT_NE(damaged(15, good[15] ^ 1, true).find("its header says"), std::string::npos);
  auto shorter = ValueCodec::from_record(good.first(DictionaryHeader::kSize - 1));
  ASSERT_FALSE(shorter);
  EXPECT_NE(message_of(shorter.error()).find("shorter than"), std::string::npos);
}

}  // namespace
}  // namespace vornel
