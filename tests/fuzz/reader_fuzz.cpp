// Fuzzes the reader with arbitrary files: open in both modes, every query, verify. Each
// outcome, error texts included, must match the model in fuzz_model.hpp. Opened through
// the key table too: never a crash, and the model's answers once verify() passes.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "fuzz_model.hpp"
#include "read/reader.hpp"
#include "../cpp/reads.hpp"
#include "store_words.hpp"

using namespace fuzz_model;
using vornel::Bytes;
using vornel::Reader;
using vornel::text_of;

namespace {

// The input lives in an anonymous memory file, opened by the reader through its
// /proc path: no disk traffic per run.
struct InputFile {
  InputFile() {
    fd = memfd_create("vornel-reader-fuzz", MFD_CLOEXEC);
    FUZZ_CHECK(fd >= 0);
    path = "/proc/self/fd/" + std::to_string(fd);
  }
  void fill(const std::string& bytes) {
    FUZZ_CHECK(ftruncate(fd, 0) == 0);
    FUZZ_CHECK(pwrite(fd, bytes.data(), bytes.size(), 0) == static_cast<ssize_t>(bytes.size()));
  }
  int fd;
  std::string path;
};

// A payload as the binding hands it out: copied from the mapping by copy_out.
ReadOutcome outcome(const vornel::Result<Bytes>& r) {
  if (!r) return {text_of(r.error()), {}};
  std::string copy(r->size(), '\0');
  const auto copied = vornel::copy_out(reinterpret_cast<uint8_t*>(copy.data()), *r);
  FUZZ_CHECK(copied.has_value());
  return {{}, copy};
}

bool sorted_index(const OpenedStore& s) {
  for (size_t i = 1; i < s.entries.size(); ++i) {
    if (s.entries[i].first < s.entries[i - 1].first) return false;
  }
  return true;
}

// What a strict read of the record at `off` gives: the plain read, then its checksum.
ReadOutcome strict_record(const std::string& file, uint64_t off) {
  ReadOutcome one = read_record(file, off);
  if (!one.error.empty()) return one;
  const auto* p = reinterpret_cast<const uint8_t*>(file.data());
  if (crc(reinterpret_cast<const uint8_t*>(one.payload.data()), one.payload.size()) !=
      be(p + off + 4, 4)) {
    return {"VornCorruptError: record CRC32 mismatch at offset " + std::to_string(off), {}};
  }
  return one;
}

void check_prefix(const Reader& r, const OpenedStore& s, const std::string& file,
                  const std::string& prefix, bool strict) {
  const auto range = r.prefix_range(as_bytes(prefix));
  if (strict && !sorted_index(s) && !s.entries.empty()) {
    // A strict reader refuses ordered answers from keys out of order.
    FUZZ_CHECK(!range);
    return;
  }
  // An index in memory always answers: only the key table's reads can fail.
  FUZZ_CHECK(range.has_value());
  const auto [first, last] = *range;
  FUZZ_CHECK(first <= last && last <= s.entries.size());
  for (size_t i = first; i < last; ++i) FUZZ_CHECK(s.entries[i].first.starts_with(prefix));
  if (sorted_index(s)) {
    // Over a sorted index the run is exactly the keys that carry the prefix.
    size_t want_first = 0;
    while (want_first < s.entries.size() && s.entries[want_first].first < prefix) ++want_first;
    size_t want_last = want_first;
    while (want_last < s.entries.size() && s.entries[want_last].first.starts_with(prefix)) {
      ++want_last;
    }
    FUZZ_CHECK_EQ(first, want_first);
    FUZZ_CHECK_EQ(last, want_last);
  }
  // The keys and payloads of the run, or the error of its first unreadable record.
  const auto payloads = vornel::testing::read_entries(r, first, last);
  ReadOutcome want_error;
  std::vector<std::string> want;
  for (size_t i = first; i < last; ++i) {
    ReadOutcome one = strict ? strict_record(file, s.entries[i].second)
                             : read_record(file, s.entries[i].second);
    if (!one.error.empty()) {
      want_error = one;
      break;
    }
    want.push_back(one.payload);
  }
  if (!want_error.error.empty()) {
    FUZZ_CHECK(!payloads);
    FUZZ_CHECK_EQ(text_of(payloads.error()), want_error.error);
  } else {
    FUZZ_CHECK(payloads.has_value());
    FUZZ_CHECK_EQ(payloads->size(), want.size());
    for (size_t i = 0; i < want.size(); ++i) FUZZ_CHECK_EQ(as_string((*payloads)[i]), want[i]);
  }
}

void check_queries(const Reader& r, const OpenedStore& s, const std::string& file,
                   const std::string& path, bool strict) {
  FUZZ_CHECK_EQ(r.path(), path);
  FUZZ_CHECK_EQ(r.file_size(), s.file_size);
  FUZZ_CHECK_EQ(r.header().num_keys, s.num_keys);
  FUZZ_CHECK_EQ(r.header().num_objects, s.num_objects);
  FUZZ_CHECK_EQ(r.header().index_offset, s.index_offset);
  FUZZ_CHECK_EQ(r.header().file_crc32, s.file_crc32);
  FUZZ_CHECK_EQ(r.size(), s.entries.size());
  const bool ordered = sorted_index(s);
  std::vector<Bytes> keys(s.entries.size());
  const auto listed = r.locate_keys(0, keys.size(), keys.data());
  FUZZ_CHECK_EQ(listed.has_value(), !strict || ordered || keys.empty());
  if (listed) {
    for (size_t i = 0; i < keys.size(); ++i) FUZZ_CHECK_EQ(as_string(keys[i]), s.entries[i].first);
  }

  // Lookups: every indexed key, and near misses around each.
  std::set<std::string> probes;
  for (const auto& [key, off] : s.entries) {
    probes.insert(key);
    probes.insert(key + '\0');
    if (!key.empty()) probes.insert(key.substr(0, key.size() - 1));
    if (probes.size() > 256) break;
  }
  probes.insert(file.substr(file.size() > 4 ? file.size() - 4 : 0));
  for (const std::string& key : probes) {
    const auto it = s.last.find(key);
    const auto held = r.holds(as_bytes(key));
    FUZZ_CHECK(held.has_value());
    FUZZ_CHECK_EQ(*held, it != s.last.end());
    const auto got = r.get(as_bytes(key));
    if (it == s.last.end()) {
      FUZZ_CHECK(got.has_value() && !got->has_value());
      continue;
    }
    const ReadOutcome want = strict ? strict_record(file, it->second) : read_record(file, it->second);
    if (!got) {
      FUZZ_CHECK_EQ(text_of(got.error()), want.error);
    } else {
      FUZZ_CHECK(got->has_value());
      FUZZ_CHECK(outcome(**got) == want);
    }
  }

  // Records at arbitrary offsets, taken from the file's own bytes and from its end.
  const uint64_t size = file.size();
  for (uint64_t off : {uint64_t{0}, size - 8, size - 7, size, ~uint64_t{0}, ~uint64_t{0} - 7,
                       fuzz_model::be(reinterpret_cast<const uint8_t*>(file.data()) + 16, 8)}) {
    FUZZ_CHECK(outcome(vornel::testing::read_object(r, off)) ==
               (strict ? strict_record(file, off) : read_record(file, off)));
  }

  check_prefix(r, s, file, "", strict);
  size_t n = 0;
  for (const std::string& prefix : probes) {
    if (++n > 32) break;
    check_prefix(r, s, file, prefix, strict);
    if (prefix.size() > 1) check_prefix(r, s, file, prefix.substr(0, 1), strict);
  }
  std::vector<Bytes> out(4);
  FUZZ_CHECK(!r.locate_items(s.entries.size() + 1, 0, out.data(), out.data()));

  // Distinct objects in order of first reference.
  std::set<uint64_t> seen;
  std::vector<uint64_t> want;
  for (const auto& [key, off] : s.entries) {
    if (seen.insert(off).second) want.push_back(off);
  }
  const auto offsets = r.distinct_offsets();
  FUZZ_CHECK(offsets.has_value());
  FUZZ_CHECK(*offsets == want);

  std::string verify_error = verify_store(file, s);
  if (verify_error.empty() && strict) {
    // The header's object count against the records that tile the data section.
    const auto* p = reinterpret_cast<const uint8_t*>(file.data());
    uint64_t count = 0;
    for (uint64_t pos = 40; pos < s.index_offset; pos += 8 + be(p + pos, 4)) ++count;
    if (count != s.num_objects) {
      verify_error = "VornCorruptError: the header counts " + std::to_string(s.num_objects) +
                     " objects, the data section holds " + std::to_string(count);
    }
  }
  // A strict reader's verify() wants each key above the one before it: no repeats either.
  const auto repeated = [&] {
    for (size_t i = 1; i < s.entries.size(); ++i) {
      if (s.entries[i].first == s.entries[i - 1].first) return true;
    }
    return false;
  };
  if (verify_error.empty() && strict && (!ordered || repeated())) {
    size_t at = 1;
    while (s.entries[at - 1].first < s.entries[at].first) ++at;
    verify_error = "VornCorruptError: index entry " + std::to_string(at) +
                   " is not above the key before it";
  }
  for (int round = 0; round < 2; ++round) {  // a failed verify leaves the reader as it was
    const auto verified = r.verify();
    FUZZ_CHECK_EQ(verified.has_value(), verify_error.empty());
    if (!verified) FUZZ_CHECK_EQ(text_of(verified.error()), verify_error);
  }
}

// A reader through the key table: the header's errors as the plain open's; past them, a
// table that is not in use leaves the plain open's outcome, and one in use answers
// without crashing, never gives a key another key's value, never lists a key that is not
// in the index section, and, once verify() vouches for it, answers as the index itself.
void check_table(const std::string& file, const std::string& path, bool verify) {
  const OpenedStore want = open_store(file, verify);
  auto opened = Reader::open(path, verify, vornel::OpenOptions{.use_key_table = true, .strict = true});
  if (!opened) {
    const std::string text = text_of(opened.error());
    // Marks this version lacks refuse the package's open; _vornel never reads them.
    if (text.starts_with("VornVersionError: unsupported store layout")) return;
    if (want.error.empty() || want.error.starts_with("VornVersionError") ||
        want.error.find("magic") != std::string::npos || file.size() < 40) {
      // The header's own faults come first; past them, a strict open refuses an
      // index_offset outside the file's sections, and a checked one a broken layout.
      if (!want.error.empty()) FUZZ_CHECK_EQ(text, want.error);
    } else if (want.index_offset < 40 || want.index_offset > file.size()) {
      FUZZ_CHECK_EQ(text, "VornCorruptError: index_offset " + std::to_string(want.index_offset) +
                              " lies outside the file's sections (40 to " +
                              std::to_string(file.size()) + ")");
    } else {
      FUZZ_CHECK_EQ(text, want.error);
    }
    return;
  }
  const Reader& r = **opened;
  FUZZ_CHECK(r.user_objects() <= r.header().num_objects);
  if (r.key_table_state() != vornel::KeyTableState::InUse) {
    FUZZ_CHECK_EQ(want.error, std::string());
    FUZZ_CHECK_EQ(r.size(), want.entries.size());
    return;
  }
  // An index section the plain open cannot parse is never vouched for.
  const bool vouched = r.verify().has_value();
  FUZZ_CHECK(!vouched || want.error.empty());
  FUZZ_CHECK_EQ(r.size(), static_cast<size_t>(r.header().num_keys));

  std::set<std::string> probes = {"", std::string(1, '\0')};
  for (const auto& [key, off] : want.entries) {
    probes.insert(key);
    probes.insert(key + '\xff');
    if (probes.size() > 64) break;
  }
  for (const std::string& key : probes) {
    const auto holds = r.holds(as_bytes(key));
    const auto got = r.get(as_bytes(key));
    const auto bound = r.lower_bound(as_bytes(key));
    if (bound) FUZZ_CHECK(*bound <= r.size());
    const auto it = want.last.find(key);
    // Whatever the table says, a value found is the key's own: the record of one of its
    // entries.
    if (want.error.empty() && got && *got) {
      bool own = false;
      for (const auto& [k, off] : want.entries) {
        own |= k == key && outcome(**got) == strict_record(file, off);
      }
      FUZZ_CHECK(own);
    }
    if (!vouched) continue;
    FUZZ_CHECK(holds.has_value() && got.has_value() && bound.has_value());
    FUZZ_CHECK_EQ(*holds, it != want.last.end());
    FUZZ_CHECK_EQ(got->has_value(), it != want.last.end());
    size_t first = 0;
    while (first < want.entries.size() && want.entries[first].first < key) ++first;
    FUZZ_CHECK_EQ(*bound, first);
  }
  // Every rank's key and payload, a block at a time: a listing that succeeds lists the
  // index section's keys, in its order.
  std::vector<Bytes> keys(r.size()), payloads(r.size());
  const auto listed = r.locate_keys(0, r.size(), keys.data());
  if (listed && want.error.empty()) {
    FUZZ_CHECK_EQ(r.size(), want.entries.size());
    for (size_t i = 0; i < r.size(); ++i) FUZZ_CHECK_EQ(as_string(keys[i]), want.entries[i].first);
  }
  const auto read = r.locate_items(0, r.size(), keys.data(), payloads.data());
  if (!vouched) return;
  FUZZ_CHECK(listed.has_value());
  ReadOutcome want_error;
  for (const auto& [key, off] : want.entries) {
    if (ReadOutcome one = strict_record(file, off); !one.error.empty()) {
      want_error = one;
      break;
    }
  }
  FUZZ_CHECK_EQ(read.has_value(), want_error.error.empty());
  if (!read) FUZZ_CHECK_EQ(text_of(read.error()), want_error.error);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static InputFile input;
  const std::string file(reinterpret_cast<const char*>(data), size);
  input.fill(file);

  for (bool verify : {false, true}) {
    const OpenedStore want = open_store(file, verify);
    auto reader = Reader::open(input.path, verify);
    if (!want.error.empty()) {
      FUZZ_CHECK(!reader);
      FUZZ_CHECK_EQ(text_of(reader.error()), want.error);
      continue;
    }
    if (!reader) FUZZ_CHECK_EQ(text_of(reader.error()), std::string("(no error)"));
    check_queries(**reader, want, file, input.path, false);
    // A strict reader's unchecked open: the same index, its values checked as read.
    const uint64_t offset = want.index_offset;
    auto strict = Reader::open(input.path, false, vornel::OpenOptions{.strict = true});
    if (offset < 40 || offset > file.size()) {
      FUZZ_CHECK(!strict);
      continue;
    }
    if (!verify) {
      if (!strict) FUZZ_CHECK_EQ(text_of(strict.error()), std::string("(no error)"));
      check_queries(**strict, want, file, input.path, true);
    }
  }
  for (bool verify : {false, true}) check_table(file, input.path, verify);
  return 0;
}
