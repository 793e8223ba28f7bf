// Process environment and the state and host roots (Windows backend).
//
// This folder is the only place that may include OS headers. Nothing here logs.
#include "platform/environment.h"

#include <stdlib.h>

#include <string>

#include "platform/error.h"
#include "platform/win32/wide.h"

namespace qma::platform {

namespace {

/// The separators of a Windows path.
bool is_separator(char c) {
  return c == '\\' || c == '/';
}

std::string env_or(std::string_view name, std::string fallback) {
  std::optional<std::string> value = get_nonempty_env(name);
  return value ? *value : fallback;
}

/// The drive Windows was started from, "C:" when it cannot be told.
std::string system_drive() {
  std::optional<std::string> drive = get_nonempty_env("SystemDrive");
  return drive ? *drive : std::string("C:");
}

bool iequals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i];
    char y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

}  // namespace

std::optional<std::string> get_env(std::string_view name) {
  if (name.empty()) return std::nullopt;
  const std::wstring wide_name = win32::widen(name);
  std::wstring value(256, L'\0');
  for (;;) {
    // An empty value and an absent variable both give 0; only the error tells them apart.
    ::SetLastError(ERROR_SUCCESS);
    const DWORD length = ::GetEnvironmentVariableW(wide_name.c_str(), value.data(),
                                                   static_cast<DWORD>(value.size()));
    if (length == 0) {
      if (::GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
      return std::string();
    }
    if (length < value.size()) {
      value.resize(length);
      return win32::narrow(value);
    }
    // Too small: length is the size needed, terminator included.
    value.assign(length, L'\0');
  }
}

std::optional<std::string> get_nonempty_env(std::string_view name) {
  std::optional<std::string> value = get_env(name);
  if (value && value->empty()) return std::nullopt;
  return value;
}

Status set_env(std::string_view name, std::string_view value) {
  if (name.empty() || name.find('=') != std::string_view::npos ||
      name.find('\0') != std::string_view::npos || value.find('\0') != std::string_view::npos) {
    set_last_error(ERROR_INVALID_PARAMETER);
    return Status::failure(ERROR_INVALID_PARAMETER);
  }
  const std::wstring wide_name = win32::widen(name);
  const std::wstring wide_value = win32::widen(value);
  // The C run-time keeps a copy of its own that getenv reads; it is updated first (an empty
  // value removes it there, since that copy cannot hold one), then the process environment,
  // which GetEnvironmentVariable and child processes see, gets the exact value.
  (void)::_wputenv((wide_name + L"=" + wide_value).c_str());
  if (!::SetEnvironmentVariableW(wide_name.c_str(), wide_value.c_str())) {
    return Status::failure(win32::record_last_error());
  }
  return Status::success();
}

Status unset_env(std::string_view name) {
  if (name.empty() || name.find('=') != std::string_view::npos ||
      name.find('\0') != std::string_view::npos) {
    set_last_error(ERROR_INVALID_PARAMETER);
    return Status::failure(ERROR_INVALID_PARAMETER);
  }
  const std::wstring wide_name = win32::widen(name);
  // Both copies, as set_env keeps them: the C run-time's (an empty value removes a variable
  // there) and the process environment's, where a null value removes it.
  (void)::_wputenv_s(wide_name.c_str(), L"");
  if (!::SetEnvironmentVariableW(wide_name.c_str(), nullptr) &&
      ::GetLastError() != ERROR_ENVVAR_NOT_FOUND) {
    return Status::failure(win32::record_last_error());
  }
  return Status::success();
}

std::string state_dir() {
  std::optional<std::string> data = get_nonempty_env("ProgramData");
  return env_or("QMA_STATE_DIR", (data ? *data : system_drive() + "\\ProgramData") + "\\QMAgent");
}

std::string host_root() {
  return env_or("QMA_HOST_ROOT", system_drive() + "\\");
}

std::string host_path(std::string_view relative) {
  std::string root = host_root();
  while (!relative.empty() && is_separator(relative.front())) relative.remove_prefix(1);
  if (root.empty() || !is_separator(root.back())) root.push_back('\\');
  root.append(relative);
  return root;
}

bool host_is_real() {
  std::string_view root = host_root();
  // "/" and "\" (the current drive's root) and the system drive's root, however
  // spelled, are the real host.
  const std::string drive = system_drive();
  if (root.size() >= drive.size() && iequals(root.substr(0, drive.size()), drive)) {
    root.remove_prefix(drive.size());
    if (root.empty()) return true;
  }
  if (root.empty()) return false;
  for (char c : root) {
    if (!is_separator(c)) return false;
  }
  return true;
}

}  // namespace qma::platform
