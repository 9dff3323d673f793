// Fuzzes the writer round trip: stage objects and keys (sometimes under lowered limits),
// build, then read the store back. The file must equal the model's encoding byte for
// byte, and every query must return what was staged.
#include <fuzzer/FuzzedDataProvider.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "fuzz_model.hpp"
#include "read/reader.hpp"
#include "write/writer.hpp"
#include "store_words.hpp"

using namespace fuzz_model;
using vornel::Reader;
using vornel::text_of;
using vornel::Writer;
using vornel::WriterLimits;

namespace {

// One directory for the whole run; every build replaces the same target in it.
// Memory-backed when the system has /dev/shm, so fsync costs nothing.
const std::string& work_dir() {
  static const std::string dir = [] {
    const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string tmpl = std::string(base) + "/vornel-writer-fuzz-XXXXXX";
    FUZZ_CHECK(mkdtemp(tmpl.data()) != nullptr);
    return tmpl;
  }();
  return dir;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);

  // Lowered limits reach every limit path without gigabytes of staging.
  WriterLimits limits;
  const bool lowered = in.ConsumeBool();
  if (lowered) {
    limits.max_key_len = in.ConsumeIntegralInRange<uint64_t>(0, 8);
    limits.max_object_len = in.ConsumeIntegralInRange<uint64_t>(0, 16);
    limits.max_objects = in.ConsumeIntegralInRange<uint64_t>(0, 8);
    limits.max_keys = in.ConsumeIntegralInRange<uint64_t>(0, 8);
  }
  Writer writer(limits);

  std::vector<std::string> objects;
  std::map<std::string, uint64_t> bindings;
  std::vector<std::string> keys_seen;
  while (in.remaining_bytes() > 0 && objects.size() + keys_seen.size() < 4096) {
    switch (in.ConsumeIntegralInRange<int>(0, 3)) {
      case 0: {
        const std::string obj = in.ConsumeRandomLengthString(4096);
        FUZZ_CHECK_EQ(writer.add_object(as_bytes(obj)), objects.size());
        objects.push_back(obj);
        break;
      }
      case 1:
      case 2: {
        // A fresh key, or one bound before (rebinding it).
        std::string key;
        if (!keys_seen.empty() && in.ConsumeBool()) {
          key = keys_seen[in.ConsumeIntegralInRange<size_t>(0, keys_seen.size() - 1)];
        } else {
          key = in.ConsumeRandomLengthString(64);
        }
        const uint64_t id = in.ConsumeIntegralInRange<uint64_t>(0, objects.size() + 1);
        const auto added = writer.add_key(as_bytes(key), id);
        if (id >= objects.size()) {
          FUZZ_CHECK(!added);
          FUZZ_CHECK_EQ(text_of(added.error()), "VornError: obj_id " + std::to_string(id) +
                                                  " out of range (have " +
                                                  std::to_string(objects.size()) + " objects)");
        } else if (key.size() > limits.max_key_len) {
          FUZZ_CHECK(!added);
          FUZZ_CHECK_EQ(text_of(added.error()), "VornError: key is " +
                                                  std::to_string(key.size()) +
                                                  " bytes, format maximum is " +
                                                  std::to_string(limits.max_key_len));
        } else {
          FUZZ_CHECK(added.has_value());
          if (bindings.find(key) == bindings.end()) keys_seen.push_back(key);
          bindings[key] = id;
        }
        break;
      }
      case 3: {
        // A key made of bytes already staged: prefixes of each other, shared heads.
        if (keys_seen.empty() || objects.empty()) break;
        std::string key = keys_seen[in.ConsumeIntegralInRange<size_t>(0, keys_seen.size() - 1)];
        key.append(in.ConsumeIntegralInRange<size_t>(0, 2), '\0');
        if (key.size() > limits.max_key_len) break;
        FUZZ_CHECK(writer.add_key(as_bytes(key), 0).has_value());
        if (bindings.find(key) == bindings.end()) keys_seen.push_back(key);
        bindings[key] = 0;
        break;
      }
    }
  }
  FUZZ_CHECK_EQ(writer.num_objects(), objects.size());
  FUZZ_CHECK_EQ(writer.num_keys(), bindings.size());

