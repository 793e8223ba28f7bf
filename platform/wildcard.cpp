// Windows wildcard matching of file names (* and ?), without regard to case.
#include <string_view>

#include "platform/file.h"

namespace qma::platform {

namespace {

char fold(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// '*' takes any run of characters (also none), '?' exactly one. Greedy with
// a single backtrack point, so the work stays linear in practice and never
// recurses on hostile patterns.
bool match_plain(std::string_view pattern, std::string_view name) {
  size_t p = 0;
  size_t n = 0;
  size_t star = std::string_view::npos;
  size_t star_n = 0;
  while (n < name.size()) {
    if (p < pattern.size() && (pattern[p] == '?' || fold(pattern[p]) == fold(name[n]))) {
      ++p;
      ++n;
    } else if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      star_n = n;
    } else if (star != std::string_view::npos) {
      p = star + 1;
      n = ++star_n;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

}  // namespace

bool wildcard_match(std::string_view pattern, std::string_view name) {
  if (match_plain(pattern, name)) return true;
  // As on Windows, a trailing ".*" also takes a name without any extension:
  // "*.*" lists everything and "README.*" finds "README".
  if (pattern.size() >= 2 && pattern.substr(pattern.size() - 2) == ".*" &&
      name.find('.') == std::string_view::npos) {
    return match_plain(pattern.substr(0, pattern.size() - 2), name);
  }
  return false;
}

}  // namespace qma::platform
