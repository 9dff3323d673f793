// Records and index entries against hand-laid bytes: every field where the layout
// puts it, and every truncation of a valid record or entry reported as such.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include <zlib.h>

#include "format/format.hpp"
#include "store_words.hpp"

namespace vornel {
namespace {

std::string as_string(Bytes b) { return std::string(b.begin(), b.end()); }

// A file: 40 filler bytes standing for the header, then `tail`.
std::vector<uint8_t> file_with(const std::vector<uint8_t>& tail) {
  std::vector<uint8_t> file(kHeaderSize + tail.size(), 0xAA);
  for (size_t i = 0; i < tail.size(); ++i) file[kHeaderSize + i] = tail[i];
  return file;
}

TEST(ByteOrder, MostSignificantByteFirstAtAnyAlignment) {
  uint8_t buf[11] = {};
  store_be64(buf + 1, 0x0102030405060708);
  EXPECT_EQ(std::vector<uint8_t>(buf + 1, buf + 9), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8}));
  EXPECT_EQ(load_be64(buf + 1), 0x0102030405060708u);
  store_be32(buf + 3, 0xA1B2C3D4);
  EXPECT_EQ(buf[3], 0xA1);
  EXPECT_EQ(buf[6], 0xD4);
  EXPECT_EQ(load_be32(buf + 3), 0xA1B2C3D4u);
  store_be16(buf + 9, 0xBEEF);
  EXPECT_EQ(buf[9], 0xBE);
  EXPECT_EQ(buf[10], 0xEF);
  EXPECT_EQ(load_be16(buf + 9), 0xBEEF);
}

TEST(RecordPrefix, LengthThenChecksumBigEndian) {
  uint8_t out[kRecordPrefix];
  RecordPrefix{2, 0xD8932AAC}.encode_to(out);  // the record of the object "hi"
  EXPECT_EQ(std::vector<uint8_t>(out, out + kRecordPrefix),
            (std::vector<uint8_t>{0, 0, 0, 2, 0xD8, 0x93, 0x2A, 0xAC}));
  const RecordPrefix back = RecordPrefix::decode(out);
  EXPECT_EQ(back.length, 2u);
  EXPECT_EQ(back.crc, 0xD8932AACu);
}

TEST(ReadRecord, ReturnsThePayloadInsideTheFile) {
  const std::vector<uint8_t> file = file_with({0, 0, 0, 2, 0xD8, 0x93, 0x2A, 0xAC, 'h', 'i',
                                               0, 0, 0, 0, 0, 0, 0, 0});  // then an empty one
  auto hi = read_record(Bytes(file), kHeaderSize);
  ASSERT_TRUE(hi);
  EXPECT_EQ(as_string(*hi), "hi");
  EXPECT_EQ(hi->data(), file.data() + kHeaderSize + kRecordPrefix);  // no copy
  auto empty = read_record(Bytes(file), kHeaderSize + 10);
  ASSERT_TRUE(empty);
  EXPECT_TRUE(empty->empty());
}

TEST(ReadRecord, EveryTruncationIsReported) {
  const std::vector<uint8_t> whole = file_with({0, 0, 0, 3, 1, 2, 3, 4, 'a', 'b', 'c'});
  for (size_t cut = 0; cut < whole.size(); ++cut) {
    const Bytes file(whole.data(), cut);
    auto r = read_record(file, kHeaderSize);
    ASSERT_FALSE(r) << cut;
    EXPECT_EQ(r.error().kind(), ErrorKind::Corrupt);
    const std::string want = cut < kHeaderSize + kRecordPrefix ? "offset 40 out of bounds"
                                                               : "object at 40 extends beyond file end";
    EXPECT_EQ(message_of(r.error()), want) << cut;
  }
  EXPECT_TRUE(read_record(Bytes(whole), kHeaderSize));
}

TEST(ReadRecord, OffsetsAndLengthsNearTheTopNeverWrap) {
  const std::vector<uint8_t> file = file_with({0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0});
  for (uint64_t off : {UINT64_MAX, UINT64_MAX - 7, uint64_t{file.size()}, uint64_t{file.size() - 7}}) {
    auto r = read_record(Bytes(file), off);
    ASSERT_FALSE(r);
    EXPECT_EQ(message_of(r.error()), "offset " + std::to_string(off) + " out of bounds");
  }
  auto huge = read_record(Bytes(file), kHeaderSize);
  ASSERT_FALSE(huge);
  EXPECT_EQ(message_of(huge.error()), "object at 40 extends beyond file end");
}

TEST(IndexEntry, EncodesLengthKeyOffset) {
  const std::string key = "a";
  const IndexEntry entry{Bytes(reinterpret_cast<const uint8_t*>(key.data()), key.size()), 40};
  std::vector<uint8_t> out(entry.encoded_size() + 1, 0x55);
  EXPECT_EQ(entry.encode_to(out.data()), out.data() + 11);
  EXPECT_EQ(out, (std::vector<uint8_t>{0, 1, 'a', 0, 0, 0, 0, 0, 0, 0, 40, 0x55}));

  std::vector<uint8_t> empty(kIndexEntryMin);
  IndexEntry{Bytes(), 0x0102030405060708}.encode_to(empty.data());
  EXPECT_EQ(empty, (std::vector<uint8_t>{0, 0, 1, 2, 3, 4, 5, 6, 7, 8}));
}

