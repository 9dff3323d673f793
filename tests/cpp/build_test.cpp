// Build paths that Python cannot reach: lowered limits, the temporary-path rule and the
// output buffer's behaviour under odd writes.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <string>
#include <vector>

#include "write/publish.hpp"
#include "write/writer.hpp"
#include "store_words.hpp"
#include "test_files.hpp"

namespace vornel {
namespace {

namespace fs = std::filesystem;

struct LimitCase {
  const char* name;
  WriterLimits limits;
  std::vector<std::string> objects;
  std::vector<std::string> keys;  // bound to object 0
  const char* text;
};

class BuildLimitTest : public ::testing::TestWithParam<LimitCase> {};

TEST_P(BuildLimitTest, FailsBeforeTouchingTheFileSystem) {
  const LimitCase& c = GetParam();
  Writer w(c.limits);
  for (const auto& obj : c.objects) w.add_object(bytes_of(obj));
  for (const auto& key : c.keys) ASSERT_TRUE(w.add_key(bytes_of(key), 0));

  TempDir dir;
  const auto result = w.build((dir.path() / "store.vrnl").string());
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().kind(), ErrorKind::Invalid);
  EXPECT_EQ(text_of(result.error()), c.text);
  EXPECT_TRUE(dir.entries().empty());
  EXPECT_EQ(w.num_objects(), c.objects.size());
}

WriterLimits limits(uint64_t objects, uint64_t keys, uint64_t object_len) {
  WriterLimits l;
  l.max_objects = objects;
  l.max_keys = keys;
  l.max_object_len = object_len;
  return l;
}

INSTANTIATE_TEST_SUITE_P(
    Limits, BuildLimitTest,
    ::testing::Values(
        LimitCase{"TooManyObjects", limits(2, 9, 9), {"a", "b", "c"}, {"k"},
                  "VornError: 3 objects exceeds format maximum of 2"},
        LimitCase{"TooManyKeys", limits(9, 1, 9), {"a"}, {"k1", "k2"},
                  "VornError: 2 keys exceeds format maximum of 1"},
        LimitCase{"ObjectsCountedBeforeKeys", limits(1, 1, 9), {"a", "b"}, {"k1", "k2"},
                  "VornError: 2 objects exceeds format maximum of 1"},
        LimitCase{"CountsBeforeLengths", limits(9, 0, 1), {"abc"}, {"k"},
                  "VornError: 1 keys exceeds format maximum of 0"},
        LimitCase{"FirstLongObjectInIdOrder", limits(9, 9, 4), {"ab", "abcde", "", "abcdefghi"}, {},
                  "VornError: object is 5 bytes, format maximum is 4"},
        LimitCase{"LongObjectWithoutKey", limits(9, 9, 0), {"", "x"}, {},
                  "VornError: object is 1 bytes, format maximum is 0"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(BuildLimits, ValuesAtEachLimitAreWritten) {
  Writer w(limits(2, 2, 3));
  w.add_object(bytes_of("abc"));
  w.add_object(bytes_of(""));
  ASSERT_TRUE(w.add_key(bytes_of("k1"), 0));
  ASSERT_TRUE(w.add_key(bytes_of("k2"), 1));

  TempDir dir;
  const auto report = w.build((dir.path() / "s.vrnl").string());
  ASSERT_TRUE(report) << text_of(report.error());
  EXPECT_EQ(report->num_objects, 2u);
  EXPECT_EQ(report->num_keys, 2u);
  // 40 header + (8 + 3) + 8 record bytes + 2 * (10 + 2) index bytes
  EXPECT_EQ(report->file_size, 40u + 11u + 8u + 24u);
  EXPECT_EQ(fs::file_size(dir.path() / "s.vrnl"), report->file_size);
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"s.vrnl"});
}

class TempPathTest : public ::testing::TestWithParam<std::pair<std::string, std::string>> {};

TEST_P(TempPathTest, ReplacesTheFinalExtension) {
  EXPECT_EQ(temp_path_for(GetParam().first), GetParam().second);
}

INSTANTIATE_TEST_SUITE_P(
    Rule, TempPathTest,
    ::testing::Values(
        std::pair<std::string, std::string>{"out/store.vrnl", "out/store.vrnl.tmp"},
        std::pair<std::string, std::string>{"store", "store.vrnl.tmp"},
        std::pair<std::string, std::string>{"a/b.tar.gz", "a/b.tar.vrnl.tmp"},
        std::pair<std::string, std::string>{".hidden", ".hidden.vrnl.tmp"},
        std::pair<std::string, std::string>{"name.", "name.vrnl.tmp"},
        std::pair<std::string, std::string>{"dir/file/", "dir/file.vrnl.tmp"},
        // trailing separators and "." components are skipped; only the name changes
        std::pair<std::string, std::string>{"dir/file//", "dir/file.vrnl.tmp"},
        std::pair<std::string, std::string>{"a/./", "a.vrnl.tmp"},
        std::pair<std::string, std::string>{"a/x.y/./.", "a/x.vrnl.tmp"},
        std::pair<std::string, std::string>{"/x", "/x.vrnl.tmp"},
        std::pair<std::string, std::string>{"a//b", "a//b.vrnl.tmp"},
        std::pair<std::string, std::string>{"a.b/c", "a.b/c.vrnl.tmp"},
        std::pair<std::string, std::string>{"d/.hidden.x", "d/.hidden.vrnl.tmp"},
        std::pair<std::string, std::string>{"store.vrnl.tmp", "store.vrnl.vrnl.tmp"},
        std::pair<std::string, std::string>{"x/...", "x/...vrnl.tmp"},
        std::pair<std::string, std::string>{"..a", "..vrnl.tmp"},
        std::pair<std::string, std::string>{"./s", "./s.vrnl.tmp"},
        // no final name: the path itself
        std::pair<std::string, std::string>{"", ""},
        std::pair<std::string, std::string>{"/", "/"},
        std::pair<std::string, std::string>{"//", "//"},
        std::pair<std::string, std::string>{".", "."},
        std::pair<std::string, std::string>{"./", "./"},
        std::pair<std::string, std::string>{"/./.", "/./."},
        std::pair<std::string, std::string>{"..", ".."},
        std::pair<std::string, std::string>{"a/..", "a/.."},
        std::pair<std::string, std::string>{"a/../", "a/../"},
        std::pair<std::string, std::string>{"a/../.", "a/../."}));

TEST(ContainingDir, NamesTheDirectoryOfTheLastComponent) {
  EXPECT_EQ(containing_dir("s.vrnl.tmp"), ".");
  EXPECT_EQ(containing_dir("/s.vrnl.tmp"), "/");
  EXPECT_EQ(containing_dir("a/b/s.vrnl.tmp"), "a/b");
  EXPECT_EQ(containing_dir("a//s.vrnl.tmp"), "a/");
}

// A scripted stand-in for write(2): each call takes the next step, or accepts
// everything when the script is empty.
struct Step {
  enum { Accept, Limit, Error, Nothing } what;
  int value = 0;  // byte limit for Limit, errno for Error
};
std::deque<Step> g_script;
std::string g_sink;
std::vector<size_t> g_calls;  // requested size of every call

ssize_t scripted_write(int, const void* buf, size_t n) {
  g_calls.push_back(n);
  Step step{Step::Accept};
  if (!g_script.empty()) {
    step = g_script.front();
    g_script.pop_front();
  }
  switch (step.what) {
    case Step::Error:
      errno = step.value;
      return -1;
    case Step::Nothing:
      return 0;
    case Step::Limit:
      n = std::min(n, static_cast<size_t>(step.value));
      break;
    case Step::Accept:
      break;
  }
  g_sink.append(static_cast<const char*>(buf), n);
  return static_cast<ssize_t>(n);
}

class BufferedOutputTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_script.clear();
    g_sink.clear();
    g_calls.clear();
  }
  static std::string piece(size_t n, char fill) { return std::string(n, fill); }
};

