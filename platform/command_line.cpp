// Splitting of a Windows command line into arguments, by the rules Windows programs use.
#include <string>
#include <string_view>
#include <vector>

#include "platform/process.h"

namespace qma::platform {

namespace {

bool is_blank(char c) {
  return c == ' ' || c == '\t';
}

}  // namespace

std::vector<std::string> split_command_line(std::string_view line) {
  std::vector<std::string> args;
  if (line.empty()) return args;

  // The program name: backslashes are literal, a leading quote runs to the next
  // quote, and the name ends at the first blank or at that closing quote.
  size_t i = 0;
  std::string program;
  if (line[0] == '"') {
    size_t close = line.find('"', 1);
    size_t end = close == std::string_view::npos ? line.size() : close;
    program.assign(line.substr(1, end - 1));
    i = close == std::string_view::npos ? line.size() : close + 1;
  } else {
    while (i < line.size() && !is_blank(line[i])) program.push_back(line[i++]);
  }
  args.push_back(std::move(program));

  while (true) {
    while (i < line.size() && is_blank(line[i])) ++i;
    if (i >= line.size()) break;
    std::string arg;
    bool quoted = false;
    size_t backslashes = 0;
    for (; i < line.size(); ++i) {
      char c = line[i];
      if (c == '\\') {
        ++backslashes;
        continue;
      }
      if (c == '"') {
        // 2n backslashes before a quote give n and the quote groups;
        // 2n+1 give n and a literal quote.
        arg.append(backslashes / 2, '\\');
        if (backslashes % 2 == 1) {
          arg.push_back('"');
        } else if (quoted && i + 1 < line.size() && line[i + 1] == '"') {
          // "" inside a quoted run is one literal quote; the run goes on.
          arg.push_back('"');
          ++i;
        } else {
          quoted = !quoted;
        }
        backslashes = 0;
        continue;
      }
      arg.append(backslashes, '\\');
      backslashes = 0;
      if (is_blank(c) && !quoted) break;
      arg.push_back(c);
    }
    arg.append(backslashes, '\\');
    args.push_back(std::move(arg));
  }
  return args;
}

}  // namespace qma::platform
