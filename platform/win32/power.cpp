// Reboot and power-off through ExitWindowsEx, or their record under a test host root (Windows
// backend).
//
// This folder is the only place that may include OS headers. Nothing here logs.
#include "platform/power.h"

#include <mutex>
#include <string>
#include <utility>

#include "platform/environment.h"
#include "platform/error.h"
#include "platform/file.h"
#include "platform/win32/handle.h"
#include "platform/win32/wide.h"

namespace qma::platform {

namespace {

using win32::Handle;

/// The token and privilege the three steps hand on to each other. The action control
/// table lets one power command run at a time; the lock keeps the record whole anyway.
struct PrivilegeSteps {
  std::mutex mutex;
  Handle token;
  LUID shutdown{};
  bool looked_up = false;
};

PrivilegeSteps& steps() {
  static auto* instance = new PrivilegeSteps;
  return *instance;
}

Status fail(int error) {
  set_last_error(error);
  return Status::failure(error);
}

Status fail_last() {
  return Status::failure(win32::record_last_error());
}

/// Appends the request to run\qmagent-power under the host root, as the Linux backend does.
Status record_request(PowerAction action) {
  const std::string folder = host_path("run");
  if (!::CreateDirectoryW(win32::widen(folder).c_str(), nullptr) &&
      ::GetLastError() != ERROR_ALREADY_EXISTS) {
    return fail_last();
  }
  Handle file(::CreateFileW(win32::widen(host_path("run\\qmagent-power")).c_str(), FILE_APPEND_DATA,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr));
  if (file.get() == nullptr) return fail_last();
  const std::string line = action == PowerAction::kReboot ? "reboot\n" : "shutdown\n";
  DWORD written = 0;
  if (!::WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr)) {
    return fail_last();
  }
  if (written != line.size()) return fail(ERROR_WRITE_FAULT);
  return Status::success();
}

}  // namespace

Status open_process_token() {
  HANDLE token = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) {
    return fail_last();
  }
  PrivilegeSteps& state = steps();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.token = Handle(token);
  return Status::success();
}

Status lookup_shutdown_privilege() {
  LUID shutdown{};
  if (!::LookupPrivilegeValueW(nullptr, SE_SHUTDOWN_NAME, &shutdown)) return fail_last();
  PrivilegeSteps& state = steps();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.shutdown = shutdown;
  state.looked_up = true;
  return Status::success();
}

Status enable_shutdown_privilege() {
  PrivilegeSteps& state = steps();
  std::lock_guard<std::mutex> lock(state.mutex);
  if (state.token.get() == nullptr || !state.looked_up) return fail(ERROR_INVALID_HANDLE);
  TOKEN_PRIVILEGES wanted{};
  wanted.PrivilegeCount = 1;
  wanted.Privileges[0].Luid = state.shutdown;
  wanted.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  TOKEN_PRIVILEGES previous{};
  DWORD previous_size = sizeof previous;
  // A token without the privilege still answers TRUE (ERROR_NOT_ALL_ASSIGNED); the
  // system then refuses the request itself, and that refusal is what gets reported.
  if (!::AdjustTokenPrivileges(state.token.get(), FALSE, &wanted, sizeof previous, &previous,
                               &previous_size)) {
    return fail_last();
  }
  return Status::success();
}

Status request_power_action(PowerAction action) {
  // Under a test host root nothing may go down: the request is only written down.
  if (!host_is_real()) return record_request(action);
  const UINT flags =
      (action == PowerAction::kReboot ? EWX_REBOOT : EWX_SHUTDOWN) | static_cast<UINT>(EWX_FORCE);
  if (!::ExitWindowsEx(flags, 0)) return fail_last();
  return Status::success();
}

}  // namespace qma::platform
