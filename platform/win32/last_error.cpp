// The thread's last Win32 error as the platform layer's last error (Windows backend).
//
// This folder is the only place that may include OS headers. Nothing here logs.
#include "platform/error.h"
#include "platform/win32/wide.h"

namespace qma::platform::win32 {

int record_last_error() {
  const int error = static_cast<int>(::GetLastError());
  set_last_error(error);
  return error;
}

}  // namespace qma::platform::win32
