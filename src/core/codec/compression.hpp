// Values compressed with a dictionary trained per store. A compressing build trains a
// dictionary on a sample of the store's values, compresses each value with it, and keeps
// a value as it is where compressing does not shrink it. The dictionary travels in the
// data section's first record, which no key names and the header's marks name
// (format.hpp): readers that do not know it see one more object, and both checksums
// cover it.
//
//   dictionary record payload, integers big-endian:
//     0  magic "VRNLZDIC"       8  u8 version (1)       9  u8 codec (1: zstd)
//    10  2 reserved zero bytes 12  u32 dictionary length D
//    16  u64 longest value, decompressed: no compressed value declares more
//    24  u64 bytes of every value before compression
//    32  u64 bytes of every value as stored
//    40  4 reserved zero bytes 44  u32 CRC-32 of bytes 0 to 43 and the dictionary
//    48  D dictionary bytes (none: values compressed without one)
//
//   a compressed value: the byte kCompressedMarker, then one zstd frame that declares
//   its decompressed size and names no dictionary ID. MessagePack never starts a value
//   with that byte, so a reader tells a compressed value from a stored one by its first
//   byte alone; a value that does start with it is always stored compressed.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "format/format.hpp"
#include "util/store_error.hpp"
#include "util/progress.hpp"
#include "util/record_buffer.hpp"

namespace vornel {

enum class Codec : uint8_t { None = 0, Zstd = 1 };

inline constexpr uint8_t kCompressedMarker = 0xC1;  // "never used" in MessagePack

// The codec's name as users write it ("zstd"), or null for an id this version lacks.
const char* codec_name(uint8_t id);

struct CompressionOptions {
  Codec codec = Codec::None;
  int level = 3;  // zstd's own default
  // Threads that compress the values: 0 for one per core (up to 8) once the values reach
  // 4 MiB. The section is the same whatever the number.
  unsigned threads = 0;
};

// Whether zstd takes `level`: from its fastest negative level to its strongest.
bool compression_level_valid(int level);
int min_compression_level();
int max_compression_level();

// The fixed fields in front of the dictionary in its record.
struct DictionaryHeader {
  static constexpr uint8_t kMagic[8] = {'V', 'R', 'N', 'L', 'Z', 'D', 'I', 'C'};
  static constexpr uint8_t kVersion = 1;
  static constexpr uint64_t kSize = 48;

  uint8_t codec = static_cast<uint8_t>(Codec::Zstd);
  uint32_t dict_length = 0;
  uint64_t longest_value = 0;
  uint64_t raw_bytes = 0;
  uint64_t stored_bytes = 0;

  void encode_to(uint8_t* out) const;
  // Whether `payload` begins as a dictionary record does: its magic.
  static bool looks_like(Bytes payload);
  // The header of a payload that looks_like() one, with its version and codec known, its
  // dictionary inside the payload and its checksum right; else a VornCorruptError naming
  // what is wrong.
  [[nodiscard]] static Result<DictionaryHeader> decode(Bytes payload);
  // The checksum that bytes 44 to 47 hold.
  static uint32_t checksum(Bytes payload);
};

// A compressing build's data section: the dictionary's record, then every staged value's
// record (compressed or as it was) in object-ID order.
struct CompressedSection {
  RecordBuffer data;
  std::vector<uint64_t> starts;  // the position in `data` of each object's record
  DictionaryHeader header;
};

// Compresses the records of a staged data section: `records` holds them back to back,
// object `id`'s record starting at starts[id]. Which values train the dictionary follows
// from their contents (a hash of each value's checksum and length), not from how staging
// went, so the same values in the same order give the same section. `progress` hears of
// the Compress phase
// now and then; its false cancels with ErrorKind::Cancelled.
[[nodiscard]] Result<CompressedSection> compress_section(Bytes records,
                                                         const std::vector<uint64_t>& starts,
                                                         const CompressionOptions& options,
                                                         const BuildProgress& progress);

// For a build that writes its values one at a time (store_sink.hpp): the sample of the
// values that the dictionary is trained on, picked as compress_section picks it, by a
// hash of each value's checksum and length. The same values, each offered as often, give
// the same sample in any order, and so the same dictionary; a value offered again is one
// sample. Holds at most about twice what the trainer takes.
class DictionarySampler {
 public:
  void offer(Bytes value, uint32_t crc);
  // The dictionary trained on the sample; empty when the values are too few or too small
  // to train on (values are then compressed without one).
  std::vector<uint8_t> train(int level) const;