TEST_F(BufferedOutputTest, CopiesWhatFitsAndWritesLargePiecesDirectly) {
  BufferedOutput out(7, scripted_write);
  const std::vector<std::string> pieces = {
      piece(40, 'h'), piece(100, 'a'),
      piece(8052, 'b'),  // fills the buffer exactly: still copied
      piece(1, 'c'),     // flushes the full buffer, then is copied
      piece(9000, 'd'),  // flushes one byte, then goes straight through
      piece(8192, 'e'),  // fits the empty buffer
      piece(0, 'f'),     piece(8191, 'g')};
  std::string expected;
  for (const auto& p : pieces) {
    ASSERT_TRUE(out.append(bytes_of(p)));
    expected += p;
  }
  ASSERT_TRUE(out.flush());
  EXPECT_EQ(g_sink, expected);
  EXPECT_EQ(g_calls, (std::vector<size_t>{8192, 1, 9000, 8192, 8191}));
  EXPECT_EQ(out.buffered(), 0u);
}

TEST_F(BufferedOutputTest, RetriesInterruptedAndShortWrites) {
  // The flush of the first piece, then the direct write of the second.
  g_script = {{Step::Error, EINTR}, {Step::Limit, 3},    {Step::Error, EINTR}, {Step::Accept},
              {Step::Limit, 1000},  {Step::Error, EINTR}, {Step::Limit, 5}};
  BufferedOutput out(7, scripted_write);
  std::string expected(20100, '\0');
  for (size_t i = 0; i < expected.size(); ++i) expected[i] = static_cast<char>(i * 7);
  ASSERT_TRUE(out.append(bytes_of(std::string_view(expected).substr(0, 100))));
  ASSERT_TRUE(out.append(bytes_of(std::string_view(expected).substr(100))));
  ASSERT_TRUE(out.flush());
  EXPECT_EQ(g_sink, expected);
  EXPECT_EQ(g_calls, (std::vector<size_t>{100, 100, 97, 97, 20000, 19000, 19000, 18995}));
}

