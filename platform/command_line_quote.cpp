// Quoting of one argument of a Windows command line, the inverse of the splitting rules.
#include <string>
#include <string_view>

#include "platform/command_line.h"

namespace qma::platform {

std::string quote_argument(std::string_view argument) {
  std::string out = "\"";
  size_t backslashes = 0;
  for (char c : argument) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    if (c == '"') {
      out.append(backslashes * 2 + 1, '\\');
    } else {
      out.append(backslashes, '\\');
    }
    backslashes = 0;
    out.push_back(c);
  }
  out.append(backslashes * 2, '\\');
  out.push_back('"');
  return out;
}

}  // namespace qma::platform
