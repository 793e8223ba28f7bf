// Version ordering of the get-version tool: a numeric first group, digit-wise later groups.
#include "tools/getversion/version_compare.h"

#include <cstddef>
#include <string_view>

namespace qma::getversion {

namespace {

// Texts are read as the tool's 257-byte buffers hold them; a digit run is at most 256 long.
constexpr size_t kTextMax = 257;
constexpr size_t kGroupMax = 256;

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

std::string_view bounded(const char* text) {
  if (text == nullptr) return {};
  size_t length = 0;
  while (length < kTextMax && text[length] != '\0') ++length;
  return {text, length};
}

// The run of digits at pos (at most kGroupMax); pos moves past it.
std::string_view digit_run(std::string_view text, size_t& pos) {
  size_t start = pos;
  while (pos < text.size() && pos - start < kGroupMax && is_digit(text[pos])) ++pos;
  return text.substr(start, pos - start);
}

// Two digit runs as whole numbers, however long: leading zeros dropped, then the longer run is
// the larger number, and runs of one length compare digit by digit.
int compare_as_numbers(std::string_view a, std::string_view b) {
  while (!a.empty() && a.front() == '0') a.remove_prefix(1);
  while (!b.empty() && b.front() == '0') b.remove_prefix(1);
  if (a.size() != b.size()) return a.size() > b.size() ? 1 : -1;
  int order = a.compare(b);
  return order > 0 ? 1 : order < 0 ? -1 : 0;
}

// Two later groups, digit by digit from the left; extra digits decide only when one of them
// is not "0".
int compare_as_fractions(std::string_view a, std::string_view b) {
  size_t common = a.size() < b.size() ? a.size() : b.size();
  for (size_t i = 0; i < common; ++i) {
    if (a[i] != b[i]) return a[i] > b[i] ? 1 : -1;
  }
  std::string_view rest = a.size() > common ? a.substr(common) : b.substr(common);
  if (rest.find_first_not_of('0') == std::string_view::npos) return 0;
  return a.size() > b.size() ? 1 : -1;
}

}  // namespace

int compare_versions(const char* package_version, const char* installed_version) {
  std::string_view a = bounded(package_version);
  std::string_view b = bounded(installed_version);
  size_t pa = 0;
  size_t pb = 0;
  // A text that does not begin with a digit has the leading number 0.
  if (int order = compare_as_numbers(digit_run(a, pa), digit_run(b, pb)); order != 0) return order;
  while (pa < a.size() || pb < b.size()) {
    while (pa < a.size() && !is_digit(a[pa])) ++pa;
    while (pb < b.size() && !is_digit(b[pb])) ++pb;
    std::string_view ga = digit_run(a, pa);
    std::string_view gb = digit_run(b, pb);
    if (int order = compare_as_fractions(ga, gb); order != 0) return order;
  }
  return 0;
}

}  // namespace qma::getversion
