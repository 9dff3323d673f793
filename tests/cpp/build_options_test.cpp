// What a build does beyond the plain one: progress and cancelling at each phase, the
// temporary file removed after a failure, and the mode of the file it replaces kept.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <tuple>
#include <vector>

#include "write/publish.hpp"
#include "read/reader.hpp"
#include "write/writer.hpp"
#include "store_words.hpp"
#include "test_files.hpp"

namespace vornel {
namespace {

namespace fs = std::filesystem;

class BuildOptionsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (fs::path(::testing::TempDir()) / "vornel-options-XXXXXX").string();
    dir_ = ::mkdtemp(tmpl.data());
    target_ = (dir_ / "s.vrnl").string();
    temp_ = (dir_ / "s.vrnl.tmp").string();
  }
  void TearDown() override { fs::remove_all(dir_); }

  static std::string contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  // A store at the target that a cancelled or failed build must leave alone.
  void publish_old_store() {
    Writer old;
    ASSERT_TRUE(old.add_key(bytes_of("old"), old.add_object(bytes_of("value"))));
    ASSERT_TRUE(old.build(target_));
    old_ = contents(target_);
  }
  static mode_t mode_of(const std::string& path) {
    struct stat st;
    EXPECT_EQ(::stat(path.c_str(), &st), 0);
    return st.st_mode & 07777;
  }

  fs::path dir_;
  std::string target_, temp_, old_;
};

// `keys` keys with values of `value_size` bytes.
std::unique_ptr<Writer> staged(size_t keys, size_t value_size) {
  auto w = std::make_unique<Writer>();
  for (size_t i = 0; i < keys; ++i) {
    const std::string value(value_size, static_cast<char>('a' + i % 26));
    std::string key = "k";
    key += std::to_string(i);
    EXPECT_TRUE(w->add_key(bytes_of(key), w->add_object(bytes_of(value))));
  }
  return w;
}

using Call = std::tuple<BuildPhase, uint64_t, uint64_t>;

TEST_F(BuildOptionsTest, ProgressAtEachPhaseAndACancelAtAnyCallLeavesTheTarget) {
  // 40 MiB of values: one step of progress within the writing, then its end.
  const auto w = staged(40, 1 << 20);
  std::vector<Call> calls;
  BuildOptions options;
  options.progress = [&](BuildPhase phase, uint64_t done, uint64_t total) {
    calls.emplace_back(phase, done, total);
    return true;
  };
  const auto report = w->build(target_, options);
  ASSERT_TRUE(report) << text_of(report.error());
  const uint64_t size = report->file_size;
  EXPECT_EQ(calls, (std::vector<Call>{{BuildPhase::Sort, 0, 40},
                                      {BuildPhase::Write, 0, size},
                                      {BuildPhase::Write, kProgressStep, size},
                                      {BuildPhase::Write, size, size},
                                      {BuildPhase::Fsync, size, size},
                                      {BuildPhase::Rename, size, size}}));
  // Written in steps, the file is the plain build's, byte for byte.
  const std::string stepped = contents(target_);
  ASSERT_TRUE(w->build(target_));
  EXPECT_EQ(stepped, contents(target_));

  publish_old_store();
  for (size_t stop_at = 0; stop_at < calls.size(); ++stop_at) {
    for (bool remove : {true, false}) {
      size_t made = 0;
      options.remove_temp_on_failure = remove;
      options.progress = [&](BuildPhase, uint64_t, uint64_t) { return made++ != stop_at; };
      const auto cancelled = w->build(target_, options);
      ASSERT_FALSE(cancelled) << stop_at;
      EXPECT_EQ(cancelled.error().kind(), ErrorKind::Cancelled);
      EXPECT_EQ(text_of(cancelled.error()), "VornError: build cancelled");
      EXPECT_EQ(made, stop_at + 1);  // nothing after the call that cancelled
      EXPECT_EQ(contents(target_), old_) << stop_at;
      // Sort comes before the temporary file exists; from Write on it is there to remove.
      EXPECT_EQ(fs::exists(temp_), !remove && stop_at > 0) << stop_at << remove;
      fs::remove(temp_);
    }
  }
}

// A write that fails with ENOSPC after some bytes went through.
ssize_t full_disk(int fd, const void* buf, size_t n) {
  if (n > 100) return ::write(fd, buf, 100);
  errno = ENOSPC;
  return -1;
}

TEST_F(BuildOptionsTest, AFailedPublishRemovesItsTemporaryFileOnlyWhenAsked) {
  publish_old_store();
  for (bool remove : {false, true}) {
    PublishOptions options;
    options.remove_temp_on_failure = remove;
    options.calls.write = full_disk;
    const Status s = publish(target_, {bytes_of(std::string(20000, 'x'))}, options);
    ASSERT_FALSE(s);
    EXPECT_EQ(s.error().message(), os_error_text(ENOSPC));
    EXPECT_EQ(fs::exists(temp_), !remove);
    EXPECT_EQ(contents(target_), old_);
  }
  // A rename that fails (the target is now a directory) leaves the whole file, or not.
  fs::remove(target_);
  fs::create_directory(target_);
  for (bool remove : {false, true}) {
    BuildOptions options;
    options.remove_temp_on_failure = remove;
    const auto report = staged(3, 10)->build(target_, options);
    ASSERT_FALSE(report);
    EXPECT_EQ(report.error().message().rfind("rename: ", 0), 0u);
    EXPECT_EQ(fs::exists(temp_), !remove);
  }
}

TEST_F(BuildOptionsTest, KeepModeCarriesThePermissionBitsOfTheReplacedFile) {
  const auto w = staged(3, 10);
  const mode_t umask_was = ::umask(022);
  ASSERT_TRUE(w->build(target_));
  ASSERT_EQ(::chmod(target_.c_str(), 0600), 0);
  BuildOptions keep;
  keep.keep_mode = true;
  ASSERT_TRUE(w->build(target_, keep));
  EXPECT_EQ(mode_of(target_), 0600u);
  // Without the option, the new file has the mode of a new file.
  ASSERT_TRUE(w->build(target_));
  EXPECT_EQ(mode_of(target_), 0644u);
  // With nothing to replace, keep_mode is a plain build.
  const std::string fresh = (dir_ / "fresh.vrnl").string();
  ASSERT_TRUE(w->build(fresh, keep));
  EXPECT_EQ(mode_of(fresh), 0644u);
  ::umask(umask_was);
}

TEST_F(BuildOptionsTest, TheTableIsLeftOutWhereTheFormatCannotHoldIt) {
  // An object count at its limit leaves no room for the table's record, and a record
  // limit below the table's size no room for the table: either build is the plain one.
  for (const auto& [objects, object_len] :
       {std::pair<uint64_t, uint64_t>{3, kMaxObjectLen}, {4, 100}}) {
    WriterLimits limits;
    limits.max_objects = objects;
    limits.max_object_len = object_len;
    Writer w(limits);
    for (const char* key : {"key0", "key1", "key2"}) {
      ASSERT_TRUE(w.add_key(bytes_of(key), w.add_object(bytes_of("v"))));
    }
    BuildOptions options;
    options.key_table = true;
    const auto report = w.build(target_, options);
    ASSERT_TRUE(report);
    EXPECT_FALSE(report->key_table);
    EXPECT_EQ(report->num_objects, 3u);
    const std::string with_option = contents(target_);
    ASSERT_TRUE(w.build(target_));
    EXPECT_EQ(with_option, contents(target_));
  }
}

}  // namespace
}  // namespace vornel
