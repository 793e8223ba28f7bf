// Names of the agent's kernel objects, kept apart per state folder (Windows backend).
//
// This folder is the only place that may include OS headers. Nothing here logs.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/environment.h"

namespace qma::platform::win32 {

/// A short, stable tag of a folder name: 16 hex digits of its FNV-1a hash.
inline std::string folder_tag(std::string_view folder) {
  uint64_t hash = 14695981039346656037ull;
  for (unsigned char c : folder) {
    hash ^= c;
    hash *= 1099511628211ull;
  }
  static const char digits[] = "0123456789abcdef";
  std::string tag(16, '0');
  for (int i = 15; i >= 0; --i, hash >>= 4) tag[static_cast<size_t>(i)] = digits[hash & 0xf];
  return tag;
}

/// The name followed by "." and the tag of $QMA_STATE_DIR when that is set, so that agents of
/// different state folders (tests running at once) never share a pipe, mutex, job or service.
inline std::string state_tagged(std::string_view name) {
  std::string full(name);
  if (auto state = get_env("QMA_STATE_DIR"); state && !state->empty()) {
    full += "." + folder_tag(*state);
  }
  return full;
}

}  // namespace qma::platform::win32
