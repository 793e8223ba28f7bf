// UTF-8 inside the program, UTF-16 at every Win32 call (Windows backend).
//
// This folder is the only place that may include OS headers. Nothing here logs.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

namespace qma::platform::win32 {

/// UTF-16 for a W call; bytes that are not UTF-8 become U+FFFD.
inline std::wstring widen(std::string_view text) {
  if (text.empty()) return {};
  const int size =
      ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(size), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), size);
  return wide;
}

/// UTF-8 of what a W call returned; unpaired surrogates become U+FFFD.
inline std::string narrow(std::wstring_view wide) {
  if (wide.empty()) return {};
  const int size = ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                         nullptr, 0, nullptr, nullptr);
  std::string text(static_cast<size_t>(size), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), text.data(), size,
                        nullptr, nullptr);
  return text;
}

/// Records GetLastError() as the thread's last error and returns it.
int record_last_error();

}  // namespace qma::platform::win32
