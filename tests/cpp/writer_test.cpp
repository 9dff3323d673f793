// The writer's two-step key binding (hash, then bind) against add_key, and the staged
// bytes of each object as the package's dedup table reads them.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "write/writer.hpp"
#include "store_words.hpp"
#include "test_files.hpp"

namespace vornel {
namespace {

namespace fs = std::filesystem;

std::string built(const Writer& w, const std::string& name) {
  const fs::path path = fs::path(::testing::TempDir()) / name;
  const auto report = w.build(path.string());
  EXPECT_TRUE(report) << text_of(report.error());
  std::ifstream in(path, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  fs::remove(path);
  return bytes;
}

TEST(WriterHashedKeys, BindAsAddKeyDoes) {
  Writer one, two;
  for (const char* obj : {"x", "", "yy"}) {
    one.add_object(bytes_of(obj));
    two.add_object(bytes_of(obj));
  }
  // Enough keys for several growths of the table, and rebindings on the way.
  for (int i = 0; i < 5000; ++i) {
    const std::string key = "key-" + std::to_string(i % 3700);
    const uint64_t obj_id = static_cast<uint64_t>(i) % 3;
    ASSERT_TRUE(one.add_key(bytes_of(key), obj_id));
    ASSERT_TRUE(two.add_key_hashed(bytes_of(key), two.key_hash(bytes_of(key)), obj_id));
  }
  EXPECT_EQ(one.num_keys(), 3700u);
  EXPECT_EQ(two.num_keys(), 3700u);
  EXPECT_EQ(built(one, "one.vrnl"), built(two, "two.vrnl"));
}

TEST(WriterHashedKeys, FailAsAddKeyDoes) {
  WriterLimits limits;
  limits.max_key_len = 3;
  Writer w(limits);
  w.add_object(bytes_of("v"));
  const std::string long_key = "abcd";
  const Status too_long = w.add_key_hashed(bytes_of(long_key), w.key_hash(bytes_of(long_key)), 0);
  ASSERT_FALSE(too_long);
  EXPECT_EQ(text_of(too_long.error()), "VornError: key is 4 bytes, format maximum is 3");
  const Status no_object = w.add_key_hashed(bytes_of("k"), w.key_hash(bytes_of("k")), 1);
  ASSERT_FALSE(no_object);
  EXPECT_EQ(text_of(no_object.error()), "VornError: obj_id 1 out of range (have 1 objects)");
  EXPECT_EQ(w.num_keys(), 0u);
}

TEST(WriterObjectBytes, AreTheStagedBytes) {
  Writer w;
  const std::string objects[] = {"first", "", std::string(70000, 'z'), "last"};
  for (const std::string& obj : objects) w.add_object(bytes_of(obj));
  for (uint64_t id = 0; id < 4; ++id) {
    const Bytes got = w.object_bytes(id);
    EXPECT_EQ(std::string(got.begin(), got.end()), objects[id]) << id;
  }
}

}  // namespace
}  // namespace vornel
