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
#include "reader.hpp"

using namespace fuzz_model;
using vornel::Bytes;
using vornel::Reader;

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
  if (!r) return {r.error().text(), {}};
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

void check_prefix(const Reader& r, const OpenedStore& s, const std::string& file,
                  const std::string& prefix) {
  // An index in memory always answers: only the key table's reads can fail.
  const auto range = r.prefix_range(as_bytes(prefix));
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
  // The payloads of the run, or the error of its first unreadable record.
  const auto payloads = r.read_entries(first, last);
  ReadOutcome want_error;
  std::vector<std::string> want;
  for (size_t i = first; i < last; ++i) {
    ReadOutcome one = read_record(file, s.entries[i].second);
    if (!one.error.empty()) {
      want_error = one;
      break;
    }
    want.push_back(one.payload);
  }
  if (!want_error.error.empty()) {
    FUZZ_CHECK(!payloads);
    FUZZ_CHECK_EQ(payloads.error().text(), want_error.error);
  } else {
    FUZZ_CHECK(payloads.has_value());
    FUZZ_CHECK_EQ(payloads->size(), want.size());
    for (size_t i = 0; i < want.size(); ++i) FUZZ_CHECK_EQ(as_string((*payloads)[i]), want[i]);
  }
}

void check_queries(const Reader& r, const OpenedStore& s, const std::string& file,
                   const std::string& path) {
  FUZZ_CHECK_EQ(r.path(), path);
  FUZZ_CHECK_EQ(r.file_size(), s.file_size);
  FUZZ_CHECK_EQ(r.header().num_keys, s.num_keys);
  FUZZ_CHECK_EQ(r.header().num_objects, s.num_objects);
  FUZZ_CHECK_EQ(r.header().index_offset, s.index_offset);
  FUZZ_CHECK_EQ(r.header().file_crc32, s.file_crc32);
  FUZZ_CHECK_EQ(r.size(), s.entries.size());
  for (size_t i = 0; i < s.entries.size(); ++i) {
    FUZZ_CHECK_EQ(as_string(r.key_at(i)), s.entries[i].first);
    FUZZ_CHECK_EQ(r.offset_at(i), s.entries[i].second);
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
    const auto found = r.find(as_bytes(key));
    FUZZ_CHECK_EQ(found.has_value(), it != s.last.end());
    FUZZ_CHECK_EQ(r.contains(as_bytes(key)), it != s.last.end());
    if (!found) continue;
    FUZZ_CHECK_EQ(*found, it->second);
    FUZZ_CHECK(outcome(r.read_object(*found)) == read_record(file, *found));
  }

  // Records at arbitrary offsets, taken from the file's own bytes and from its end.
  const uint64_t size = file.size();
  for (uint64_t off : {uint64_t{0}, size - 8, size - 7, size, ~uint64_t{0}, ~uint64_t{0} - 7,
                       fuzz_model::be(reinterpret_cast<const uint8_t*>(file.data()) + 16, 8)}) {
    FUZZ_CHECK(outcome(r.read_object(off)) == read_record(file, off));
  }

  check_prefix(r, s, file, "");
  size_t n = 0;
  for (const std::string& prefix : probes) {
    if (++n > 32) break;
    check_prefix(r, s, file, prefix);
    if (prefix.size() > 1) check_prefix(r, s, file, prefix.substr(0, 1));
  }
  // Ranges past the end are clamped.
  const auto all = r.read_entries(0, s.entries.size() + 5);
  const auto none = r.read_entries(s.entries.size() + 5, 1);
  FUZZ_CHECK(none.has_value() && none->empty());
  const auto exact = r.read_entries(0, s.entries.size());
  FUZZ_CHECK_EQ(all.has_value(), exact.has_value());
  if (all) FUZZ_CHECK_EQ(all->size(), exact->size());

  // Distinct objects in order of first reference, or the first unreadable one's error.
  std::set<uint64_t> seen;
  std::vector<std::string> want;
  std::string want_error;
  for (const auto& [key, off] : s.entries) {
    if (!seen.insert(off).second) continue;
    ReadOutcome one = read_record(file, off);
    if (!one.error.empty()) {
      want_error = one.error;
      break;
    }
    want.push_back(one.payload);
  }
  const auto objects = r.distinct_objects();
  if (!want_error.empty()) {
    FUZZ_CHECK(!objects);
    FUZZ_CHECK_EQ(objects.error().text(), want_error);
  } else {
    FUZZ_CHECK(objects.has_value());
    FUZZ_CHECK_EQ(objects->size(), want.size());
    for (size_t i = 0; i < want.size(); ++i) FUZZ_CHECK_EQ(as_string((*objects)[i]), want[i]);
  }

  const std::string verify_error = verify_store(file, s);
  for (int round = 0; round < 2; ++round) {  // a failed verify leaves the reader as it was
    const auto verified = r.verify();
    FUZZ_CHECK_EQ(verified.has_value(), verify_error.empty());
    if (!verified) FUZZ_CHECK_EQ(verified.error().text(), verify_error);
  }
}

