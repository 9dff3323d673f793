// Builders racing for one target, interrupted renames, leftover and locked temporary
// files, and a store cut short under an open reader.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "write/publish.hpp"
#include "read/reader.hpp"
#include "reads.hpp"
#include "write/writer.hpp"
#include "store_words.hpp"
#include "test_files.hpp"

namespace vornel {
namespace {

namespace fs = std::filesystem;


// `objects` objects of `size` bytes filled with `fill`, key "k{i}" bound to object i.
std::unique_ptr<Writer> staged(int objects, size_t size, char fill) {
  auto w = std::make_unique<Writer>();
  for (int i = 0; i < objects; ++i) {
    const std::string payload(size, static_cast<char>(fill + i % 7));
    std::string key = "k";
    key += std::to_string(i);
    EXPECT_TRUE(w->add_key(bytes_of(key), w->add_object(bytes_of(payload))));
  }
  return w;
}

// Every key's payload, in index order, joined: what a whole store holds.
std::string contents_of(const Reader& r) {
  std::string all;
  auto payloads = vornel::testing::read_entries(r, 0, r.size());
  EXPECT_TRUE(payloads);
  if (payloads) {
    for (Bytes p : *payloads) all += string_of(p);
  }
  return all;
}

// A file cut short before its open, and a directory: reported as the failure they cause,
// or by their cause when the options ask.
TEST(OpenReports, NameACutFileAndADirectoryOnlyWhenAsked) {
  TempDir dir;
  const std::string path = dir.file("s.vrnl");
  ASSERT_TRUE(staged(3, 100, 'p')->build(path));
  const std::string whole = read_file(path);
  const uint64_t index_offset = load_be64(reinterpret_cast<const uint8_t*>(whole.data()) + 16);
  const std::string cut = whole.substr(0, index_offset + 5);  // inside the first entry
  std::ofstream(path, std::ios::binary | std::ios::trunc) << cut;
  const std::string truncated = "VornCorruptError: truncated: " + std::to_string(cut.size()) +
                                " bytes, the header expects at least " +
                                std::to_string(index_offset + 3 * kIndexEntryMin);
  const OpenOptions named{.refuse_directory = true, .name_truncation = true};
  for (const bool verify : {true, false}) {
    const auto plain = Reader::open(path, verify);
    ASSERT_FALSE(plain);
    EXPECT_EQ(plain.error().kind(), ErrorKind::Corrupt);
    EXPECT_NE(text_of(plain.error()), truncated);
    const auto cause = Reader::open(path, verify, named);
    ASSERT_FALSE(cause);
    EXPECT_EQ(text_of(cause.error()), truncated) << verify;
  }
  const auto plain = Reader::open(dir.file(""), false);
  ASSERT_FALSE(plain);
  EXPECT_EQ(plain.error().fault(), Fault::CannotMap) << text_of(plain.error());
  const auto cause = Reader::open(dir.file(""), false, named);
  ASSERT_FALSE(cause);
  EXPECT_EQ(cause.error().fault(), Fault::IsDirectory);
  EXPECT_EQ(cause.error().os_errno(), EISDIR) << text_of(cause.error());
}

TEST(ConcurrentBuilds, EveryOpenSeesAWholeStore) {
  TempDir dir;
  const std::string target = dir.file("s.vrnl");
  // Different sizes as well as contents, so that a torn file cannot pass for either.
  const auto a = staged(300, 200, 'a');
  const auto b = staged(500, 90, 'A');
  ASSERT_TRUE(a->build(target));
  auto ra = Reader::open(target, true);
  ASSERT_TRUE(ra);
  const std::string want_a = contents_of(**ra);
  ASSERT_TRUE(b->build(target));
  auto rb = Reader::open(target, true);
  ASSERT_TRUE(rb);
  const std::string want_b = contents_of(**rb);

  constexpr int kRounds = 150;
  std::atomic<bool> done{false};
  auto builder = [&](const Writer& w) {
    for (int i = 0; i < kRounds; ++i) EXPECT_TRUE(w.build(target));
  };
  int opens = 0;
  std::thread reader_thread([&] {
    while (!done.load()) {
      auto r = Reader::open(target, true);
      ASSERT_TRUE(r) << text_of(r.error());
      ASSERT_TRUE((*r)->verify()) << text_of((*r)->verify().error());
      const std::string got = contents_of(**r);
      ASSERT_TRUE(got == want_a || got == want_b);
      ++opens;
    }
  });
  std::thread t1(builder, std::cref(*a));
  std::thread t2(builder, std::cref(*b));
  t1.join();
  t2.join();
  done = true;
  reader_thread.join();
  EXPECT_GT(opens, 0);
  EXPECT_FALSE(fs::exists(dir.file("s.vrnl.tmp")));  // the last builder renamed its own
}

// rename(2) that reports EINTR a few times before doing its work.
int g_interruptions = 0;
int interrupted_rename(const char* from, const char* to) {
  if (g_interruptions > 0) {
    --g_interruptions;
    errno = EINTR;
    return -1;
  }
  return ::rename(from, to);
}
int failing_rename(const char*, const char*) {
  errno = EXDEV;
  return -1;
}

TEST(Publish, RetriesAnInterruptedRename) {
  TempDir dir;
  const std::string target = dir.file("s.vrnl");
  g_interruptions = 3;
  PublishOptions options;
  options.calls.rename = interrupted_rename;
  ASSERT_TRUE(publish(target, {bytes_of("head"), bytes_of("tail")}, options));
  EXPECT_EQ(g_interruptions, 0);
  EXPECT_EQ(read_file(target), "headtail");
  EXPECT_FALSE(fs::exists(dir.file("s.vrnl.tmp")));
}

TEST(Publish, AFailedRenameLeavesTheTargetAndTheWholeTemporaryFile) {
  TempDir dir;
  const std::string target = dir.file("s.vrnl");
  ASSERT_TRUE(publish(target, {bytes_of("old")}));
  PublishOptions options;
  options.calls.rename = failing_rename;
  const Status s = publish(target, {bytes_of("new"), bytes_of("er")}, options);
  ASSERT_FALSE(s);
  EXPECT_EQ(text_of(s.error()), "VornIOError: rename: " + os_error_text(EXDEV));
  EXPECT_EQ(read_file(target), "old");
  EXPECT_EQ(read_file(dir.file("s.vrnl.tmp")), "newer");
}

// Whatever sits at the temporary path is replaced by a new file that the build makes:
// a leftover goes with its bytes and mode, and a link is never written through.
TEST(Publish, ReplacesWhatSitsAtTheTemporaryPath) {
  TempDir dir, elsewhere;
  const std::string target = dir.file("s.vrnl");
  const std::string tmp = dir.file("s.vrnl.tmp");
  const std::string victim = elsewhere.file("victim");
  const mode_t mask = ::umask(022);
  ::umask(mask);
  for (const bool link : {false, true}) {
    std::ofstream(link ? victim : tmp) << std::string(10000, 'x');
    ASSERT_EQ(::chmod((link ? victim : tmp).c_str(), 0604), 0);
    if (link) {
      ASSERT_EQ(::symlink(victim.c_str(), tmp.c_str()), 0);
    }
    ASSERT_TRUE(publish(target, {bytes_of("short")}));
    EXPECT_EQ(read_file(target), "short");
    struct stat st;
    ASSERT_EQ(::lstat(target.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0666u & ~mask);
    EXPECT_EQ(dir.count(), 1u);
  }
  EXPECT_EQ(read_file(victim), std::string(10000, 'x'));

  // A directory stays, and is the error, about the temporary path.
  ASSERT_EQ(::mkdir(tmp.c_str(), 0755), 0);
  const Status s = publish(target, {bytes_of("new")});
  ASSERT_FALSE(s);
  EXPECT_EQ(s.error().message(), "open tmp: " + os_error_text(EISDIR));
  EXPECT_EQ(s.error().path(), tmp);
  EXPECT_EQ(read_file(target), "short");
}

TEST(Publish, WaitsForTheBuilderHoldingTheTemporaryFile) {
  TempDir dir;
  const std::string target = dir.file("s.vrnl");
  const std::string tmp = dir.file("s.vrnl.tmp");
  const int held = ::open(tmp.c_str(), O_WRONLY | O_CREAT, 0644);
  ASSERT_GE(held, 0);
  ASSERT_EQ(::write(held, "other builder", 13), 13);
  ASSERT_EQ(::flock(held, LOCK_EX), 0);

  auto waiting = std::async(std::launch::async, [&] { return publish(target, {bytes_of("mine")}); });
  EXPECT_EQ(waiting.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
  // The holder publishes its file under another name and lets go. The waiting builder
  // must not truncate that file: it starts over on a new temporary file.
  ASSERT_EQ(::rename(tmp.c_str(), dir.file("other.vrnl").c_str()), 0);
  ::close(held);
  ASSERT_TRUE(waiting.get());
  EXPECT_EQ(read_file(target), "mine");
  EXPECT_EQ(read_file(dir.file("other.vrnl")), "other builder");
}

// Objects of 64 KiB: a store of eight spans many pages.
constexpr size_t kBig = 64 * 1024;

class ShrunkStore : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = dir_.file("s.vrnl");
    ASSERT_TRUE(staged(8, kBig, 'p')->build(path_));
    auto r = Reader::open(path_, true);
    ASSERT_TRUE(r);
    reader_ = std::move(*r);
  }
  void cut_to(off_t size) { ASSERT_EQ(::truncate(path_.c_str(), size), 0); }
  // `e` is the fault error, at an offset in [lo, hi). Where the system names the
  // faulting byte the offset is that byte's; under emulation it may be where the read
  // began.
  static void expect_fault(const StoreError& e, uint64_t lo, uint64_t hi) {
    const std::string prefix = "VornIOError: store file changed while mapped: bus error at offset ";
    const std::string text = text_of(e);
    ASSERT_EQ(text.substr(0, prefix.size()), prefix) << text;
    const uint64_t at = std::stoull(text.substr(prefix.size()));
    EXPECT_GE(at, lo) << text;
    EXPECT_LT(at, hi) << text;
  }
  // Offset of the record of object i.
  static uint64_t record(int i) { return kDataOffset + i * (kBig + kRecordPrefix); }

  TempDir dir_;
  std::string path_;
  std::unique_ptr<Reader> reader_;
};

TEST_F(ShrunkStore, ReadsPastTheCutFailAndTheRestStaysReadable) {
  const off_t cut = 4 * 4096 * 16;  // a page boundary inside object 3's payload
  cut_to(cut);
  for (int round = 0; round < 2; ++round) {
    // Objects 0..2 lie wholly before the cut.
    for (int i = 0; i < 3; ++i) {
      auto p = vornel::testing::read_object(*reader_, record(i));
      ASSERT_TRUE(p) << text_of(p.error());
      std::string copy(p->size(), '\0');
      ASSERT_TRUE(copy_out(reinterpret_cast<uint8_t*>(copy.data()), *p));
      EXPECT_EQ(copy, std::string(kBig, static_cast<char>('p' + i)));
    }
    // Object 3's prefix survives, its tail does not. Each error names a byte of the
    // record that the failing read was reading.
    auto straddling = vornel::testing::read_object(*reader_, record(3));
    ASSERT_FALSE(straddling);
    expect_fault(straddling.error(), record(3), record(4));
    auto beyond = vornel::testing::read_object(*reader_, record(5));  // its prefix is gone
    ASSERT_FALSE(beyond);
    expect_fault(beyond.error(), record(5), record(6));

    auto all = vornel::testing::read_entries(*reader_, 0, reader_->size());
    ASSERT_FALSE(all);
    expect_fault(all.error(), record(3), record(4));
    auto distinct = vornel::testing::distinct_objects(*reader_);
    ASSERT_FALSE(distinct);
    expect_fault(distinct.error(), record(3), record(4));
    const Status v = reader_->verify();  // the whole-file pass meets the cut first
    ASSERT_FALSE(v);
    expect_fault(v.error(), kHeaderSize, record(8));
    EXPECT_TRUE(*reader_->holds(bytes_of("k7")));  // the index is a copy
  }
}

TEST_F(ShrunkStore, ACopyThatMeetsTheCutFailsInsteadOfCrashing) {
  auto p = vornel::testing::read_object(*reader_, record(7));
  ASSERT_TRUE(p);
  cut_to(0);  // after the read checked it: the copy itself faults
  std::vector<uint8_t> dst(p->size());
  const Status s = copy_out(dst.data(), *p);
  ASSERT_FALSE(s);
  expect_fault(s.error(), record(7) + kRecordPrefix, record(7) + kRecordPrefix + kBig);
}

TEST_F(ShrunkStore, ABatchCopyStopsAtTheFirstSourceThatMeetsTheCut) {
  // Entries k0..k7 in key order name objects 0..7 in file order.
  std::vector<Bytes> src(reader_->size()), keys(reader_->size());
  ASSERT_TRUE(reader_->locate_items(0, src.size(), keys.data(), src.data()));
  cut_to(4 * 4096 * 16);  // a page boundary inside object 3's payload
  std::vector<std::string> copies(src.size(), std::string(kBig, '\0'));
  std::vector<uint8_t*> dst;
  for (std::string& c : copies) dst.push_back(reinterpret_cast<uint8_t*>(c.data()));
  // The batch runs from object 1: the fault is object 3's, after two whole copies.
  const Status s = copy_out(dst.data() + 1, src.data() + 1, src.size() - 1);
  ASSERT_FALSE(s);
  expect_fault(s.error(), record(3), record(4));
  for (int i = 1; i < 3; ++i) EXPECT_EQ(copies[i], std::string(kBig, static_cast<char>('p' + i)));
  EXPECT_TRUE(copy_out(dst.data(), src.data(), 1));  // a batch before the cut still copies
  EXPECT_EQ(copies[0], std::string(kBig, 'p'));

  // Locating reports the first record in order whose pages are gone, by entry or by offset.
  std::vector<Bytes> out(8);
  auto located = reader_->locate_items(2, 5, keys.data(), out.data());
  ASSERT_FALSE(located);
  expect_fault(located.error(), record(3), record(4));
  const uint64_t offsets[] = {record(1), record(5), record(3)};
  auto by_offset = reader_->locate_records(offsets, 3, out.data());
  ASSERT_FALSE(by_offset);
  expect_fault(by_offset.error(), record(5), record(6));
  ASSERT_TRUE(reader_->locate_records(offsets, 1, out.data()));
  EXPECT_EQ(out[0].data(), src[1].data());
}

TEST_F(ShrunkStore, EveryReaderOfTheFileSeesTheCut) {
  // A second reader of the same file, cut short right after the header.
  auto again = Reader::open(path_, false);
  ASSERT_TRUE(again);
  cut_to(kHeaderSize);
  auto v = (*again)->verify();
  ASSERT_FALSE(v);
  expect_fault(v.error(), kHeaderSize, record(8));
}

// The sanitizers install their own bus-error handler first, which reports and exits
// instead of letting the signal kill the process.
#if defined(__SANITIZE_ADDRESS__)
#define EXPECT_BUS_ERROR_ENDS(statement) EXPECT_DEATH(statement, "")
#else
#define EXPECT_BUS_ERROR_ENDS(statement) \
  EXPECT_EXIT(statement, ::testing::KilledBySignal(SIGBUS), "")
#endif

// A bus error outside every guarded region still reaches the previous handler and
// ends the process, also right after a guarded one was caught.
TEST_F(ShrunkStore, AFaultOutsideTheGuardStillEndsTheProcess) {
  ASSERT_TRUE(reader_->verify());  // a guarded pass: the handler is installed by now
  EXPECT_BUS_ERROR_ENDS({
    const int fd = ::open(path_.c_str(), O_RDONLY);
    auto* map =
        static_cast<const volatile uint8_t*>(::mmap(nullptr, 8 * kBig, PROT_READ, MAP_SHARED, fd, 0));
    if (::truncate(path_.c_str(), 0) != 0) std::_Exit(3);
    if (reader_->verify()) std::_Exit(4);  // a guarded fault first
    (void)map[5 * kBig];
    std::_Exit(0);
  });
  EXPECT_BUS_ERROR_ENDS(std::raise(SIGBUS));  // sent, not a fault: never taken as one
}

}  // namespace
}  // namespace vornel
