// The writer whose buffers a thread checksums and writes: the file and its checksum are
// what was appended, read_back sees what is still buffered as well as what is written,
// and a failed write comes back to the caller, however many buffers were queued.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <random>
#include <string>
#include <vector>

#include "util/crc32.hpp"
#include "test_files.hpp"
#include "util/background_writer.hpp"

namespace vornel {
namespace {

// A file open for writing in a scratch directory.
class TempFd {
 public:
  TempFd() : fd_(::open(dir_.file("out").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644)) {}
  ~TempFd() { ::close(fd_); }
  int get() const { return fd_; }

 private:
  TempDir dir_;
  int fd_;
};

std::atomic<int> writes_left{0};
ssize_t failing_pwrite(int fd, const void* buf, size_t n, off_t offset) {
  if (writes_left.fetch_sub(1) <= 0) {
    errno = ENOSPC;
    return -1;
  }
  return ::pwrite(fd, buf, n, offset);
}

std::vector<uint8_t> random_bytes(size_t n) {
  std::mt19937_64 rng(n);
  std::vector<uint8_t> bytes(n);
  for (uint8_t& b : bytes) b = static_cast<uint8_t>(rng());
  return bytes;
}

TEST(BackgroundWriter, WritesWhatWasAppendedWithItsChecksum) {
  TempFd file;
  const std::vector<uint8_t> bytes = random_bytes(300'000);
  constexpr uint64_t kStart = 64;
  BackgroundWriter out(file.get(), kStart, 4096);
  std::mt19937_64 rng(1);
  for (size_t at = 0; at < bytes.size();) {
    const size_t n = std::min<size_t>(rng() % 9000, bytes.size() - at);
    ASSERT_TRUE(out.append(bytes.data() + at, n));
    at += n;
    // Bytes already in the file and bytes still buffered read back alike.
    if (at > 5000 && rng() % 8 == 0) {
      std::vector<uint8_t> back(5000);
      ASSERT_TRUE(out.read_back(kStart + at - back.size(), back.data(), back.size()));
      ASSERT_TRUE(std::equal(back.begin(), back.end(), bytes.begin() + (at - back.size())));
    }
  }
  EXPECT_EQ(out.position(), kStart + bytes.size());
  ASSERT_TRUE(out.flush());
  EXPECT_EQ(out.crc(), crc32(bytes.data(), bytes.size()));
  std::vector<uint8_t> written(bytes.size());
  ASSERT_EQ(::pread(file.get(), written.data(), written.size(), kStart),
            static_cast<ssize_t>(written.size()));
  EXPECT_EQ(written, bytes);
}

TEST(BackgroundWriter, AFailedWriteComesBack) {
  const std::vector<uint8_t> bytes = random_bytes(100'000);
  for (int allowed : {0, 1, 5, 20}) {
    TempFd file;
    writes_left = allowed;
    BackgroundWriter out(file.get(), 0, 4096, failing_pwrite);
    Status s;
    for (size_t at = 0; s && at < bytes.size(); at += 1000) s = out.append(bytes.data() + at, 1000);
    if (s) s = out.flush();
    ASSERT_FALSE(s) << allowed;
    EXPECT_EQ(s.error().kind(), StoreError::os(ENOSPC).kind());
    EXPECT_EQ(s.error().message(), StoreError::os(ENOSPC).message());
  }
}

}  // namespace
}  // namespace vornel
