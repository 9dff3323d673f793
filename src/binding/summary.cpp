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

// `value` with one decimal. to_chars rounds the exact binary value, ties to even,
// whatever the C locale.
std::string one_decimal(double value) {
  char text[64];
  const auto end = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, 1).ptr;
  return std::string(text, end);
}

// "{n} {noun}s", or "1 {noun}" when `singular` agrees the noun with a count of one.
std::string counted(uint64_t n, std::string_view noun, bool singular) {
  std::string text = std::to_string(n);
  text += ' ';
  text += noun;
  if (n != 1 || !singular) text += 's';
  return text;
}

// "✅  {path}  —  {objects} objects · {keys} keys · {size}"; `singular` says "1 object"
// and "1 key" (the low-level module's fixed line says "1 objects").
std::string announce(std::string_view path, uint64_t objects, uint64_t keys,
                     std::string_view size, bool singular) {
  std::string line;
  line.reserve(path.size() + 96);
  line += kCheckMark;
  line += "  ";
  line += path;
  line += "  ";
  line += kEmDash;
  line += "  ";
  line += counted(objects, "object", singular);
  line += ' ';
  line += kMiddleDot;
  line += ' ';
  line += counted(keys, "key", singular);
  line += ' ';
  line += kMiddleDot;
  line += ' ';
  line += size;
  return line;
}

}  // namespace

std::string fixed_summary_line(std::string_view path, const BuildReport& report) {
  const double size_kb = static_cast<double>(report.file_size) / 1024.0;
  return announce(path, report.num_objects, report.num_keys, one_decimal(size_kb) + " KB\n",
                  false);
}

std::string summary_line(std::string_view path, uint64_t objects, uint64_t keys,
                         uint64_t file_size) {
  return announce(path, objects, keys, size_text(file_size), true);
}

std::string size_text(uint64_t bytes) {
  if (bytes < 1024) return std::to_string(bytes) + " B";
  static constexpr const char* kUnits[] = {"KiB", "MiB", "GiB", "TiB", "PiB"};
  double size = static_cast<double>(bytes);
  size_t unit = 0;
  for (;; ++unit) {
    size /= 1024.0;
    if (size < 1024.0 || unit + 1 == std::size(kUnits)) break;
  }
  return one_decimal(size) + " " + kUnits[unit];
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
