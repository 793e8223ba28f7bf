// Text shown to people (log lines, qmareg's listing) that others wrote: control characters are
// written as escapes, so no stored or received text can start a line of its own or steer a
// terminal.
#pragma once

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

namespace qma::common {

/// The escape a byte is shown as: "\n", "\r", "\t", or "\xHH" for the other bytes below 0x20
/// and 0x7F; empty for every other byte, which is shown as it is (backslashes too, as paths
/// are read; bytes of 0x80 and above, which UTF-8 texts are made of).
inline std::string_view control_escape(unsigned char byte, char (&buffer)[5]) {
  switch (byte) {
    case '\n':
      return "\\n";
    case '\r':
      return "\\r";
    case '\t':
      return "\\t";
    default:
      break;
  }
  if (byte >= 0x20 && byte != 0x7f) return {};
  std::snprintf(buffer, sizeof buffer, "\\x%02X", byte);
  return std::string_view(buffer, 4);
}

/// The text with its control characters escaped.
inline std::string control_escaped(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  char buffer[5];
  for (char c : text) {
    std::string_view escape = control_escape(static_cast<unsigned char>(c), buffer);
    if (escape.empty()) {
      out += c;
    } else {
      out += escape;
    }
  }
  return out;
}

/// The zero-terminated text with its control characters escaped into `out` (`size` bytes,
/// terminator included), cut where the next character or whole escape no longer fits.
inline void control_escape_into(const char* text, char* out, size_t size) {
  if (size == 0) return;
  size_t used = 0;
  char buffer[5];
  for (const char* at = text; *at != '\0'; ++at) {
    std::string_view escape = control_escape(static_cast<unsigned char>(*at), buffer);
    std::string_view shown = escape.empty() ? std::string_view(at, 1) : escape;
    if (used + shown.size() > size - 1) break;
    std::memcpy(out + used, shown.data(), shown.size());
    used += shown.size();
  }
  out[used] = '\0';
}

}  // namespace qma::common
