// Everything that knows where a field sits in a store file: the header, object
// records and index entries, each with its encode/decode pair, and the limits that
// follow from the field widths. The rest of the core goes through these.
//
//   header  (40 bytes, offset 0)
//     0  magic "VRNL"          4  version (2)
//     5  u8 layout             6  u8 key table version    7  u8 flags    (Marks; 0 if none)
//     8  u32 num_keys         12  u32 num_objects
//    16  u64 index_offset     24  u64 data_offset (always 40)
//    32  u32 file_crc32       36  u32 CRC-32 of bytes 0 to 35 (Marks; 0 if none)
//   data section: records  { u32 length L, u32 crc32(bytes), L bytes }  in object-ID order;
//                 in a marked store, the first may be a dictionary (compression.hpp) and
//                 the last a key table (key_table.hpp), which no entry names
//   index section: entries { u16 length K, K key bytes, u64 record offset }  in key order
//
// Integers are big-endian and nothing is aligned, so every access goes through
// load_be*/store_be*. file_crc32 covers every byte after the header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

#include "util/key_bytes.hpp"
#include "util/store_error.hpp"
#include "util/port.hpp"

namespace vornel {

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
inline constexpr uint64_t kMaxIndexEntry = kIndexEntryMin + kMaxKeyLen;
inline constexpr uint64_t kMaxObjectLen = 0xFFFFFFFF;    // u32 record length
inline constexpr uint64_t kMaxObjects = 0xFFFFFFFF;      // u32 num_objects
inline constexpr uint64_t kMaxKeys = 0xFFFFFFFF;         // u32 num_keys

// Byte order of every integer in the file.
inline uint16_t load_be16(const uint8_t* p) { return port::load_be<uint16_t>(p); }
inline uint32_t load_be32(const uint8_t* p) { return port::load_be<uint32_t>(p); }
inline uint64_t load_be64(const uint8_t* p) { return port::load_be<uint64_t>(p); }
inline void store_be16(uint8_t* p, uint16_t v) { port::store_be(p, v); }
inline void store_be32(uint8_t* p, uint32_t v) { port::store_be(p, v); }
inline void store_be64(uint8_t* p, uint64_t v) { port::store_be(p, v); }

// True when [off, off + n) lies inside a file of `size` bytes; never overflows.
inline bool range_within(uint64_t off, uint64_t n, uint64_t size) {
  return off <= size && n <= size - off;
}

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

// What the package's writer added to a store, recorded in the header's reserved bytes,
// which _vornel never reads and a plain writer leaves zero. Only a store that carries
// sound marks has records of the package's own: in any other, every record is a value.
// The header lies outside file_crc32, so the marks carry a check of their own.
struct Marks {
  static constexpr uint8_t kLayout = 1;          // byte 5: marks, records placed as below
  static constexpr uint8_t kTableVersion = 1;    // byte 6: the data section's last record
  static constexpr uint8_t kDictionaryFlag = 1;  // byte 7, bit 0: its first record
  static constexpr uint64_t kLayoutAt = 5;
  static constexpr uint64_t kCheckAt = 36;  // u32 CRC-32 of header bytes 0 to 35

  uint8_t table = 0;  // the key table's version, 0 for none
  bool dictionary = false;

  // Whether the store carries anything to mark: a plain store's header stays unmarked.
  bool any() const { return table != 0 || dictionary; }
  // Sets the marks and their check into `header`, 40 bytes that Header::encode_to wrote:
  // called last, as the check covers the rest of the header.
  void encode_into(uint8_t* header) const;

  // What a reader makes of the marks of a header.
  enum class State : uint8_t {
    None,     // no marks: the reserved bytes are zero, as a plain writer leaves them
    Sound,    // marks this reader knows, their check right
    Damaged,  // the check fails: the marks are not taken
    Unknown,  // the check holds, but a version or flag is one this reader lacks
  };
  struct Read;
  // The marks of the kHeaderSize bytes at `header`.
  static Read decode(const uint8_t* header);
};

struct Marks::Read {
  State state = State::None;
  Marks marks;              // when Sound
  uint64_t unknown_at = 0;  // when Unknown: the byte it lacks, and its value
  uint8_t unknown = 0;
};

// The 8 bytes in front of each object's bytes.
struct RecordPrefix {
  uint32_t length = 0;  // of the object bytes that follow
  uint32_t crc = 0;     // CRC-32 of those bytes alone

