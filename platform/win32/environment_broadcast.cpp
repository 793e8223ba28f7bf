// Announcing a changed machine environment to every top-level window (Windows backend).
//
// This folder is the only place that may include OS headers. Nothing here logs.
#include "platform/environment_broadcast.h"

#include "platform/error.h"
#include "platform/win32/wide.h"

namespace qma::platform {

Status announce_environment(const EnvironmentVariables& /*variables*/, uint32_t timeout_ms) {
  // The values are already in the machine environment key; the service manager and
  // Explorer read it again when told that "Environment" changed.
  DWORD_PTR answer = 0;
  const LRESULT sent = ::SendMessageTimeoutW(HWND_BROADCAST, WM_SETTINGCHANGE, 0,
                                             reinterpret_cast<LPARAM>(L"Environment"),
                                             SMTO_ABORTIFHUNG, timeout_ms, &answer);
  if (sent == 0) {
    int error = win32::record_last_error();
    // A broadcast that ran out of time may leave no error of its own.
    if (error == 0) {
      error = kErrorTimeout;
      set_last_error(error);
    }
    return Status::failure(error);
  }
  return Status::success();
}

}  // namespace qma::platform
