// What a build published, and the line that announces it on standard output.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "store_error.hpp"

namespace vornel {

// What a successful build published.
struct BuildReport {
  uint64_t num_objects = 0;  // the key table's and the dictionary's records included
  uint64_t num_keys = 0;
  uint64_t file_size = 0;
  bool key_table = false;  // a key table was written
  bool dictionary = false;  // values were compressed, and their dictionary written
};

// The line printed after a successful build, newline included:
// "✅  {path}  —  {objects} objects · {keys} keys · {size/1024, one decimal} KB\n".
std::string summary_line(std::string_view path, const BuildReport& report);

// Writes `line` to file descriptor 1, retrying on EINTR. A closed descriptor 1 is not
// an error. Any other failure is a VornIOError whose message is the error text.
[[nodiscard]] Status print_stdout_line(std::string_view line);

// print_stdout_line with its error text as an optional: the shape the binding's call
// site takes today.
[[nodiscard]] inline std::optional<std::string> write_stdout_line(std::string_view line) {
  if (Status s = print_stdout_line(line); !s) return s.error().message();
  return std::nullopt;
}

}  // namespace vornel