  void encode_to(uint8_t* out) const {
    store_be32(out, length);
    store_be32(out + 4, crc);
  }
  // From the kRecordPrefix bytes at `p`, which the caller has bounded.
  static RecordPrefix decode(const uint8_t* p) { return {load_be32(p), load_be32(p + 4)}; }
};

// Where the record at `off` of `file` lies: its prefix and then its object bytes
// checked against the end of the file, the prefix read only once it is inside.
enum class RecordBound : uint8_t { Inside, PrefixOutside, PayloadOutside };
inline RecordBound locate_record(Bytes file, uint64_t off, Bytes* payload) {
  if (!range_within(off, kRecordPrefix, file.size())) return RecordBound::PrefixOutside;
  const uint8_t* record = file.data() + off;
  const uint64_t len = RecordPrefix::decode(record).length;
  if (!range_within(off + kRecordPrefix, len, file.size())) return RecordBound::PayloadOutside;
  *payload = Bytes(record + kRecordPrefix, len);
  return RecordBound::Inside;
}

// The error of an object read for a bound other than Inside; built away from the
// lookup path.
[[nodiscard]] StoreError record_error(RecordBound bound, uint64_t off);

// The object bytes of the record at `off` in `file`, after checking that its prefix
// and then its bytes lie inside the file. The record checksum is not tested.
[[nodiscard]] inline Result<Bytes> read_record(Bytes file, uint64_t off) {
  Bytes payload;
  if (const RecordBound b = locate_record(file, off, &payload); b != RecordBound::Inside) {
    return fail(record_error(b, off));
  }
  return payload;
}

// One key of the index section and the offset of the record it names.
struct IndexEntry {
  Bytes key;
  uint64_t offset = 0;

  uint64_t encoded_size() const { return kIndexEntryMin + key.size(); }
  // Writes encoded_size() bytes at `out` and returns the end of them. The key is at
  // most kMaxKeyLen bytes.
  uint8_t* encode_to(uint8_t* out) const {
    store_be16(out, static_cast<uint16_t>(key.size()));
    if (!key.empty()) std::memcpy(out + kKeyLenSize, key.data(), key.size());
    store_be64(out + kKeyLenSize + key.size(), offset);
    return out + encoded_size();
  }
  // Where the entry at `pos` of `file` lies: its length field, then its key and
  // offset, checked against the end of the file. Sets *entry only when Inside.
  enum class Bound : uint8_t { Inside, KeyLenOutside, KeyOrOffsetOutside };
  static Bound locate(Bytes file, uint64_t pos, IndexEntry* entry) {
    if (!range_within(pos, kKeyLenSize, file.size())) return Bound::KeyLenOutside;
    const uint64_t key_len = load_be16(file.data() + pos);
    if (!range_within(pos + kKeyLenSize, key_len + kOffsetSize, file.size())) {
      return Bound::KeyOrOffsetOutside;
    }
    *entry = decode_bounded(file.data() + pos);
    return Bound::Inside;
  }
  // The error naming the field that runs past the end, for a bound other than Inside.
  [[nodiscard]] static StoreError bound_error(Bound bound);
  // The entry at `pos` of `file`, or the error naming the field that runs past the end.
  [[nodiscard]] static Result<IndexEntry> decode(Bytes file, uint64_t pos) {
    IndexEntry entry;
    if (const Bound b = locate(file, pos, &entry); b != Bound::Inside) return fail(bound_error(b));
    return entry;
  }
  // The entry at `p`, which an earlier decode() has bounded.
  static IndexEntry decode_bounded(const uint8_t* p) {
    const Bytes key(p + kKeyLenSize, load_be16(p));
    return {key, load_be64(key.data() + key.size())};
  }

};

// "0x" and eight lowercase hexadecimal digits, as CRC values appear in messages.
std::string crc_hex(uint32_t crc);

}  // namespace vornel
