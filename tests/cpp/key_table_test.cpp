// The persisted key table against the in-memory index on generated stores, and tables
// that are damaged, forged, stale or cut short under their reader.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "util/crc32.hpp"
#include "format/key_table.hpp"
#include "read/reader.hpp"
#include "write/writer.hpp"
#include "store_words.hpp"
#include "test_files.hpp"

namespace vornel {
namespace {

namespace fs = std::filesystem;
using Model = std::map<std::string, std::string>;

std::unique_ptr<Reader> open_or_die(const std::string& path, bool use_table, bool verify = false) {
  auto r = Reader::open(path, verify, OpenOptions{use_table});
  EXPECT_TRUE(r) << text_of(r.error());
  return r ? std::move(*r) : nullptr;
}

// The value of `key` as `r` reads it, or nullopt when it is missing or unreadable.
std::optional<std::string> value_of(const Reader& r, const std::string& key) {
  const auto got = r.get(bytes_of(key));
  if (!got || !*got) return std::nullopt;
  return string_of(**got);
}

class KeyTableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (fs::path(::testing::TempDir()) / "vornel-table-XXXXXX").string();
    dir_ = ::mkdtemp(tmpl.data());
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string file(const std::string& name) const { return (dir_ / name).string(); }

  // Builds `model` (values staged once each) with a key table at `name`.
  std::string build(const std::string& name, const Model& model) const {
    Writer w;
    for (const auto& [key, value] : model) {
      EXPECT_TRUE(w.add_key(bytes_of(key), w.add_object(bytes_of(value))));
    }
    BuildOptions options;
    options.key_table = true;
    const std::string path = file(name);
    const auto report = w.build(path, options);
    EXPECT_TRUE(report && report->key_table);
    return path;
  }

