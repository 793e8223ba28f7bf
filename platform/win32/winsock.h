// The socket library, started once per process (Windows backend).
//
// This folder is the only place that may include OS headers. Nothing here logs.
#pragma once

// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
// clang-format on

namespace qma::platform::win32 {

/// Starts Winsock 2.2 on the first call and keeps it for the life of the process (the
/// system stops it when the process ends); 0, or the WSAStartup error of that first call
/// on every call.
inline int start_winsock() {
  static const int error = [] {
    WSADATA data{};
    return ::WSAStartup(MAKEWORD(2, 2), &data);
  }();
  return error;
}

}  // namespace qma::platform::win32
