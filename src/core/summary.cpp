#include "summary.hpp"

#include <unistd.h>

#include <cerrno>
#include <charconv>

#include "util/file.hpp"

namespace vornel {
namespace {

constexpr char kCheckMark[] = "\xE2\x9C\x85";  // U+2705
constexpr char kEmDash[] = "\xE2\x80\x94";     // U+2014
constexpr char kMiddleDot[] = "\xC2\xB7";      // U+00B7

}  // namespace

std::string summary_line(std::string_view path, const BuildReport& report) {
  // to_chars rounds the exact binary value, ties to even, whatever the C locale.
  char kb[64];
  const double size_kb = static_cast<double>(report.file_size) / 1024.0;
  const auto end = std::to_chars(kb, kb + sizeof kb, size_kb, std::chars_format::fixed, 1).ptr;

  std::string line;
  line.reserve(path.size() + 96);
  line += kCheckMark;
  line += "  ";
  line += path;
  line += "  ";
  line += kEmDash;
  line += "  ";
  line += std::to_string(report.num_objects);
  line += " objects ";
  line += kMiddleDot;
  line += ' ';
  line += std::to_string(report.num_keys);
  line += " keys ";
  line += kMiddleDot;
  line += ' ';
  line.append(kb, end);
  line += " KB\n";
  return line;
}

Status print_stdout_line(std::string_view line) {
  size_t written;
  Status s = write_all(STDOUT_FILENO, ::write, reinterpret_cast<const uint8_t*>(line.data()),
                       line.size(), &written, "failed to write whole buffer");
  // A process without standard output simply does not get the line.
  if (!s && s.error().os_errno() == EBADF) return {};
  return s;
}

}  // namespace vornel