  // The limit checks, in their order, come before the file system is touched.
  std::string limit_error;
  if (objects.size() > limits.max_objects) {
    limit_error = "VornError: " + std::to_string(objects.size()) +
                  " objects exceeds format maximum of " + std::to_string(limits.max_objects);
  } else if (bindings.size() > limits.max_keys) {
    limit_error = "VornError: " + std::to_string(bindings.size()) +
                  " keys exceeds format maximum of " + std::to_string(limits.max_keys);
  } else {
    for (const std::string& obj : objects) {
      if (obj.size() > limits.max_object_len) {
        limit_error = "VornError: object is " + std::to_string(obj.size()) +
                      " bytes, format maximum is " + std::to_string(limits.max_object_len);
        break;
      }
    }
  }

  const std::string path = work_dir() + "/store.vrnl";
  ::unlink(path.c_str());
  const auto built = writer.build(path);
  if (!limit_error.empty()) {
    FUZZ_CHECK(!built);
    FUZZ_CHECK_EQ(text_of(built.error()), limit_error);
    FUZZ_CHECK(!exists(path));
    FUZZ_CHECK(!exists(work_dir() + "/store.vrnl.tmp"));
    return 0;
  }
  if (!built) FUZZ_CHECK_EQ(text_of(built.error()), std::string("(no error)"));
  const std::string file = read_file(path);
  FUZZ_CHECK(file == encode_store(objects, bindings));
  FUZZ_CHECK_EQ(built->num_objects, objects.size());
  FUZZ_CHECK_EQ(built->num_keys, bindings.size());
  FUZZ_CHECK_EQ(built->file_size, file.size());
  FUZZ_CHECK(!exists(work_dir() + "/store.vrnl.tmp"));

  // Building the same state again gives the same bytes.
  FUZZ_CHECK(writer.build(path).has_value());
  FUZZ_CHECK(read_file(path) == file);

  auto reader = Reader::open(path, true);
  if (!reader) FUZZ_CHECK_EQ(text_of(reader.error()), std::string("(no error)"));
  const Reader& r = **reader;
  FUZZ_CHECK(r.verify().has_value());
  FUZZ_CHECK_EQ(r.size(), bindings.size());
  std::vector<vornel::Bytes> keys(r.size()), payloads(r.size());
  FUZZ_CHECK(r.locate_items(0, r.size(), keys.data(), payloads.data()).has_value());
  size_t i = 0;
  for (const auto& [key, id] : bindings) {
    FUZZ_CHECK_EQ(as_string(keys[i]), key);
    const auto payload = r.get(as_bytes(key));
    FUZZ_CHECK(payload.has_value() && payload->has_value());
    FUZZ_CHECK(as_string(**payload) == objects[id]);
    FUZZ_CHECK(as_string(payloads[i]) == objects[id]);
    // A key's own prefix range starts at it and holds only keys that extend it.
    const auto range = r.prefix_range(as_bytes(key));
    FUZZ_CHECK(range.has_value());
    const auto [first, last] = *range;
    FUZZ_CHECK_EQ(first, i);
    size_t extensions = 0;
    for (auto it = bindings.find(key); it != bindings.end() && it->first.starts_with(key); ++it) {
      ++extensions;
    }
    FUZZ_CHECK_EQ(last - first, extensions);
    ++i;
  }
  const auto objects_read = r.distinct_offsets();
  FUZZ_CHECK(objects_read.has_value());
  std::map<uint64_t, bool> referenced;
  for (const auto& [key, id] : bindings) referenced[id] = true;
  FUZZ_CHECK_EQ(objects_read->size(), referenced.size());
  return 0;
}