 private:
  uint64_t cut() const;  // the hash below which a value is in the sample
  uint64_t total_ = 0;   // bytes of every value offered
  struct Candidate {
    uint64_t hash;
    std::vector<uint8_t> bytes;  // the value's first part, as the trainer takes it
  };
  std::vector<Candidate> candidates_;  // unordered; pruned as the cut falls
  std::unordered_multimap<uint64_t, size_t> by_hash_;  // candidates_ by hash
  uint64_t held_ = 0;
};

// Compresses values one at a time with a store's dictionary, as compress_section does:
// into the kCompressedMarker and one frame, or not at all where that does not shrink a
// value (and the value does not start with the marker).
class ValueCompressor {
 public:
  // `dictionary` may be empty: values are then compressed without one, at `level`.
  [[nodiscard]] static Result<std::unique_ptr<ValueCompressor>> make(
      const std::vector<uint8_t>& dictionary, int level);
  ~ValueCompressor();
  ValueCompressor(const ValueCompressor&) = delete;
  ValueCompressor& operator=(const ValueCompressor&) = delete;

  // The stored form of `value`: true with it in *stored (valid until the next call) when
  // it is compressed, false when the value is stored as it is.
  bool compress(Bytes value, Bytes* stored);
  const std::vector<uint8_t>& dictionary() const { return dictionary_; }

 private:
  ValueCompressor() = default;
  std::vector<uint8_t> dictionary_;
  struct Contexts;
  std::unique_ptr<Contexts> contexts_;
  std::vector<uint8_t> frame_;
};

// The store's dictionary, digested once, shared by every thread that reads values.
class ValueCodec {
 public:
  ~ValueCodec();
  ValueCodec(const ValueCodec&) = delete;
  ValueCodec& operator=(const ValueCodec&) = delete;

  // The codec of a dictionary record's payload (a copy, not the mapping): nullptr when
  // `payload` is no dictionary record, else the codec once its header, checksum and
  // dictionary are found sound; a VornCorruptError otherwise.
  [[nodiscard]] static Result<std::unique_ptr<ValueCodec>> from_record(Bytes payload);
  const DictionaryHeader& header() const { return header_; }
  Codec codec() const { return static_cast<Codec>(header_.codec); }
  // Where the dictionary's record starts: the data section's first record.
  static constexpr uint64_t record_offset() { return kDataOffset; }

  // Whether `payload` is stored compressed.
  static bool compressed(Bytes payload) {
    return !payload.empty() && payload[0] == kCompressedMarker;
  }
  // The size that a compressed `payload` declares, once it is found believable: one whole
  // frame that declares a size no larger than the store's longest value nor than its
  // bytes could give. Else a VornCorruptError.
  [[nodiscard]] Result<uint64_t> decoded_size(Bytes payload) const;
  // Decompresses `payload` into dst[0, size), `size` being what decoded_size() gave; a
  // frame that gives another size is a VornCorruptError. `payload` must not lie in a
  // mapping that may shrink: copy it out first. Thread-safe.
  [[nodiscard]] Status decompress(Bytes payload, uint8_t* dst, uint64_t size) const;

 private:
  ValueCodec() = default;
  DictionaryHeader header_;
  struct Digest;
  std::unique_ptr<Digest> digest_;
};

}  // namespace vornel
