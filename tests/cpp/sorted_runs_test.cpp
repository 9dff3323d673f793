// Builds from sorted sources: a builder held to a tiny memory limit (many runs) against
// the same staging with no limit, byte for byte, compressing or not; stores made from
// stores; the key table written in passes against the one built in memory; and sources
// cut short or damaged.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "codec/compression.hpp"
#include "read/store_codec.hpp"
#include "util/crc32.hpp"
#include "write/record_sharing.hpp"
#include "format/key_table.hpp"
#include "read/reader.hpp"
#include "write/store_builder.hpp"
#include "store_words.hpp"
#include "write/table_writer.hpp"
#include "test_files.hpp"

namespace vornel {
namespace {

namespace fs = std::filesystem;
using Model = std::map<std::string, std::string>;

// One staging call, replayed on several builders.
struct Step {
  enum Kind { Add, AddMany, Remove, Include } kind;
  std::vector<std::string> keys;
  std::string value;
};

StoreBuilderOptions options(const TempDir& dir, uint64_t limit, bool dedup = true,
                            DuplicatePolicy policy = DuplicatePolicy::Last) {
  StoreBuilderOptions o;
  o.dedup = dedup;
  o.memory_limit = limit;
  o.run_dir = dir.str();
  o.policy = policy;
  return o;
}

void stage(StoreBuilder& b, const Step& step) {
  FailureDetail detail;
  switch (step.kind) {
    case Step::Add: {
      ASSERT_TRUE(b.make_room());
      const Bytes key = bytes_of(step.keys[0]);
      const Bytes value = bytes_of(step.value);
      uint64_t id;
      ASSERT_TRUE(b.stage(key, b.key_hash(key), value, b.value_hash(value), &id));
      break;
    }
    case Step::AddMany: {
      ASSERT_TRUE(b.make_room());
      std::vector<Bytes> keys;
      for (const auto& k : step.keys) keys.push_back(bytes_of(k));
      uint64_t id;
      size_t duplicate;
      ASSERT_TRUE(b.stage_many(keys, bytes_of(step.value), &id, &duplicate));
      break;
    }
    case Step::Remove:
      ASSERT_TRUE(b.make_room());
      ASSERT_TRUE(b.remove(bytes_of(step.keys[0]), false));
      break;
    case Step::Include:
      ASSERT_TRUE(b.include(step.keys[0], &detail)) << detail.path;
      break;
  }
}

// The final mapping the steps stage, as a dict's updates would leave it.
Model model_of(const std::vector<Step>& steps) {
  Model m;
  for (const Step& s : steps) {
    if (s.kind == Step::Remove) m.erase(s.keys[0]);
    if (s.kind == Step::Add || s.kind == Step::AddMany) {
      for (const auto& k : s.keys) m[k] = s.value;
    }
  }
  return m;
}

std::string build_bytes(StoreBuilder& b, const fs::path& path) {
  FailureDetail detail;
  if (b.run_before_build()) {
    EXPECT_TRUE(b.write_buffer_run());
  }
  auto report = b.build(path.string(), MergeOptions{}, &detail);
  EXPECT_TRUE(report) << text_of(report.error()) << " " << detail.path;
  return read_file(path);
}

// Whether two files are the same, saying where they first differ when they are not.
::testing::AssertionResult same_file(const std::string& a, const std::string& b) {
  if (a == b) return ::testing::AssertionSuccess();
  size_t at = 0;
  while (at < a.size() && at < b.size() && a[at] == b[at]) ++at;
  return ::testing::AssertionFailure() << "files of " << a.size() << " and " << b.size()
                                       << " bytes differ from byte " << at;
}

// The mapping a store holds, its values decompressed where the store compressed them.
Model read_model(const fs::path& path, uint64_t* objects = nullptr, bool* compressed = nullptr) {
  auto r = Reader::open(path.string(), true, OpenOptions{.use_key_table = true});
  EXPECT_TRUE(r) << text_of(r.error());
  EXPECT_TRUE((*r)->verify());
  auto codec = open_value_codec(**r, true);
  EXPECT_TRUE(codec) << text_of(codec.error());
  if (compressed) *compressed = *codec != nullptr;
  Model m;
  const size_t n = (*r)->size();
  std::vector<Bytes> keys(n), payloads(n);
  EXPECT_TRUE((*r)->locate_items(0, n, keys.data(), payloads.data()));
  for (size_t i = 0; i < n; ++i) {
    const Bytes stored = payloads[i];
    std::string value = string_of(stored);
    if (*codec && ValueCodec::compressed(stored)) {
      auto size = (*codec)->decoded_size(stored);
      EXPECT_TRUE(size) << text_of(size.error());
      value.assign(*size, '\0');
      EXPECT_TRUE((*codec)->decompress(stored, reinterpret_cast<uint8_t*>(value.data()), *size));
    }
    m[string_of(keys[i])] = value;
  }
  // The key table's record aside, and the dictionary's.
  if (objects) *objects = (*r)->header().num_objects - 1 - (*codec ? 1 : 0);
  return m;
}

// prefix followed by n in decimal (GCC 12 warns falsely of "literal" + std::to_string).
std::string numbered(std::string prefix, uint64_t n) {
  prefix += std::to_string(n);
  return prefix;
}

std::vector<Step> random_steps(std::mt19937_64& rng, size_t n, size_t key_space,
                               size_t value_space) {
  std::vector<Step> steps;
  auto key = [&] { return numbered("k", rng() % key_space); };
  auto value = [&] { return numbered(std::string(rng() % 40, 'v'), rng() % value_space); };
  for (size_t i = 0; i < n; ++i) {
    const uint64_t pick = rng() % 10;
    if (pick < 6) {
      steps.push_back({Step::Add, {key()}, value()});
    } else if (pick < 8) {
      steps.push_back({Step::AddMany, {key(), key(), key()}, value()});
    } else {
      steps.push_back({Step::Remove, {key()}, ""});
    }
  }
  return steps;
}

class LimitedBuild : public ::testing::TestWithParam<uint64_t> {};

// Whatever the limit, the same staging builds the same file, byte for byte, and it
// holds the mapping the staging describes, each distinct value once.
TEST_P(LimitedBuild, GivesTheUnlimitedBuildsBytes) {
  const uint64_t seed = GetParam();
  std::mt19937_64 rng(seed);
  const std::vector<Step> steps = random_steps(rng, 400 + rng() % 2000, 50 + rng() % 400, 30);
  TempDir dir;
  StoreBuilder unlimited(options(dir, ~uint64_t{0}));
  StoreBuilder limited(options(dir, 2000 + rng() % 20000));
  for (const Step& s : steps) {
    stage(unlimited, s);
    stage(limited, s);
  }
  EXPECT_EQ(unlimited.runs(), 0u);
  EXPECT_GT(limited.runs(), 1u);
  const std::string expected = build_bytes(unlimited, dir / "a.vrnl");
  EXPECT_TRUE(same_file(build_bytes(limited, dir / "b.vrnl"), expected));
  uint64_t objects = 0;
  const Model m = model_of(steps);
  EXPECT_EQ(read_model(dir / "a.vrnl", &objects), m);
  std::map<std::string, int> distinct;
  for (const auto& [k, v] : m) ++distinct[v];
  EXPECT_EQ(objects, distinct.size());
  FailureDetail detail;
  EXPECT_EQ(*limited.size(&detail), m.size());
  for (const auto& [k, v] : m) EXPECT_TRUE(*limited.contains(bytes_of(k), &detail)) << k;
  EXPECT_FALSE(*limited.contains(bytes_of("absent"), &detail));
  // The runs have no names: nothing is left beside the stores.
  EXPECT_EQ(dir.count(), 2u);
}

INSTANTIATE_TEST_SUITE_P(Seeds, LimitedBuild, ::testing::Range<uint64_t>(1, 13));

// A run for every call: thousands of runs, merged in passes of a few at a time, with a
// store among them. Deletions and rebindings stay what they hide through every pass, so
// that each key comes out as the unlimited build has it, under either keeping policy.
TEST(MergePasses, GiveTheUnlimitedBuildsBytes) {
  std::mt19937_64 rng(7);
  TempDir dir;
  const fs::path store = dir / "store.vrnl";
  {
    StoreBuilder maker(options(dir, ~uint64_t{0}));
    for (int i = 0; i < 300; i += 3) stage(maker, {Step::Add, {numbered("k", i)}, "stored"});
    build_bytes(maker, store);
  }
  std::vector<Step> steps = random_steps(rng, 1500, 300, 30);
  steps.insert(steps.begin() + 700, {Step::Include, {store.string()}, ""});
  for (const DuplicatePolicy policy : {DuplicatePolicy::Last, DuplicatePolicy::First}) {
    StoreBuilder unlimited(options(dir, ~uint64_t{0}, true, policy));
    StoreBuilder limited(options(dir, 1, true, policy));
    for (const Step& s : steps) {
      stage(unlimited, s);
      stage(limited, s);
    }
    EXPECT_GT(limited.runs(), 1000u);
    const std::string expected = build_bytes(unlimited, dir / "a.vrnl");
    EXPECT_TRUE(same_file(build_bytes(limited, dir / "b.vrnl"), expected));
    FailureDetail detail;
    EXPECT_EQ(*limited.size(&detail), *unlimited.size(&detail));
  }
}

// Record-like text, most of it compressible, some of it not, some too short to shrink.
std::string record_value(std::mt19937_64& rng) {
  static const char* const words[] = {"Package", "Version", "Depends", "libc6", "amd64",
                                      "Description", "shared library", "Maintainer"};
  std::string v;
  switch (rng() % 6) {
    case 0:
      return numbered("", rng() % 100);
    case 1:
      for (uint64_t i = rng() % 64; i > 0; --i) v += static_cast<char>(rng());
      return v;
    default:
      for (uint64_t i = 3 + rng() % 30; i > 0; --i) {
        v += words[rng() % std::size(words)];
        v += numbered(": ", rng() % 50) + "\n";
      }
      return v;
  }
}

StoreBuilderOptions compressing(const TempDir& dir, uint64_t limit) {
  StoreBuilderOptions o = options(dir, limit);
  o.compression.codec = Codec::Zstd;
  return o;
}

class CompressedBuild : public ::testing::TestWithParam<uint64_t> {};

// A compressing build trains its dictionary on the values it writes, so that held to a
// tiny limit (many runs) it gives the unlimited build's bytes. Its values read back
// through the dictionary; included whole it gives itself again; and included in a build
// that does not compress, its values come out as a plain build of them writes them.
TEST_P(CompressedBuild, FollowsFromTheValuesAlone) {
  std::mt19937_64 rng(GetParam());
  std::vector<Step> steps;
  for (size_t i = 0, n = 500 + rng() % 3000; i < n; ++i) {
    const uint64_t pick = rng() % 10;
    std::string key = numbered("k", rng() % 2000);
    if (pick < 8) {
      steps.push_back({Step::Add, {key}, record_value(rng)});
    } else if (pick < 9) {
      steps.push_back({Step::AddMany, {key, numbered("k", rng() % 2000)}, record_value(rng)});
    } else {
      steps.push_back({Step::Remove, {key}, ""});
    }
  }
  TempDir dir;
  StoreBuilder unlimited(compressing(dir, ~uint64_t{0}));
  StoreBuilder limited(compressing(dir, 4000 + rng() % 20000));
  StoreBuilder plain(options(dir, ~uint64_t{0}));
  for (const Step& s : steps) {
    stage(unlimited, s);
    stage(limited, s);
    stage(plain, s);
  }
  EXPECT_GT(limited.runs(), 1u);
  const std::string expected = build_bytes(unlimited, dir / "a.vrnl");
  EXPECT_TRUE(same_file(build_bytes(limited, dir / "b.vrnl"), expected));
  bool compressed = false;
  uint64_t objects = 0;
  const Model m = model_of(steps);
  EXPECT_EQ(read_model(dir / "a.vrnl", &objects, &compressed), m);
  EXPECT_TRUE(compressed);
  std::map<std::string, int> distinct;
  for (const auto& [k, v] : m) ++distinct[v];
  EXPECT_EQ(objects, distinct.size());

  StoreBuilder again(compressing(dir, 3000));
  stage(again, {Step::Include, {(dir / "a.vrnl").string()}, ""});
  EXPECT_TRUE(same_file(build_bytes(again, dir / "again.vrnl"), expected));
  StoreBuilder decompressed(options(dir, ~uint64_t{0}));
  stage(decompressed, {Step::Include, {(dir / "a.vrnl").string()}, ""});
  const std::string plain_bytes = build_bytes(plain, dir / "plain.vrnl");
  EXPECT_TRUE(same_file(build_bytes(decompressed, dir / "decompressed.vrnl"), plain_bytes));
  EXPECT_LT(expected.size(), plain_bytes.size());
}

INSTANTIATE_TEST_SUITE_P(Seeds, CompressedBuild, ::testing::Range<uint64_t>(1, 6));

// The sample, and so the dictionary, is the same whatever order the values come in, past
// the point where the sampler drops what falls above its cut.
TEST(DictionarySampler, DoesNotDependOnTheOrderOfTheValues) {
  std::mt19937_64 rng(3);
  std::vector<std::string> values;
  uint64_t total = 0;
  while (total < (uint64_t{24} << 20)) {
    values.push_back(record_value(rng) + record_value(rng));
    total += values.back().size();
  }
  auto trained = [](const std::vector<std::string>& vs) {
    DictionarySampler sampler;
    for (const std::string& v : vs) sampler.offer(bytes_of(v), crc32(bytes_of(v).data(), v.size()));
    return sampler.train(3);
  };
  const std::vector<uint8_t> forwards = trained(values);
  EXPECT_FALSE(forwards.empty());
  std::shuffle(values.begin(), values.end(), rng);
  EXPECT_EQ(trained(values), forwards);
  std::reverse(values.begin(), values.end());
  EXPECT_EQ(trained(values), forwards);
}

// A value staged again after megabytes of others, in another run, is found by its bytes
// in the file being written, not only in what is still buffered.
TEST(LimitedBuildDedup, FindsValuesWrittenLongBefore) {
  TempDir dir;
  StoreBuilder unlimited(options(dir, ~uint64_t{0}));
  StoreBuilder limited(options(dir, 1 << 20));
  const std::string shared(1000, 's');
  std::vector<Step> steps = {{Step::Add, {"a"}, shared}};
  for (int i = 0; i < 4000; ++i) {
    steps.push_back({Step::Add, {numbered("m", i)}, numbered(std::string(1000, 'v'), i)});
  }
  steps.push_back({Step::Add, {"z"}, shared});
  for (const Step& s : steps) {
    stage(unlimited, s);
    stage(limited, s);
  }
  EXPECT_GT(limited.runs(), 2u);
  EXPECT_TRUE(same_file(build_bytes(limited, dir / "b.vrnl"), build_bytes(unlimited, dir / "a.vrnl")));
  uint64_t objects = 0;
  read_model(dir / "b.vrnl", &objects);
  EXPECT_EQ(objects, 4001u);
}

// A store included and built again, unchanged, is the same file; changes on top of it
// give the file that staging the final mapping from scratch gives.
TEST(StoresFromStores, IncludeReproducesAndChangesMatchAFreshBuild) {
  std::mt19937_64 rng(7);
  TempDir dir;
  const std::vector<Step> base = random_steps(rng, 3000, 1500, 200);
  StoreBuilder first(options(dir, ~uint64_t{0}));
  for (const Step& s : base) stage(first, s);
  const std::string base_bytes = build_bytes(first, dir / "base.vrnl");

  StoreBuilder again(options(dir, 3000));
  stage(again, {Step::Include, {(dir / "base.vrnl").string()}, ""});
  EXPECT_TRUE(same_file(build_bytes(again, dir / "again.vrnl"), base_bytes));

  const std::vector<Step> delta = random_steps(rng, 300, 2000, 200);
  for (const Step& s : delta) stage(again, s);
  std::vector<Step> all = base;
  all.insert(all.end(), delta.begin(), delta.end());
  StoreBuilder fresh(options(dir, ~uint64_t{0}));
  for (const auto& [k, v] : model_of(all)) stage(fresh, {Step::Add, {k}, v});
  EXPECT_TRUE(same_file(build_bytes(again, dir / "changed.vrnl"), build_bytes(fresh, dir / "fresh.vrnl")));
}

// Of two stores holding one key, the policy keeps the newer, the older, or fails naming it.
TEST(StoresFromStores, DuplicatePolicyAcrossSources) {
  TempDir dir;
  for (const auto& [name, value] : {std::pair{"a", "old"}, std::pair{"b", "new"}}) {
    StoreBuilder b(options(dir, ~uint64_t{0}));
    stage(b, {Step::Add, {"shared"}, value});
    stage(b, {Step::Add, {std::string("only-") + name}, value});
    build_bytes(b, dir / (std::string(name) + ".vrnl"));
  }
  for (auto policy : {DuplicatePolicy::Error, DuplicatePolicy::Last, DuplicatePolicy::First}) {
    StoreBuilder b(options(dir, ~uint64_t{0}, true, policy));
    stage(b, {Step::Include, {(dir / "a.vrnl").string()}, ""});
    stage(b, {Step::Include, {(dir / "b.vrnl").string()}, ""});
    FailureDetail detail;
    auto report = b.build((dir / "out.vrnl").string(), MergeOptions{}, &detail);
    if (policy == DuplicatePolicy::Error) {
      ASSERT_FALSE(report);
      EXPECT_EQ(detail.duplicate_key, "shared");
      EXPECT_FALSE(fs::exists(dir / "out.vrnl"));
      continue;
    }
    ASSERT_TRUE(report) << text_of(report.error());
    EXPECT_EQ(read_model(dir / "out.vrnl")["shared"], policy == DuplicatePolicy::Last ? "new" : "old");
  }
}

// A key deleted and staged again is no duplicate of the value it replaced.
TEST(StoresFromStores, DeletionThenStagingIsNoDuplicate) {
  TempDir dir;
  StoreBuilder b(options(dir, 1, true, DuplicatePolicy::Error));  // a run per call
  stage(b, {Step::Add, {"k"}, "1"});
  stage(b, {Step::Remove, {"k"}, ""});
  stage(b, {Step::Add, {"k"}, "2"});
  stage(b, {Step::Add, {"j"}, "3"});
  build_bytes(b, dir / "x.vrnl");
  EXPECT_EQ(read_model(dir / "x.vrnl"), (Model{{"j", "3"}, {"k", "2"}}));
}

// A store cut short after it was included fails what reads it, naming it: cut before the
// build, its index section (read, not mapped) is damage, and a lookup in the pages it lost
// a file changed under its reader; cut during the merge, so are the records it maps. The
// target stays as it was.
TEST(StoresFromStores, ASourceCutShortAfterItsIncludeFailsTheBuild) {
  TempDir dir;
  StoreBuilder maker(options(dir, ~uint64_t{0}));
  for (int i = 0; i < 70000; ++i) {
    stage(maker, {Step::Add, {numbered("key", 100000 + i)}, numbered(std::string(100, 'v'), i)});
  }
  const fs::path source = dir / "source.vrnl";
  const std::string good = build_bytes(maker, source);
  for (const bool during : {false, true}) {
    write_file(source, good);
    write_file(dir / "target.vrnl", "old");
    StoreBuilder b(options(dir, ~uint64_t{0}));
    FailureDetail detail;
    ASSERT_TRUE(b.include(source.string(), &detail));
    auto cut = [&](size_t size) { return ::truncate(source.c_str(), static_cast<off_t>(size)) == 0; };
    MergeOptions merging;
    if (during) {
      merging.progress = [&](BuildPhase phase, uint64_t done, uint64_t) {
        return phase != BuildPhase::Merge || done == 0 || cut(good.size() / 4);
      };
    } else {
      ASSERT_TRUE(cut(good.size() - 8192));
      Result<bool> held = b.contains(bytes_of(numbered("key", 169999)), &detail);
      ASSERT_FALSE(held);
      EXPECT_EQ(held.error().fault(), Fault::MappingFault);
      EXPECT_EQ(detail.path, source.string());
    }
    auto report = b.build((dir / "target.vrnl").string(), merging, &detail);
    ASSERT_FALSE(report) << during;
    // Cut short since it was opened, the store is not damaged: the file changed.
    EXPECT_EQ(report.error().kind(), ErrorKind::IO) << text_of(report.error());
    EXPECT_EQ(detail.path, source.string());
    EXPECT_EQ(read_file(dir / "target.vrnl"), "old");
    EXPECT_EQ(dir.count(), 2u);
  }
}

// The key table written in passes from a section in memory or in a file, whatever the
// budget, is build_key_table's, byte for byte.
TEST(TableWriter, MatchesTheTableBuiltInMemory) {
  TempDir dir;
  for (const size_t n : {0, 1, 100, 513, 5000, 40000}) {
    std::string section;
    std::vector<std::string> keys;
    for (size_t i = 0; i < n; ++i) keys.push_back("key" + std::to_string(i * 7919 % 100003));
    std::sort(keys.begin(), keys.end());
    keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
    for (const auto& k : keys) {
      uint8_t e[kMaxIndexEntry];
      section.append(reinterpret_cast<char*>(e), IndexEntry{bytes_of(k), 40}.encode_to(e) - e);
    }
    const KeyTableGeometry g = KeyTableGeometry::of(keys.size(), section.size());
    const HashSeed seed = key_table_seed(crc32(bytes_of(section).data(), section.size()), section.size());
    LargeBuffer room;
    const Bytes expected = build_key_table(bytes_of(section), keys.size(), 1234, g, seed, room);
    write_file(dir / "section", section);
    FileDescriptor in(::open((dir / "section").c_str(), O_RDONLY));
    for (const uint64_t budget : {uint64_t{1}, uint64_t{4096}, ~uint64_t{0}}) {
      for (const bool from_file : {false, true}) {
        FileDescriptor out(::open((dir / "table").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600));
        const IndexInput input = from_file ? IndexInput(in.get(), section.size())
                                           : IndexInput(bytes_of(section));
        auto written = write_key_table(input, keys.size(), 1234, seed, out.get(), 3, budget);
        ASSERT_TRUE(written) << text_of(written.error());
        const std::string got = read_file(dir / "table").substr(3);
        ASSERT_EQ(got, string_of(expected)) << n << " keys, budget " << budget;
        EXPECT_EQ(written->payload_crc, crc32(expected.data(), expected.size()));
      }
    }
  }
}

// Past their budgets, the tables that keep records shared forget, and never mislead: a
// lookup gives the handle kept for that very record or payload, or nothing.
TEST(RecordSharing, PastItsBudgetATableForgetsButNeverMisleads) {
  std::mt19937_64 rng(5);
  ContentTable content(1000, 64);  // 8 slots: six payloads at most
  std::map<uint64_t, uint64_t> kept;  // hash -> handle
  for (uint64_t handle = 1; handle <= 100; ++handle) {
    const uint64_t h = rng();
    content.keep(h, handle);
    kept[h] = handle;
  }
  size_t found = 0;
  for (const auto& [h, handle] : kept) {
    auto r = content.find(h, [&](uint64_t candidate) -> Result<bool> { return candidate == handle; });
    ASSERT_TRUE(r);
    if (*r) {
      EXPECT_EQ(**r, handle);
      ++found;
    }
  }
  EXPECT_EQ(found, 6u);
  EXPECT_EQ(content.size(), 6u);

  SharedRecords shared(16 * 24);  // grows to 16 slots, then keeps nothing more
  std::map<uint64_t, std::pair<uint64_t, uint64_t>> model;  // record -> handle, uses
  for (int step = 0; step < 20000; ++step) {
    const uint64_t record = rng() % 64;
    if (rng() % 2 != 0) {
      const uint64_t uses = 1 + rng() % 3;
      shared.keep(record, step, uses);
      if (shared.contains(record)) {
        model[record] = {static_cast<uint64_t>(step), uses};
      } else {
        model.erase(record);
      }
      continue;
    }
    const std::optional<uint64_t> got = shared.take(record);
    const auto it = model.find(record);
    if (got) {
      ASSERT_NE(it, model.end());
      EXPECT_EQ(*got, it->second.first);
      if (--it->second.second == 0) model.erase(it);
    } else {
      EXPECT_EQ(it, model.end());
    }
    EXPECT_LE(shared.size(), 8u);
  }
}

class DamagedSource : public ::testing::TestWithParam<bool> {};

// A store or a run cut short anywhere fails the build that reads it, naming it; a byte
// changed anywhere does too, unless the byte is one that no copy reads (a reserved field,
// the key table). The target stays as it was, and no temporary file is left.
TEST_P(DamagedSource, FailsTheBuildAndLeavesTheTarget) {
  const bool run = GetParam();
  TempDir dir;
  std::mt19937_64 rng(run ? 11 : 12);
  StoreBuilder maker(options(dir, ~uint64_t{0}));
  for (const Step& s : random_steps(rng, 12, 10, 3)) stage(maker, s);
  const fs::path source = dir / (run ? "source.run" : "source.vrnl");
  if (run) {
    FailureDetail detail;
    ASSERT_TRUE(maker.write_run_file(source.string(), &detail));
  } else {
    build_bytes(maker, source);
  }
  const std::string good = read_file(source);
  enum Outcome { Refused, Same, Wrong };
  std::string expected;
  auto try_build = [&](const std::string& bytes) {
    write_file(source, bytes);
    write_file(dir / "target.vrnl", "old");
    StoreBuilder b(options(dir, ~uint64_t{0}));
    FailureDetail detail;
    if (!b.include(source.string(), &detail)) return detail.path == source.string() ? Refused : Wrong;
    auto report = b.build((dir / "target.vrnl").string(), MergeOptions{}, &detail);
    if (!report) {
      const bool clean = read_file(dir / "target.vrnl") == "old" && dir.count() == 2;
      return detail.path == source.string() && clean ? Refused : Wrong;
    }
    return read_file(dir / "target.vrnl") == expected ? Same : Wrong;
  };
  ASSERT_EQ(try_build(good), Wrong);  // no expectation yet: sets it
  expected = read_file(dir / "target.vrnl");
  ASSERT_EQ(try_build(good), Same);
  for (size_t cut = 0; cut < good.size(); ++cut) {
    EXPECT_EQ(try_build(good.substr(0, cut)), Refused) << "cut at " << cut;
  }
  size_t refused = 0;
  for (size_t at = 0; at < good.size(); ++at) {
    std::string bad = good;
    bad[at] = static_cast<char>(bad[at] ^ 0x20);
    const Outcome o = try_build(bad);
    EXPECT_NE(o, Wrong) << "byte " << at;
    refused += o == Refused;
  }
  // A run leaves no byte unchecked.
  if (run) {
    EXPECT_EQ(refused, good.size());
  }
}

INSTANTIATE_TEST_SUITE_P(StoreOrRun, DamagedSource, ::testing::Bool());

}  // namespace
}  // namespace vornel
