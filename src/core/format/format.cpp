#include "format/format.hpp"

#include <cstdio>
#include <string>

#include "util/crc32.hpp"

namespace vornel {

void Header::encode_to(uint8_t* out) const {
  std::memset(out, 0, kHeaderSize);
  std::memcpy(out, kMagic, sizeof kMagic);
  out[4] = kVersion;
  store_be32(out + 8, num_keys);
  store_be32(out + 12, num_objects);
  store_be64(out + 16, index_offset);
  store_be64(out + 24, data_offset);
  store_be32(out + 32, file_crc32);
}

Result<Header> Header::decode(Bytes file) {
  if (file.size() < kHeaderSize) return fail(StoreError::corrupt(Fault::TooSmall));
  const uint8_t* p = file.data();
  if (std::memcmp(p, kMagic, sizeof kMagic) != 0) {
    return fail(StoreError::mismatch(Fault::BadMagic, load_be32(kMagic), load_be32(p)));
  }
  if (p[4] != kVersion) return fail(StoreError::version(p[4]));
  Header h;
  h.num_keys = load_be32(p + 8);
  h.num_objects = load_be32(p + 12);
  h.index_offset = load_be64(p + 16);
  h.data_offset = kDataOffset;  // the stored field is not consulted
  h.file_crc32 = load_be32(p + 32);
  return h;
}

void Marks::encode_into(uint8_t* header) const {
  header[kLayoutAt] = any() ? kLayout : 0;
  header[kLayoutAt + 1] = table;
  header[kLayoutAt + 2] = dictionary ? kDictionaryFlag : 0;
  store_be32(header + kCheckAt, any() ? crc32(header, kCheckAt) : 0);
}

Marks::Read Marks::decode(const uint8_t* header) {
  Read r;
  const uint8_t* m = header + kLayoutAt;
  if ((m[0] | m[1] | m[2]) == 0 && load_be32(header + kCheckAt) == 0) return r;
  if (crc32(header, kCheckAt) != load_be32(header + kCheckAt)) {
    r.state = State::Damaged;
    return r;
  }
  const auto lacks = [&](uint64_t at) {
    r.state = State::Unknown;
    r.unknown_at = at;
    r.unknown = header[at];
    return r;
  };
  if (m[0] != kLayout) return lacks(kLayoutAt);
  if (m[1] != 0 && m[1] != kTableVersion) return lacks(kLayoutAt + 1);
  if ((m[2] & ~kDictionaryFlag) != 0) return lacks(kLayoutAt + 2);
  r.state = State::Sound;
  r.marks.table = m[1];
  r.marks.dictionary = (m[2] & kDictionaryFlag) != 0;
  return r;
}

StoreError record_error(RecordBound bound, uint64_t off) {
  return StoreError::corrupt(bound == RecordBound::PrefixOutside ? Fault::RecordPrefixOutside
                                                                 : Fault::RecordPayloadOutside,
                             off);
}

StoreError IndexEntry::bound_error(Bound bound) {
  return StoreError::corrupt(bound == Bound::KeyLenOutside ? Fault::IndexKeyLen
                                                           : Fault::IndexKeyOrOffset);
}

std::string crc_hex(uint32_t crc) {
  char buf[11];
  std::snprintf(buf, sizeof buf, "0x%08x", crc);
  return buf;
}

}  // namespace vornel
