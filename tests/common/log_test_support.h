// Helpers of the log tests: reading log files as lines and matching whole lines.
#pragma once

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "platform/host.h"
#include "support/temp_roots.h"

namespace qma::test {

/// The lines of a file, each with its "\n" (a last line without one is kept as is).
inline std::vector<std::string> read_lines(const std::filesystem::path& path) {
  std::string text = read_text(path);
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    end = end == std::string::npos ? text.size() : end + 1;
    lines.push_back(text.substr(start, end - start));
    start = end;
  }
  return lines;
}

/// count lines "existing line N".
inline std::string numbered_lines(int count) {
  std::string text;
  for (int i = 1; i <= count; ++i) text += "existing line " + std::to_string(i) + "\n";
  return text;
}

inline void write_file(const std::filesystem::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

inline std::string regex_escape(const std::string& text) {
  static const std::regex special(R"([.^$|()\[\]{}*+?\\])");
  return std::regex_replace(text, special, R"(\$&)");
}

/// This host's name as the log lines show it.
inline std::string this_host() {
  auto name = platform::host_name();
  return name.ok() ? name.value() : std::string();
}

/// "[00042]": the sequence field that starts a line.
inline std::string sequence_field(int number) {
  char field[16];
  std::snprintf(field, sizeof(field), "[%05d]", number);
  return field;
}

/// The date, time and milliseconds field of a log line.
inline constexpr char kTimeField[] = R"(\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2}\.\d{3})";

}  // namespace qma::test