TEST_F(BufferedOutputTest, WriteOfNothingIsAnError) {
  {
    g_script = {{Step::Nothing}};
    BufferedOutput out(7, scripted_write);
    ASSERT_TRUE(out.append(bytes_of("abc")));
    const Status s = out.flush();
    ASSERT_FALSE(s);
    EXPECT_EQ(text_of(s.error()), "VornIOError: failed to write the buffered data");
  }
  {
    g_script = {{Step::Nothing}};
    BufferedOutput out(7, scripted_write);
    const Status s = out.append(bytes_of(piece(BufferedOutput::kCapacity + 1, 'z')));
    ASSERT_FALSE(s);
    EXPECT_EQ(text_of(s.error()), "VornIOError: failed to write whole buffer");
  }
}

TEST_F(BufferedOutputTest, FailedFlushKeepsTheUnwrittenTailForOneMoreAttempt) {
  g_script = {{Step::Limit, 10}, {Step::Error, ENOSPC}};
  BufferedOutput out(7, scripted_write);
  std::string data(500, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i);
  ASSERT_TRUE(out.append(bytes_of(data)));
  const Status s = out.flush();
  ASSERT_FALSE(s);
  EXPECT_EQ(s.error().kind(), ErrorKind::IO);
  EXPECT_EQ(s.error().message(), os_error_text(ENOSPC));
  EXPECT_EQ(out.buffered(), 490u);

  out.flush_ignoring_errors();
  EXPECT_EQ(g_sink, data);
  EXPECT_EQ(out.buffered(), 0u);
}

TEST_F(BufferedOutputTest, FailedDirectWriteReportsTheErrorText) {
  g_script = {{Step::Accept}, {Step::Error, EIO}};
  BufferedOutput out(7, scripted_write);
  ASSERT_TRUE(out.append(bytes_of("head")));
  const Status s = out.append(bytes_of(piece(20000, 'q')));
  ASSERT_FALSE(s);
  EXPECT_EQ(text_of(s.error()), "VornIOError: " + os_error_text(EIO));
  EXPECT_EQ(g_sink, "head");  // flushed before the direct write was tried
}

}  // namespace
}  // namespace vornel
