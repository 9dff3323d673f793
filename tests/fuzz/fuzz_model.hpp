// What the fuzz targets compare the core with: the store layout written out again with
// shifts and zlib's crc32, sharing no code with the core beyond its public headers.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "format/format.hpp"

namespace fuzz_model {

// A broken expectation is a finding: report it and crash, so the fuzzer keeps the input.
#define FUZZ_CHECK(cond)                                                               \
  do {                                                                                 \
    if (!(cond)) {                                                                     \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond);    \
      std::abort();                                                                    \
    }                                                                                  \
  } while (0)

#define FUZZ_CHECK_EQ(a, b)                                                            \
  do {                                                                                 \
    const auto& fuzz_a = (a);                                                          \
    const auto& fuzz_b = (b);                                                          \
    if (!(fuzz_a == fuzz_b)) {                                                         \
      std::fprintf(stderr, "%s:%d: check failed: %s == %s\n", __FILE__, __LINE__, #a,  \
                   #b);                                                                \
      fuzz_model::dump(fuzz_a);                                                        \
      fuzz_model::dump(fuzz_b);                                                        \
      std::abort();                                                                    \
    }                                                                                  \
  } while (0)

inline void dump(const std::string& s) { std::fprintf(stderr, "  \"%s\"\n", s.c_str()); }
template <class T>
void dump(const T& v) {
  if constexpr (std::is_integral_v<T>) {
    std::fprintf(stderr, "  %llu\n", static_cast<unsigned long long>(v));
  } else {
    std::fprintf(stderr, "  (value)\n");
  }
}

inline uint64_t be(const uint8_t* p, int n) {
  uint64_t v = 0;
  for (int i = 0; i < n; ++i) v = v << 8 | p[i];
  return v;
}

inline void put_be(std::string& out, uint64_t v, int n) {
  for (int i = n - 1; i >= 0; --i) out.push_back(static_cast<char>(v >> (8 * i)));
}

inline uint32_t crc(const uint8_t* p, uint64_t n) {
  uLong c = crc32(0L, Z_NULL, 0);
  while (n > 0) {  // zlib takes 32-bit lengths
    const uInt step = n > (1u << 30) ? (1u << 30) : static_cast<uInt>(n);
    c = crc32(c, p, step);
    p += step;
    n -= step;
  }
  return static_cast<uint32_t>(c);
}

inline std::string crc_text(uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08x", v);
  return buf;
}

// [off, off + n) inside `size` bytes, computed in 128 bits so nothing wraps.
inline bool inside(uint64_t off, uint64_t n, uint64_t size) {
  return static_cast<unsigned __int128>(off) + n <= size;
}

inline std::string as_string(vornel::Bytes b) { return std::string(b.begin(), b.end()); }
inline vornel::Bytes as_bytes(const std::string& s) {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

// A parsed store, or the full text of the first error that opening it must give.
struct OpenedStore {
  std::string error;  // empty when the open succeeds
  uint32_t num_keys = 0, num_objects = 0, file_crc32 = 0;
  uint64_t index_offset = 0, file_size = 0;
  uint64_t entries_end = 0;                               // where the last entry ends
  std::vector<std::pair<std::string, uint64_t>> entries;  // in file order
  std::map<std::string, uint64_t> last;                   // key -> offset of its last entry
};

inline OpenedStore open_store(const std::string& file, bool verify) {
  OpenedStore s;
  const auto* p = reinterpret_cast<const uint8_t*>(file.data());
  const uint64_t size = file.size();
  s.file_size = size;
  if (size < 40) {
    s.error = "VornCorruptError: file too small for header";
    return s;
  }
  if (file.compare(0, 4, "VRNL") != 0) {
    s.error = "VornCorruptError: bad magic [" + std::to_string(p[0]) + ", " +
              std::to_string(p[1]) + ", " + std::to_string(p[2]) + ", " +
              std::to_string(p[3]) + "]";
    return s;
  }
  if (p[4] != 2) {
    s.error = "VornVersionError: unsupported version " + std::to_string(p[4]);
    return s;
  }
  s.num_keys = static_cast<uint32_t>(be(p + 8, 4));
  s.num_objects = static_cast<uint32_t>(be(p + 12, 4));
  s.index_offset = be(p + 16, 8);
  s.file_crc32 = static_cast<uint32_t>(be(p + 32, 4));
  if (verify) {
    const uint32_t computed = crc(p + 40, size - 40);
    if (computed != s.file_crc32) {
      s.error = "VornCorruptError: file CRC32 mismatch  stored=" + crc_text(s.file_crc32) +
                "  computed=" + crc_text(computed);
      return s;
    }
  }
  uint64_t pos = s.index_offset;
  for (uint32_t i = 0; i < s.num_keys; ++i) {
    if (!inside(pos, 2, size)) {
      s.error = "VornCorruptError: index section truncated (key_len)";
      return s;
    }
    const uint64_t len = be(p + pos, 2);
    if (!inside(pos + 2, len + 8, size)) {
      s.error = "VornCorruptError: index section truncated (key + offset)";
      return s;
    }
    std::string key = file.substr(pos + 2, len);
    const uint64_t off = be(p + pos + 2 + len, 8);
    s.entries.emplace_back(key, off);
    s.last[key] = off;
    pos += 2 + len + 8;
  }
  s.entries_end = pos;
  return s;
}

// The payload of the record at `off`, or the error text of reading it.
struct ReadOutcome {
  std::string error;
  std::string payload;
  bool operator==(const ReadOutcome&) const = default;
};

inline ReadOutcome read_record(const std::string& file, uint64_t off) {
  const uint64_t size = file.size();
  if (!inside(off, 8, size)) return {"VornCorruptError: offset " + std::to_string(off) + " out of bounds", {}};
  const uint64_t len = be(reinterpret_cast<const uint8_t*>(file.data()) + off, 4);
  if (!inside(off + 8, len, size)) {
    return {"VornCorruptError: object at " + std::to_string(off) + " extends beyond file end", {}};
  }
  return {{}, file.substr(off + 8, len)};
}

// The text verify() must fail with, or empty when it must pass.
inline std::string verify_store(const std::string& file, const OpenedStore& s) {
  const auto* p = reinterpret_cast<const uint8_t*>(file.data());
  const uint64_t size = file.size();
  const uint32_t computed = crc(p + 40, size - 40);
  if (computed != s.file_crc32) {
    return "VornCorruptError: file CRC32 mismatch  stored=" + crc_text(s.file_crc32) +
           "  computed=" + crc_text(computed);
  }
  std::map<uint64_t, bool> seen;
  for (const auto& [key, off] : s.entries) {
    if (!seen.emplace(off, true).second) continue;
    if (!inside(off, 8, size)) {
      return "VornCorruptError: object offset " + std::to_string(off) + " out of bounds";
    }
    const uint64_t len = be(p + off, 4);
    if (!inside(off + 8, len, size)) {
      return "VornCorruptError: object at " + std::to_string(off) + " extends beyond file end";
    }
    if (crc(p + off + 8, len) != be(p + off + 4, 4)) {
      return "VornCorruptError: object CRC32 mismatch at offset " + std::to_string(off);
    }
  }
  // The layout: the entries end the file, and the records tile the data section.
  if (s.entries_end != size) {
    return "VornCorruptError: the index entries end at offset " + std::to_string(s.entries_end) +
           ", not at the end of the file (" + std::to_string(size) + " bytes)";
  }
  const uint64_t end = s.index_offset;
  uint64_t pos = 40;
  while (pos < end && end - pos >= 8) {
    const uint64_t len = be(p + pos, 4);
    if (len > end - pos - 8) break;
    pos += 8 + len;
  }
  if (pos > end) return "VornCorruptError: index_offset " + std::to_string(end) + " lies inside the header";
  if (pos != end) {
    return "VornCorruptError: the data section's records do not end at index_offset " +
           std::to_string(end) + ": the one at offset " + std::to_string(pos) + " runs past it";
  }
  return {};
}

// The exact bytes of a store holding `objects` and the final `bindings`.
inline std::string encode_store(const std::vector<std::string>& objects,
                                const std::map<std::string, uint64_t>& bindings) {
  std::string data, index;
  std::vector<uint64_t> offsets;
  for (const std::string& obj : objects) {
    offsets.push_back(40 + data.size());
    put_be(data, obj.size(), 4);
    put_be(data, crc(reinterpret_cast<const uint8_t*>(obj.data()), obj.size()), 4);
    data += obj;
  }
  for (const auto& [key, id] : bindings) {  // std::map orders keys bytewise, unsigned
    put_be(index, key.size(), 2);
    index += key;
    put_be(index, offsets[id], 8);
  }
  const std::string body = data + index;
  std::string file = "VRNL";
  file.push_back(2);
  file.append(3, '\0');
  put_be(file, bindings.size(), 4);
  put_be(file, objects.size(), 4);
  put_be(file, 40 + data.size(), 8);
  put_be(file, 40, 8);
  put_be(file, crc(reinterpret_cast<const uint8_t*>(body.data()), body.size()), 4);
  file.append(4, '\0');
  return file + body;
}

}  // namespace fuzz_model
