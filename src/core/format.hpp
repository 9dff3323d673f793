// The store file layout shared by the writer and the reader.
//
//   header  (40 bytes, offset 0)
//     0  magic "VRNL"          4  version (2), 3 reserved zero bytes
//     8  u32 num_keys         12  u32 num_objects
//    16  u64 index_offset     24  u64 data_offset (always 40)
//    32  u32 file_crc32       36  4 reserved zero bytes
//   data section: records  { u32 length L, u32 crc32(bytes), L bytes }  in object-ID order
//   index section: entries { u16 length K, K key bytes, u64 record offset }  in key order
//
// Every integer is big-endian; nothing is aligned or padded. file_crc32 covers every
// byte after the header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

#include "store_error.hpp"

namespace vornel {

using Bytes = std::span<const uint8_t>;

inline constexpr uint8_t kMagic[4] = {'V', 'R', 'N', 'L'};
inline constexpr uint8_t kVersion = 2;
inline constexpr uint64_t kHeaderSize = 40;
inline constexpr uint64_t kDataOffset = kHeaderSize;  // records start right after the header
inline constexpr uint64_t kRecordPrefix = 8;          // u32 length + u32 crc
inline constexpr uint64_t kKeyLenSize = 2;            // u16 key length
inline constexpr uint64_t kOffsetSize = 8;            // u64 record offset
inline constexpr uint64_t kIndexEntryMin = kKeyLenSize + kOffsetSize;

// Limits that follow from the field widths.
inline constexpr uint64_t kMaxKeyLen = 0xFFFF;           // u16 key length
inline constexpr uint64_t kMaxObjectLen = 0xFFFFFFFF;    // u32 record length
inline constexpr uint64_t kMaxObjects = 0xFFFFFFFF;      // u32 num_objects
inline constexpr uint64_t kMaxKeys = 0xFFFFFFFF;         // u32 num_keys

// Byte order. memcpy keeps these legal on unaligned record and index fields.
inline uint16_t load_be16(const uint8_t* p) {
  uint16_t v;
  std::memcpy(&v, p, sizeof v);
  return __builtin_bswap16(v);
}
inline uint32_t load_be32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return __builtin_bswap32(v);
}
inline uint64_t load_be64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return __builtin_bswap64(v);
}
inline void store_be16(uint8_t* p, uint16_t v) {
  v = __builtin_bswap16(v);
  std::memcpy(p, &v, sizeof v);
}
inline void store_be32(uint8_t* p, uint32_t v) {
  v = __builtin_bswap32(v);
  std::memcpy(p, &v, sizeof v);
}
inline void store_be64(uint8_t* p, uint64_t v) {
  v = __builtin_bswap64(v);
  std::memcpy(p, &v, sizeof v);
}

// True when [off, off + n) lies inside a file of `size` bytes; never overflows.
inline bool range_within(uint64_t off, uint64_t n, uint64_t size) {
  return off <= size && n <= size - off;
}

// Key order: unsigned bytewise, a proper prefix before the longer key.
inline int compare_keys(Bytes a, Bytes b) {
  const size_t common = a.size() < b.size() ? a.size() : b.size();
  if (common != 0) {
    if (int c = std::memcmp(a.data(), b.data(), common); c != 0) return c < 0 ? -1 : 1;
  }
  return a.size() < b.size() ? -1 : (a.size() > b.size() ? 1 : 0);
}
inline bool key_less(Bytes a, Bytes b) { return compare_keys(a, b) < 0; }

struct Header {
  uint32_t num_keys = 0;
  uint32_t num_objects = 0;
  uint64_t index_offset = kHeaderSize;
  uint64_t data_offset = kDataOffset;
  uint32_t file_crc32 = 0;

  // Writes the 40 header bytes, reserved bytes as zero.
  void encode_to(uint8_t* out) const;
  // Checks size, magic and version in that order, then reads the fields that readers use.
  [[nodiscard]] static Result<Header> decode(Bytes file);
};

// "0x" and eight lowercase hexadecimal digits, as CRC values appear in messages.
std::string crc_hex(uint32_t crc);

}  // namespace vornel
