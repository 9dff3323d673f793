// Fuzzes decompression. The first byte picks what the rest is:
//   0  a stored value, read with the dictionary of a store compressed at start-up;
//   1  a dictionary record, taken as one if it passes its checks, then used to read that
//      store's values and the rest of the input.
// Never a crash, and never more memory than the codec's bounds allow: a value either
// fails or gives exactly the size it declared, at most the store's longest value.
#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "codec/compression.hpp"
#include "util/crc32.hpp"
#include "fuzz_model.hpp"

using vornel::Bytes;
using vornel::CompressedSection;
using vornel::ValueCodec;

namespace {

struct Store {
  std::unique_ptr<CompressedSection> section;
  std::unique_ptr<ValueCodec> codec;
  std::vector<Bytes> stored;  // each value as the section stores it
};

Bytes payload_at(const CompressedSection& s, uint64_t start) {
  const uint32_t length = vornel::RecordPrefix::decode(s.data.data() + start).length;
  return Bytes(s.data.data() + start + vornel::kRecordPrefix, length);
}

// A store of records alike enough to train a dictionary on.
const Store& store() {
  static const Store s = [] {
    std::mt19937 rng(1);
    std::vector<uint8_t> records;
    std::vector<uint64_t> starts;
    for (int i = 0; i < 3000; ++i) {
      std::string v = "{Package: lib" + std::to_string(rng() % 500) + ", Version: " +
                      std::to_string(rng() % 30) + ", Depends: [libc6, zlib1g]}";
      starts.push_back(records.size());
      uint8_t prefix[vornel::kRecordPrefix];
      vornel::RecordPrefix{static_cast<uint32_t>(v.size()),
                           vornel::crc32(reinterpret_cast<const uint8_t*>(v.data()), v.size())}
          .encode_to(prefix);
      records.insert(records.end(), prefix, prefix + sizeof prefix);
      records.insert(records.end(), v.begin(), v.end());
    }
    Store out;
    auto section = vornel::compress_section(Bytes(records.data(), records.size()), starts,
                                            {vornel::Codec::Zstd, 3}, {});
    FUZZ_CHECK(section.has_value());
    out.section = std::make_unique<CompressedSection>(std::move(*section));
    auto codec = ValueCodec::from_record(payload_at(*out.section, 0));
    FUZZ_CHECK(codec.has_value() && *codec);
    out.codec = std::move(*codec);
    for (uint64_t start : out.section->starts) out.stored.push_back(payload_at(*out.section, start));
    return out;
  }();
  return s;
}

void read(const ValueCodec& codec, Bytes payload) {
  if (!ValueCodec::compressed(payload)) return;
  auto size = codec.decoded_size(payload);
  if (!size) return;
  FUZZ_CHECK(*size <= codec.header().longest_value);
  std::vector<uint8_t> out(*size);
  (void)codec.decompress(payload, out.data(), *size);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const Store& s = store();
  const Bytes rest(data + 1, size - 1);
  if (data[0] % 2 == 0) {
    read(*s.codec, rest);
    return 0;
  }
  auto codec = ValueCodec::from_record(rest);
  if (!codec || !*codec) return 0;
  for (size_t i = 0; i < s.stored.size(); i += 97) read(**codec, s.stored[i]);
  return 0;
}
