// Text put into XML that others read: escaped so it stands as content or as a quoted attribute.
#pragma once

#include <string>
#include <string_view>

namespace qma::common {

/// The text with &, <, >, " and ' written as entity references.
inline std::string xml_escaped(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&apos;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

}  // namespace qma::common