// A reader through the key table: the header's errors as the plain open's; past them, a
// table that is not in use leaves the plain open's outcome, and one in use answers
// without crashing and, once verify() vouches for it, as the index itself does.
void check_table(const std::string& file, const std::string& path, bool verify) {
  const OpenedStore want = open_store(file, verify);
  auto opened = Reader::open(path, verify, vornel::OpenOptions{true});
  if (!opened) {
    FUZZ_CHECK_EQ(opened.error().text(), want.error);
    return;
  }
  const Reader& r = **opened;
  FUZZ_CHECK(r.user_objects() <= r.header().num_objects);
  if (r.key_table_state() != vornel::KeyTableState::InUse) {
    FUZZ_CHECK_EQ(want.error, std::string());
    FUZZ_CHECK_EQ(r.size(), want.entries.size());
    for (size_t i = 0; i < r.size(); ++i) FUZZ_CHECK_EQ(as_string(r.key_at(i)), want.entries[i].first);
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
    const auto found = r.lookup(as_bytes(key));
    const auto holds = r.holds(as_bytes(key));
    const auto got = r.get(as_bytes(key));
    const auto bound = r.lower_bound(as_bytes(key));
    if (bound) FUZZ_CHECK(*bound <= r.size());
    if (!vouched) continue;
    const auto it = want.last.find(key);
    FUZZ_CHECK(found.has_value() && holds.has_value() && got.has_value() && bound.has_value());
    FUZZ_CHECK_EQ(found->has_value(), it != want.last.end());
    FUZZ_CHECK_EQ(*holds, it != want.last.end());
    if (*found) FUZZ_CHECK_EQ(**found, it->second);
    size_t first = 0;
    while (first < want.entries.size() && want.entries[first].first < key) ++first;
    FUZZ_CHECK_EQ(*bound, first);
  }
  // Every rank's key and payload, a block at a time.
  std::vector<Bytes> keys(r.size()), payloads(r.size());
  const auto listed = r.locate_keys(0, r.size(), keys.data());
  const auto read = r.locate_entries(0, r.size(), payloads.data());
  if (!vouched) return;
  FUZZ_CHECK(listed.has_value());
  for (size_t i = 0; i < r.size(); ++i) FUZZ_CHECK_EQ(as_string(keys[i]), want.entries[i].first);
  ReadOutcome want_error;
  for (const auto& [key, off] : want.entries) {
    if (ReadOutcome one = read_record(file, off); !one.error.empty()) {
      want_error = one;
      break;
    }
  }
  FUZZ_CHECK_EQ(read.has_value(), want_error.error.empty());
  if (!read) FUZZ_CHECK_EQ(read.error().text(), want_error.error);
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
      FUZZ_CHECK_EQ(reader.error().text(), want.error);
      continue;
    }
    if (!reader) FUZZ_CHECK_EQ(reader.error().text(), std::string("(no error)"));
    check_queries(**reader, want, file, input.path);
  }
  for (bool verify : {false, true}) check_table(file, input.path, verify);
  return 0;
}
