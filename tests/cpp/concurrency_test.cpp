// One reader shared by several threads while other threads build stores, the reader's
// own path included. Run under ThreadSanitizer too (scripts/tsan.sh): the reader's
// queries, the CRC's choice of kernel at first use, and the compression of a build's
// values on several threads must be free of data races.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "codec/compression.hpp"
#include "read/store_codec.hpp"
#include "read/reader.hpp"
#include "write/writer.hpp"
#include "store_words.hpp"
#include "test_files.hpp"

namespace vornel {
namespace {

namespace fs = std::filesystem;

// A store's contents: keys "<tag>/<i>" bound to objects in turn.
struct Contents {
  std::vector<std::string> objects;
  std::vector<std::pair<std::string, size_t>> bindings;  // in key order
};

Contents contents(const std::string& tag, size_t num_objects, size_t num_keys) {
  Contents c;
  for (size_t i = 0; i < num_objects; ++i) {
    c.objects.push_back(tag + std::string(100 + 37 * i, static_cast<char>('a' + i % 26)));
  }
  for (size_t i = 0; i < num_keys; ++i) {
    char key[32];
    std::snprintf(key, sizeof key, "%s/%05zu", tag.c_str(), i);
    c.bindings.emplace_back(key, i % num_objects);
  }
  return c;
}

std::unique_ptr<Writer> staged(const Contents& c) {
  auto w = std::make_unique<Writer>();
  for (const auto& obj : c.objects) w->add_object(bytes_of(obj));
  for (const auto& [key, id] : c.bindings) {
    if (!w->add_key(bytes_of(key), id)) return nullptr;
  }
  return w;
}

// Every query of `r` against `c`; the number of mismatches.
int mismatches(const Reader& r, const Contents& c) {
  int bad = 0;
  if (r.size() != c.bindings.size()) return 1;
  for (size_t i = 0; i < c.bindings.size(); i += 7) {
    const auto& [key, id] = c.bindings[i];
    const auto got = r.get(bytes_of(key));
    const auto held = r.holds(bytes_of(key));
    if (!got || !*got || !held || !*held || string_of(**got) != c.objects[id]) ++bad;
  }
  const std::string prefix = c.bindings[0].first.substr(0, c.bindings[0].first.size() - 2);
  const auto range = r.prefix_range(bytes_of(prefix));
  if (!range) return bad + 1;
  const auto [first, last] = *range;
  std::vector<Bytes> keys(last - first), payloads(last - first);
  const auto run = r.locate_items(first, last - first, keys.data(), payloads.data());
  if (first != 0 || last != 100 || !run) ++bad;
  const auto objects = r.distinct_offsets();
  if (!objects || objects->size() != c.objects.size()) ++bad;
  return bad;
}

TEST(ConcurrentUse, ThreadsQueryOneReaderWhileAnotherThreadBuilds) {
  TempDir dir;
  const std::string path = dir.file("store.vrnl");
  const Contents old_contents = contents("old", 40, 3000);
  const Contents new_contents = contents("new", 25, 2000);
  auto old_writer = staged(old_contents);
  auto new_writer = staged(new_contents);
  ASSERT_TRUE(old_writer && new_writer);
  ASSERT_TRUE(old_writer->build(path));
  auto opened = Reader::open(path, true);
  ASSERT_TRUE(opened);
  const Reader& shared = **opened;

  std::atomic<bool> building{true};
  std::atomic<int> failures{0};
  std::atomic<int> rounds{0};
  std::vector<std::thread> threads;
  // The builder replaces the reader's own file and builds a second store beside it.
  threads.emplace_back([&] {
    for (int i = 0; i < 6; ++i) {
      const Writer& w = i % 2 ? *old_writer : *new_writer;
      if (!w.build(path) || !w.build(dir.file("other.vrnl"))) failures.fetch_add(1);
      auto fresh = Reader::open(path, true);
      if (!fresh || mismatches(**fresh, i % 2 ? old_contents : new_contents) != 0) {
        failures.fetch_add(1);
      }
    }
    building.store(false);
  });
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([&, t] {
      // Whatever happens to the path, the shared reader answers from the file it opened.
      do {
        failures.fetch_add(mismatches(shared, old_contents));
        if (t == 0 && !shared.verify()) failures.fetch_add(1);
        rounds.fetch_add(1);
      } while (building.load());
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_GE(rounds.load(), 3);
}

TEST(ConcurrentUse, TwoThreadsBuildingOneWriterToOneTargetTakeTurns) {
  // Both builds share the temporary path; each must publish a whole store.
  TempDir dir;
  const std::string path = dir.file("store.vrnl");
  const Contents c = contents("both", 30, 1500);
  auto w = staged(c);
  ASSERT_TRUE(w);
  ASSERT_TRUE(w->build(dir.file("reference.vrnl")));
  const std::string reference = read_file(dir.file("reference.vrnl"));

  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 20; ++i) {
        if (auto built = w->build(path); !built) {
          ADD_FAILURE() << text_of(built.error());
          failures.fetch_add(1);
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(read_file(path), reference);
  EXPECT_FALSE(fs::exists(dir.file("store.vrnl.tmp")));
}

}  // namespace
}  // namespace vornel

namespace vornel {
namespace {

// A build whose values four threads compress, then four threads that read them back
// through the store's one codec, each with a decompression context of its own.
TEST(ConcurrentUse, ThreadsCompressABuildAndShareOneCodec) {
  TempDir dir;
  const std::string path = dir.file("z.vrnl");
  Contents c = contents("z", 400, 400);
  for (size_t i = 0; i < c.objects.size(); ++i) {
    c.objects[i] += '#';
    c.objects[i] += std::to_string(i * 7919);
  }
  auto w = staged(c);
  ASSERT_NE(w, nullptr);
  BuildOptions options;
  options.compression = {Codec::Zstd, 3, 4};
  ASSERT_TRUE(w->build(path, options));
  auto r = Reader::open(path, true, OpenOptions{.use_key_table = true});
  ASSERT_TRUE(r);
  auto codec = open_value_codec(**r, true);
  ASSERT_TRUE(codec && *codec);
  std::atomic<int> bad = 0;
  std::vector<std::thread> readers;
  for (int t = 0; t < 4; ++t) {
    readers.emplace_back([&, t] {
      for (size_t i = t; i < c.bindings.size(); i += 2) {
        const auto& [key, id] = c.bindings[i];
        auto payload = (*r)->get(bytes_of(key));
        if (!payload || !*payload) {
          ++bad;
          continue;
        }
        std::string value = string_of(**payload);
        if (ValueCodec::compressed(**payload)) {
          auto size = (*codec)->decoded_size(**payload);
          if (!size) {
            ++bad;
            continue;
          }
          value.assign(*size, '\0');
          if (!(*codec)->decompress(**payload, reinterpret_cast<uint8_t*>(value.data()), *size)) {
            ++bad;
          }
        }
        if (value != c.objects[id]) ++bad;
      }
    });
  }
  for (auto& t : readers) t.join();
  EXPECT_EQ(bad, 0);
}

}  // namespace
}  // namespace vornel