  fs::path dir_;
};

// Keys that stress the table and the ordered search: the empty key, keys sharing their
// first 8 bytes (the sampled head), a key of the largest length, runs of prefixes.
Model generated(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  Model m;
  const std::string alphabet = std::string("ab\x00\xff", 4) + "cz";
  while (m.size() < n) {
    std::string key;
    switch (rng() % 3) {
      case 0:
        key = "same8bytes";  // shares its head with every other such key
        [[fallthrough]];
      default:
        for (size_t len = rng() % 14; len > 0; --len) key += alphabet[rng() % alphabet.size()];
    }
    m[key] = "value of " + key + std::string(rng() % 30, '.');
  }
  return m;
}

// Every query through the table answers as the in-memory index does, for every key,
// near misses around each, and the ranks of the whole store.
void expect_same_answers(const Reader& table, const Reader& memory) {
  ASSERT_EQ(table.key_table_state(), KeyTableState::InUse) << table_note_words(table.key_table_note());
  ASSERT_EQ(memory.key_table_state(), KeyTableState::Absent);
  ASSERT_EQ(table.size(), memory.size());
  const size_t n = memory.size();
  std::vector<Bytes> keys(n), payloads(n), memory_keys(n), memory_payloads(n), unused(n);
  ASSERT_TRUE(table.locate_keys(0, n, keys.data()));
  ASSERT_TRUE(table.locate_items(0, n, unused.data(), payloads.data()));
  ASSERT_TRUE(memory.locate_items(0, n, memory_keys.data(), memory_payloads.data()));
  std::vector<std::string> probes = {"", std::string(1, '\0'), "\xff", "\xff\xff", "a\xff",
                                     "same8byte", "same8bytes"};
  std::vector<std::string> model(n);
  for (size_t i = 0; i < n; ++i) {
    const std::string key = string_of(memory_keys[i]);
    model[i] = key;
    ASSERT_EQ(string_of(keys[i]), key) << i;
    ASSERT_EQ(string_of(payloads[i]), string_of(memory_payloads[i]));
    probes.push_back(key);
    probes.push_back(key + '\0');
    probes.push_back(key + '\xff');
    if (!key.empty()) probes.push_back(key.substr(0, key.size() - 1));
  }
  // Keys and payloads together, from either index, as each comes alone.
  for (const Reader* r : {&table, &memory}) {
    std::vector<Bytes> item_keys(n), item_payloads(n);
    ASSERT_TRUE(r->locate_items(0, n, item_keys.data(), item_payloads.data()));
    for (size_t i = 0; i < n; ++i) {
      ASSERT_EQ(string_of(item_keys[i]), model[i]) << i;
      ASSERT_EQ(string_of(item_payloads[i]), string_of(payloads[i])) << i;
    }
  }
  for (const std::string& probe : probes) {
    const Bytes p = bytes_of(probe);
    const auto got = table.get(p);
    const auto want = memory.get(p);
    ASSERT_TRUE(got && want);
    ASSERT_EQ(got->has_value(), want->has_value());
    if (*got) {
      EXPECT_EQ(string_of(**got), string_of(**want));
    }
    EXPECT_EQ(*table.holds(p), *memory.holds(p));
    EXPECT_EQ(*table.lower_bound(p), *memory.lower_bound(p)) << probe.size();
    // The keys with the prefix, counted one by one: those below the probe come first.
    const size_t below = std::count_if(model.begin(), model.end(),
                                       [&](const std::string& k) { return k < probe; });
    const size_t with = std::count_if(model.begin(), model.end(), [&](const std::string& k) {
      return k.compare(0, probe.size(), probe) == 0;
    });
    const std::pair<size_t, size_t> run{below, below + with};
    EXPECT_EQ(*table.prefix_range(p), run) << probe.size();
    EXPECT_EQ(*memory.prefix_range(p), run) << probe.size();
  }
  EXPECT_TRUE(table.verify()) << text_of(table.verify().error());
  EXPECT_TRUE(memory.verify());
}

TEST_F(KeyTableTest, AnswersAsTheInMemoryIndexOnGeneratedStores) {
  // Several buckets of home order from about a thousand keys on; stores of one key and
  // of none.
  const std::pair<size_t, uint32_t> shapes[] = {{0, 1}, {1, 2}, {2, 3}, {17, 4}, {300, 5}, {3000, 6}};
  for (const auto& [n, seed] : shapes) {
    Model model = generated(n, seed);
    if (n == 300) model[std::string(kMaxKeyLen, 'L')] = "longest";
    std::string name = "g";
    name += std::to_string(n);
    const std::string path = build(name, model);
    const auto table = open_or_die(path, true, true);
    const auto memory = open_or_die(path, false, true);
    ASSERT_TRUE(table && memory);
    expect_same_answers(*table, *memory);
    // The table's record: one more object, the user's count without it.
    EXPECT_EQ(memory->header().num_objects, model.size() + 1);
    EXPECT_EQ(table->user_objects(), model.size());
    EXPECT_EQ(memory->user_objects(), model.size() + 1);  // not looked for
    const size_t keys = model.size();
    std::vector<Bytes> out(keys + 1);
    const std::string past_text = "VornError: ranks " + std::to_string(keys / 2) + " to " +
                                  std::to_string(keys + 1) + " out of range (have " +
                                  std::to_string(keys) + " keys)";
    const Status past = table->locate_keys(keys / 2, keys - keys / 2 + 1, out.data());
    ASSERT_FALSE(past);
    EXPECT_EQ(text_of(past.error()), past_text);
    std::vector<Bytes> out_payloads(keys + 1);
    for (const Reader* r : {table.get(), memory.get()}) {
      const Status items = r->locate_items(keys / 2, keys - keys / 2 + 1, out.data(),
                                           out_payloads.data());
      ASSERT_FALSE(items);
      EXPECT_EQ(text_of(items.error()), past_text);
    }
  }
}

// Where the table of a store file lies, read from its trailer.
struct TableAt {
  explicit TableAt(const std::string& file) {
    const auto* p = reinterpret_cast<const uint8_t*>(file.data());
    index_offset = load_be64(p + 16);
    trailer = index_offset - KeyTableGeometry::kTrailerSize;
    payload = index_offset - load_be64(p + trailer + 16);
    slots = payload;
    ranks = payload + load_be64(p + trailer + 56);
    sample = payload + load_be64(p + trailer + 64);
  }
  uint64_t index_offset, trailer, payload, slots, ranks, sample;
};

uint64_t get_be64(const std::string& f, uint64_t at) {
  return load_be64(reinterpret_cast<const uint8_t*>(f.data()) + at);
}
void put_be64(std::string& f, uint64_t at, uint64_t v) {
  store_be64(reinterpret_cast<uint8_t*>(f.data()) + at, v);
}
void put_be32(std::string& f, uint64_t at, uint32_t v) {
  store_be32(reinterpret_cast<uint8_t*>(f.data()) + at, v);
}
uint32_t crc_of(const std::string& f, uint64_t from, uint64_t to) {
  return crc32(reinterpret_cast<const uint8_t*>(f.data()) + from, to - from);
}

// Makes every checksum right again after the table at `t` was changed: the trailer's,
// the table record's, the whole file's and the header's marks', so that only the table's
// contents are wrong.
void reseal(std::string& f, const TableAt& t) {
  put_be32(f, t.trailer + 100, crc_of(f, t.trailer, t.trailer + 100));
  put_be32(f, t.payload - 4, crc_of(f, t.payload, t.index_offset));
  put_be32(f, 32, crc_of(f, kHeaderSize, f.size()));
  put_be32(f, Marks::kCheckAt, crc_of(f, 0, Marks::kCheckAt));
}

// The value of `key` by the in-memory index of the store at `path`.
std::optional<std::string> memory_find(const std::string& path, const std::string& key) {
  return value_of(*open_or_die(path, false), key);
}

// A checked open of a store whose table is damaged: the keys indexed in memory, the
// reason given, every answer the index's own, and verify() reporting `verify_error`.
void expect_checked_open_falls_back(const std::string& path, const Reader& memory,
                                    const Model& model, const std::string& note,
                                    const std::string& verify_error) {
  const auto checked = Reader::open(path, true, OpenOptions{true});
  ASSERT_TRUE(checked) << text_of(checked.error());
  const Reader& r = **checked;
  EXPECT_EQ(r.key_table_state(), KeyTableState::Ignored);
  EXPECT_EQ(table_note_words(r.key_table_note()), note);
  EXPECT_EQ(r.user_objects(), memory.header().num_objects - 1);
  for (const auto& [key, value] : model) EXPECT_EQ(value_of(r, key), value_of(memory, key)) << key;
  const Status v = r.verify();
  ASSERT_FALSE(v);
  EXPECT_EQ(text_of(v.error()), verify_error);
}

// Whatever `r` answers through its table, it never gives a key's lookup another key's
// record: each offset found is the key's own, each key listed the one at that rank.
void expect_never_wrong(const Reader& r, const Reader& memory, const Model& probes) {
  for (const auto& [key, value] : probes) {
    const auto found = r.get(bytes_of(key));
    if (found && found->has_value()) {
      EXPECT_EQ(string_of(**found), value_of(memory, key)) << key;
    }
  }
}

TEST_F(KeyTableTest, AnUnsoundTrailerIsIgnoredWithItsReason) {
  const Model model = generated(50, 11);
  const std::string path = build("s", model);
  const std::string good = read_file(path);
  const TableAt t(good);
  // Any byte flipped: the magic gone there is no table, else its checksum fails.
  for (uint64_t i = 0; i < KeyTableGeometry::kTrailerSize; ++i) {
    std::string bad = good;
    bad[t.trailer + i] ^= 0x20;
    write_file(path, bad);
    const auto r = open_or_die(path, true);
    EXPECT_EQ(r->key_table_state(), KeyTableState::Ignored) << i;
    EXPECT_EQ(table_note_words(r->key_table_note()),
              i < 8 ? "the header marks one that the data section does not end with"
                    : "its trailer fails its checksum")
        << i;
    EXPECT_EQ(r->user_objects(), model.size());  // the marked record is the table's still
    EXPECT_EQ(value_of(*r, model.rbegin()->first), memory_find(path, model.rbegin()->first));
  }
  // A field changed under a right checksum: another store's, or the wrong shape.
  const std::tuple<uint64_t, uint64_t, const char*> cases[] = {
      {24, 1, "it was made for another store"},
      {32, 8, "it was made for another store"},
      {40, 8, "it was made for another store"},
      {48, 1, "its geometry does not match its store"},
      {56, 8, "its geometry does not match its store"},
      {16, 8, "no record frames it"},
      {8, uint64_t{1} << 32, "its format version is not one this reader knows"}};
  for (const auto& [field, delta, note] : cases) {
    std::string bad = good;
    put_be64(bad, t.trailer + field, get_be64(good, t.trailer + field) + delta);
    reseal(bad, t);
    write_file(path, bad);
    const auto r = open_or_die(path, true, true);
    EXPECT_EQ(r->key_table_state(), KeyTableState::Ignored) << field;
    EXPECT_EQ(table_note_words(r->key_table_note()), note) << field;
    EXPECT_EQ(r->user_objects(), model.size());
    // The index in memory answers; verify() names the table the header promised.
    const Status v = r->verify();
    ASSERT_FALSE(v) << field;
    EXPECT_EQ(text_of(v.error()),
              std::string("VornCorruptError: the key table that the header marks is ignored: ") + note);
  }
}

// A store whose keys differ from `model`'s in their bytes only, so that its index section
// has the same length and the same entry positions.
Model same_shape(const Model& model) {
  Model other;
  for (const auto& [key, value] : model) {
    std::string k = key;
    for (char& c : k) c = static_cast<char>(c ^ 0x55);
    other[k] = value;
  }
  return other;
}

TEST_F(KeyTableTest, AStaleTableOfAnotherStoreWithItsShapeGivesNoWrongAnswer) {
  const Model mine = generated(400, 13);
  const Model theirs = same_shape(mine);
  const std::string path = build("mine", mine);
  std::string bytes = read_file(path);
  const std::string stale = read_file(build("theirs", theirs));
  const TableAt t(bytes);
  ASSERT_EQ(TableAt(stale).payload, t.payload);  // the same shape, so the same identity
  bytes.replace(t.payload, t.index_offset - t.payload, stale, t.payload, t.index_offset - t.payload);
  reseal(bytes, t);
  write_file(path, bytes);
  const auto r = open_or_die(path, true);
  const auto memory = open_or_die(path, false);
  ASSERT_EQ(r->key_table_state(), KeyTableState::InUse);
  expect_never_wrong(*r, *memory, mine);
  expect_never_wrong(*r, *memory, theirs);
  const Status v = r->verify();
  ASSERT_FALSE(v);
  EXPECT_EQ(text_of(v.error()).rfind("VornCorruptError: key table disagrees with the index section: ", 0), 0u)
      << text_of(v.error());
  // The file's checksum alone passes: a checked open indexes in memory instead.
  expect_checked_open_falls_back(path, *memory, mine, "it disagrees with the index section",
                                 text_of(v.error()));
}

TEST_F(KeyTableTest, ForgedSlotsRanksAndSampleAreCaughtByVerifyAndNeverGiveAnotherKey) {
  const Model model = generated(200, 14);
  const std::string path = build("s", model);
  const std::string good = read_file(path);
  const TableAt t(good);
  const auto memory = open_or_die(path, false);
  const uint64_t last = model.size() - 1;
  // Rewrites each slot word for which `change` says so.
  const auto rewrite_slots = [&](std::string& f, auto&& change) {
    for (uint64_t at = t.slots; at < t.ranks; at += 8) {
      if (uint64_t word = get_be64(f, at); change(word)) put_be64(f, at, word);
    }
  };
  struct Forgery {
    const char* what;
    std::function<void(std::string&)> forge;
    std::string verify_error;
  };
  const std::string prefix = "VornCorruptError: key table disagrees with the index section: ";
  const Forgery forgeries[] = {
      {"every slot sent to the first entry",
       [&](std::string& f) {
         rewrite_slots(f, [](uint64_t& w) { return w != 0 && (w = (w >> 48 << 48) | 1); });
       },
       prefix + "entry 1 is not found at its own position"},
      {"every slot sent past the section",
       [&](std::string& f) { rewrite_slots(f, [](uint64_t& w) { return w != 0 && (w = ~w | w); }); },
       prefix + "entry 0 is not found at its own position"},
      {"an extra slot",
       [&](std::string& f) {
         bool done = false;
         rewrite_slots(f, [&](uint64_t& w) { return w == 0 && !std::exchange(done, true) && (w = 1); });
       },
       prefix + "its slots name more entries than there are"},
      {"two ranks swapped",
       [&](std::string& f) { std::swap_ranges(&f[t.ranks + 4], &f[t.ranks + 8], &f[t.ranks + 8]); },
       prefix + "the rank of entry 1 names another entry"},
      {"a sampled head", [&](std::string& f) { f[t.sample + 8 + 7] ^= 1; },
       prefix + "the sampled head of entry 16 is not its key's"},
  };
  for (const Forgery& forgery : forgeries) {
    std::string bad = good;
    forgery.forge(bad);
    reseal(bad, t);
    write_file(path, bad);
    const auto r = open_or_die(path, true);
    ASSERT_EQ(r->key_table_state(), KeyTableState::InUse) << forgery.what;
    expect_never_wrong(*r, *memory, model);
    const Status v = r->verify();
    ASSERT_FALSE(v) << forgery.what;
    EXPECT_EQ(text_of(v.error()), forgery.verify_error) << forgery.what;
    expect_checked_open_falls_back(path, *memory, model, "it disagrees with the index section",
                                   forgery.verify_error);
  }

  // A rank past the section: the listing of that rank fails, the others still list.
  std::string bad = good;
  put_be32(bad, t.ranks + 4 * last, 0xFFFFFFF0);
  reseal(bad, t);
  write_file(path, bad);
  const auto r = open_or_die(path, true);
  std::vector<Bytes> out(model.size());
  const Status keys = r->locate_keys(0, model.size(), out.data());
  ASSERT_FALSE(keys);
  EXPECT_EQ(text_of(keys.error()),
            "VornCorruptError: key table names no entry for rank " + std::to_string(last));
  std::vector<Bytes> item_keys(model.size());
  EXPECT_FALSE(r->locate_items(last, 1, item_keys.data(), out.data()));
  EXPECT_TRUE(r->locate_items(0, last, item_keys.data(), out.data()));
  // The table's record damaged, its contents intact: verify names the record.
  std::string damaged = good;
  damaged[t.payload + 3] ^= 1;
  put_be32(damaged, 32, crc_of(damaged, kHeaderSize, damaged.size()));
  put_be32(damaged, Marks::kCheckAt, crc_of(damaged, 0, Marks::kCheckAt));
  write_file(path, damaged);
  const Status v = open_or_die(path, true)->verify();
  ASSERT_FALSE(v);
  EXPECT_EQ(text_of(v.error()), "VornCorruptError: key table record CRC32 mismatch at offset " +
                                  std::to_string(t.payload - kRecordPrefix));
  expect_checked_open_falls_back(path, *memory, model, "its record fails its checksum",
                                 text_of(v.error()));
}

TEST_F(KeyTableTest, AStoreCutShortUnderItsReaderFailsAndNeverCrashes) {
  Model model;
  for (int i = 0; i < 3000; ++i) {
    std::string key = "key";
    key += std::to_string(i);
    model[key] = std::string(900, 'v');
  }
  const std::string path = build("s", model);
  const std::string whole = read_file(path);
  const TableAt t(whole);
  const uint64_t page = static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
  // Cut inside the index section (the table whole), then inside the table, then all.
  for (const uint64_t cut :
       {(t.index_offset / page + 2) * page, (t.payload / page + 1) * page, kHeaderSize}) {
    const auto r = open_or_die(path, true);
    const auto memory = open_or_die(path, false);
    ASSERT_EQ(::truncate(path.c_str(), static_cast<off_t>(cut)), 0);
    const std::string fault = "VornIOError: store file changed while mapped: bus error at offset ";
    const auto is_fault = [&](const StoreError& e) { return text_of(e).rfind(fault, 0) == 0; };
    size_t faults = 0;
    for (const auto& [key, value] : model) {
      const auto found = r->holds(bytes_of(key));
      if (found) {
        EXPECT_EQ(*found, *memory->holds(bytes_of(key)));
      } else {
        EXPECT_TRUE(is_fault(found.error())) << text_of(found.error());
        ++faults;
      }
      const auto got = r->get(bytes_of(key));  // the record too may lie past the cut
      if (!got) {
        EXPECT_TRUE(is_fault(got.error())) << text_of(got.error());
      }
    }
    EXPECT_GT(faults, 0u) << cut;
    std::vector<Bytes> out(model.size());
    const Status keys = r->locate_keys(0, model.size(), out.data());
    ASSERT_FALSE(keys);
    EXPECT_TRUE(is_fault(keys.error()));
    const auto bound = r->lower_bound(bytes_of("key9"));
    if (!bound) {
      EXPECT_TRUE(is_fault(bound.error()));
    }
    const Status v = r->verify();
    ASSERT_FALSE(v);
    EXPECT_TRUE(is_fault(v.error())) << text_of(v.error());
    write_file(path, whole);  // whole again for the next cut
  }
}

// A store built with its table on a little-endian host (also the fuzzer's seed
// tests/fuzz/corpus/reader/key-table): every host must find its keys through the table,
// which holds hashes under its own seed and positions in big-endian words.
constexpr char kLittleEndianBuild[] =
    "\x56\x52\x4e\x4c\x02\x00\x00\x00\x00\x00\x00\x06\x00\x00\x00\x05"
    "\x00\x00\x00\x00\x00\x00\x01\x2c\x00\x00\x00\x00\x00\x00\x00\x28"
    "\x1f\xce\xbd\xa6\x00\x00\x00\x00\x00\x00\x00\x06\x13\x8c\xf4\xbb"
    "\x73\x68\x61\x72\x65\x64\x00\x00\x00\x02\x1e\x65\xfc\x23\x76\x30"
    "\x00\x00\x00\x02\xf0\x6b\x9d\x0f\x76\x32\x00\x00\x00\x02\x19\x08"
    "\x38\x3a\x76\x34\x00\x00\x00\xd0\x7c\xb8\xc3\xe7\x30\x90\x00\x00"
    "\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00"
    "\x00\x00\x00\x00\x12\xb9\x00\x00\x00\x00\x00\x0b\xcf\xd7\x00\x00"
    "\x00\x00\x00\x1a\x12\xfd\x00\x00\x00\x00\x00\x50\x37\xe8\x00\x00"
    "\x00\x00\x00\x2e\x19\xd0\x00\x00\x00\x00\x00\x42\x00\x00\x00\x00"
    "\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x0a\x00\x00\x00\x19"
    "\x00\x00\x00\x2d\x00\x00\x00\x41\x00\x00\x00\x4f\x00\x00\x00\x00"
    "\x00\x00\x00\x00\x56\x52\x4e\x4c\x4b\x54\x41\x42\x00\x00\x00\x01"
    "\x00\x00\x00\x10\x00\x00\x00\x00\x00\x00\x00\xd0\x00\x00\x00\x00"
    "\x00\x00\x00\x06\x00\x00\x00\x00\x00\x00\x01\x2c\x00\x00\x00\x00"
    "\x00\x00\x00\x5c\x00\x00\x00\x00\x00\x00\x00\x09\x00\x00\x00\x00"
    "\x00\x00\x00\x48\x00\x00\x00\x00\x00\x00\x00\x60\x04\x30\x00\x00"
    "\x00\x00\x00\x00\xc0\x6b\x4f\x54\x2d\xcf\xca\x79\x92\x4e\xc1\x1f"
    "\x90\xbb\x03\xf3\x00\x00\x00\x00\x43\x35\xaa\xf8\x00\x00\x00\x00"
    "\x00\x00\x00\x00\x00\x36\x00\x05\x61\x6c\x70\x68\x61\x00\x00\x00"
    "\x00\x00\x00\x00\x28\x00\x0a\x61\x6c\x70\x68\x61\x62\x65\x74\x30"
    "\x31\x00\x00\x00\x00\x00\x00\x00\x40\x00\x0a\x61\x6c\x70\x68\x61"
    "\x62\x65\x74\x30\x32\x00\x00\x00\x00\x00\x00\x00\x28\x00\x04\x62"
    "\x65\x74\x61\x00\x00\x00\x00\x00\x00\x00\x4a\x00\x03\xff\x00\x7a"
    "\x00\x00\x00\x00\x00\x00\x00\x28";

TEST_F(KeyTableTest, AStoreBuiltOnAnotherHostOpensThroughItsTable) {
  const std::string path = file("fixture");
  // Built before the header carried marks: marked as its writer now marks it.
  std::string fixture(kLittleEndianBuild, sizeof kLittleEndianBuild - 1);
  Marks{.table = Marks::kTableVersion}.encode_into(reinterpret_cast<uint8_t*>(fixture.data()));
  write_file(path, fixture);
  const auto r = open_or_die(path, true, true);
  const auto memory = open_or_die(path, false, true);
  ASSERT_TRUE(r && memory);
  expect_same_answers(*r, *memory);
  const Model model = {{"", "v0"},           {"alpha", "shared"},
                       {"alphabet01", "v2"}, {"alphabet02", "shared"},
                       {"beta", "v4"},       {std::string("\xff\x00z", 3), "shared"}};
  for (const auto& [key, value] : model) {
    const auto got = r->get(bytes_of(key));
    ASSERT_TRUE(got && *got) << key;
    EXPECT_EQ(string_of(**got), value);
  }
  EXPECT_EQ(r->user_objects(), 4u);  // "shared", v0, v2, v4
}

}  // namespace
}  // namespace vornel
