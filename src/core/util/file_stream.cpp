#include "util/file_stream.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <random>

namespace vornel {

Result<FileDescriptor> create_unnamed_file(const std::string& dir, std::string_view suffix,
                                           std::string_view what) {
  static std::atomic<uint64_t> counter{0};
  const auto error = [&](int errnum) {
    return StoreError::os(errnum, "create " + std::string(what) + " in " + dir + ": ");
  };
  std::random_device random;
  std::string base(dir.empty() ? std::string_view(".") : std::string_view(dir));
  if (base.back() != '/') base.push_back('/');
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string path = base;
    path += ".vornel-" + std::to_string(::getpid()) + "-" + std::to_string(counter++) + "-" +
            std::to_string(random()) + std::string(suffix);
    std::string c_path;
    if (!to_c_path(path, c_path)) {
      return fail(StoreError::io("create " + std::string(what) + ": " + kNulInPathText));
    }
    FileDescriptor fd(retry_eintr([&] {
      return ::open(c_path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    }));
    if (!fd.valid()) {
      if (errno == EEXIST) continue;
      return fail(error(errno));
    }
    if (::unlink(c_path.c_str()) != 0) return fail(error(errno));
    return fd;
  }
  return fail(error(EEXIST));
}

}  // namespace vornel
