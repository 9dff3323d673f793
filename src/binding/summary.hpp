// The lines that announce a published store. The core only reports what a build
// published (BuildReport); each binding words it: _vornel its fixed line, printed on
// standard output, and the package its own, which the caller prints where it likes.
// Plain C++, so that the core's tests check the wording too.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "util/store_error.hpp"
#include "write/writer.hpp"

namespace vornel {

// _vornel's line, newline included:
// "✅  {path}  —  {objects} objects · {keys} keys · {size/1024, one decimal} KB\n".
std::string fixed_summary_line(std::string_view path, const BuildReport& report);

// The package's line, with no newline and the size in binary units:
// "✅  {path}  —  {objects} objects · {keys} keys · {size_text(size)}", a count of one
// as "1 object" and "1 key". Counts are given as the caller counts them (the package leaves out its key table's record).
std::string summary_line(std::string_view path, uint64_t objects, uint64_t keys,
                         uint64_t file_size);

// A size as the package shows it: "{n} B" below 1 KiB, else one decimal of the largest
// binary unit (KiB, MiB, GiB, TiB, PiB) that leaves at least 1, as in "50.3 MiB".
std::string size_text(uint64_t bytes);

// Writes `line` to file descriptor 1, retrying on EINTR. A closed descriptor 1 is not
// an error. Any other failure is a VornIOError whose message is the error text.
[[nodiscard]] Status print_stdout_line(std::string_view line);

}  // namespace vornel