TEST(IndexEntry, DecodesHandLaidEntriesBackToBack) {
  const std::vector<uint8_t> file =
      file_with({0, 0, 0, 0, 0, 0, 0, 0, 0, 0x28,              // "" -> 40
                 0, 2, 0xC3, 0xA9, 0, 0, 0, 1, 0, 0, 0, 0x30,  // "é" -> 2^32 + 48
                 0x99});                                       // a trailing byte
  auto first = IndexEntry::decode(Bytes(file), kHeaderSize);
  ASSERT_TRUE(first);
  EXPECT_TRUE(first->key.empty());
  EXPECT_EQ(first->offset, 40u);
  EXPECT_EQ(first->encoded_size(), 10u);
  auto second = IndexEntry::decode(Bytes(file), kHeaderSize + first->encoded_size());
  ASSERT_TRUE(second);
  EXPECT_EQ(as_string(second->key), "\xC3\xA9");
  EXPECT_EQ(second->key.data(), file.data() + kHeaderSize + 12);  // a view, not a copy
  EXPECT_EQ(second->offset, (uint64_t{1} << 32) + 48);
  const IndexEntry again = IndexEntry::decode_bounded(file.data() + kHeaderSize + 10);
  EXPECT_EQ(again.key.data(), second->key.data());
  EXPECT_EQ(again.offset, second->offset);
}

TEST(IndexEntry, EveryTruncationNamesTheMissingField) {
  const std::vector<uint8_t> whole = file_with({0, 3, 'k', 'e', 'y', 0, 0, 0, 0, 0, 0, 0, 40});
  for (size_t cut = 0; cut < whole.size(); ++cut) {
    auto r = IndexEntry::decode(Bytes(whole.data(), cut), kHeaderSize);
    ASSERT_FALSE(r) << cut;
    EXPECT_EQ(r.error().kind(), ErrorKind::Corrupt);
    EXPECT_EQ(message_of(r.error()), cut < kHeaderSize + kKeyLenSize
                                       ? "index section truncated (key_len)"
                                       : "index section truncated (key + offset)")
        << cut;
  }
  auto r = IndexEntry::decode(Bytes(whole), kHeaderSize);
  ASSERT_TRUE(r);
  EXPECT_EQ(as_string(r->key), "key");
  EXPECT_EQ(r->offset, 40u);
}

TEST(IndexEntry, PositionsNearTheTopNeverWrap) {
  const std::vector<uint8_t> file = file_with({0xFF, 0xFF});
  for (uint64_t pos : {UINT64_MAX, UINT64_MAX - 1, uint64_t{file.size()}}) {
    auto r = IndexEntry::decode(Bytes(file), pos);
    ASSERT_FALSE(r);
    EXPECT_EQ(message_of(r.error()), "index section truncated (key_len)");
  }
  auto longest = IndexEntry::decode(Bytes(file), kHeaderSize);  // a 65,535-byte key
  ASSERT_FALSE(longest);
  EXPECT_EQ(message_of(longest.error()), "index section truncated (key + offset)");
}

}  // namespace
}  // namespace vornel

namespace vornel {
namespace {

// The marks against zlib's CRC-32 of the header's first 36 bytes, and every change to a
// marked header's bytes seen: marks are never taken from a header that changed.
TEST(Marks, SealedByTheHeaderChecksumAndRefusedWhenAnyByteChanges) {
  Header h;
  h.num_keys = 3;
  h.num_objects = 5;
  h.index_offset = 4000;
  h.file_crc32 = 0xDEADBEEF;
  uint8_t plain[kHeaderSize];
  h.encode_to(plain);
  Marks{}.encode_into(plain);  // nothing added: the header stays a plain writer's
  EXPECT_EQ(Marks::decode(plain).state, Marks::State::None);
  EXPECT_EQ(load_be32(plain + Marks::kCheckAt), 0u);

  uint8_t marked[kHeaderSize];
  h.encode_to(marked);
  Marks{.table = Marks::kTableVersion, .dictionary = true}.encode_into(marked);
  EXPECT_EQ(std::vector<uint8_t>(marked + 5, marked + 8), (std::vector<uint8_t>{1, 1, 1}));
  EXPECT_EQ(load_be32(marked + Marks::kCheckAt), ::crc32(0, marked, Marks::kCheckAt));
  const Marks::Read read = Marks::decode(marked);
  ASSERT_EQ(read.state, Marks::State::Sound);
  EXPECT_EQ(read.marks.table, Marks::kTableVersion);
  EXPECT_TRUE(read.marks.dictionary);
  for (size_t i = 0; i < kHeaderSize * 8; ++i) {
    uint8_t changed[kHeaderSize];
    std::copy(marked, marked + kHeaderSize, changed);
    changed[i / 8] ^= static_cast<uint8_t>(1 << (i % 8));
    EXPECT_EQ(Marks::decode(changed).state, Marks::State::Damaged) << i;
  }
  // Marks whose check holds but which name what this version lacks: refused, not guessed.
  for (const auto& [at, value] : {std::pair{5, 2}, {6, 2}, {7, 2}, {7, 0x80}}) {
    uint8_t other[kHeaderSize];
    std::copy(marked, marked + kHeaderSize, other);
    other[at] = static_cast<uint8_t>(value);
    store_be32(other + Marks::kCheckAt, ::crc32(0, other, Marks::kCheckAt));
    const Marks::Read r = Marks::decode(other);
    EXPECT_EQ(r.state, Marks::State::Unknown) << at;
    EXPECT_EQ(r.unknown_at, static_cast<uint64_t>(at));
    EXPECT_EQ(text_of(StoreError::marks_unknown(r.unknown_at, r.unknown)),
              "VornVersionError: unsupported store layout: header byte " + std::to_string(at) +
                  " is " + std::to_string(value));
  }
}

}  // namespace
}  // namespace vornel
