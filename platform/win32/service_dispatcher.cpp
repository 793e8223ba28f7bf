// The service's own side: dispatcher, control handler and status reports (Windows backend).
//
// This folder is the only place that may include OS headers. Nothing here logs.
//
// The manager starts a service with the system's environment; the service main first puts
// back the variables the installation recorded in the service's Environment value.
// clang-format off
#include <windows.h>
#include <tlhelp32.h>
// clang-format on

#include <cstdlib>
#include <cwchar>
#include <mutex>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/service_manager.h"
#include "platform/win32/wide.h"

namespace qma::platform {

struct ServiceStatusTarget {
  SERVICE_STATUS_HANDLE handle = nullptr;
  ServiceHandlerFunction handler = nullptr;
  void* context = nullptr;
};

namespace {

std::mutex g_mutex;
ServiceMainFunction g_main = nullptr;
std::wstring g_name;         // the name the dispatcher was given
std::wstring g_system_name;  // the name the manager started the service by
ServiceStatusTarget g_target;

Status fail(int error) {
  set_last_error(error);
  return Status::failure(error);
}

/// Puts the recorded NAME=value strings of the service's Environment value into this
/// process's environment.
void restore_environment(const std::wstring& service_name) {
  std::wstring key = L"SYSTEM\\CurrentControlSet\\Services\\" + service_name;
  HKEY raw = nullptr;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY,
                      &raw) != ERROR_SUCCESS) {
    return;
  }
  DWORD type = 0;
  DWORD size = 0;
  std::vector<wchar_t> list;
  if (::RegQueryValueExW(raw, L"Environment", nullptr, &type, nullptr, &size) == ERROR_SUCCESS &&
      type == REG_MULTI_SZ && size > 0) {
    list.assign(size / sizeof(wchar_t) + 2, L'\0');
    if (::RegQueryValueExW(raw, L"Environment", nullptr, &type,
                           reinterpret_cast<BYTE*>(list.data()), &size) != ERROR_SUCCESS) {
      list.clear();
    }
  }
  ::RegCloseKey(raw);
  for (size_t at = 0; at < list.size() && list[at] != L'\0';) {
    std::wstring entry(list.data() + at);
    at += entry.size() + 1;
    size_t eq = entry.find(L'=');
    if (eq == 0 || eq == std::wstring::npos) continue;
    std::wstring name = entry.substr(0, eq);
    std::wstring value = entry.substr(eq + 1);
    ::SetEnvironmentVariableW(name.c_str(), value.c_str());
    ::_wputenv_s(name.c_str(), value.c_str());
  }
}

void WINAPI service_main_entry(DWORD argc, LPWSTR* argv) {
  ServiceMainFunction main;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    main = g_main;
    if (argc > 0 && argv != nullptr && argv[0] != nullptr) g_system_name = argv[0];
  }
  if (argc > 0 && argv != nullptr && argv[0] != nullptr) restore_environment(argv[0]);
  std::vector<std::string> args;
  for (DWORD i = 0; i < argc; ++i) args.push_back(win32::narrow(argv[i] ? argv[i] : L""));
  std::vector<char*> pointers;
  for (auto& arg : args) pointers.push_back(arg.data());
  pointers.push_back(nullptr);
  if (main != nullptr) main(static_cast<uint32_t>(args.size()), pointers.data());
}

DWORD WINAPI handler_entry(DWORD control, DWORD event_type, LPVOID event_data, LPVOID context) {
  auto* target = static_cast<ServiceStatusTarget*>(context);
  ServiceHandlerFunction handler;
  void* handler_context;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    handler = target->handler;
    handler_context = target->context;
  }
  if (handler == nullptr) return ERROR_CALL_NOT_IMPLEMENTED;
  return handler(control, event_type, event_data, handler_context);
}

/// The file name of a process's image, lower case; empty when it cannot be told.
std::wstring image_name_of(DWORD pid) {
  HANDLE process = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (process == nullptr) return {};
  wchar_t path[MAX_PATH * 2];
  DWORD size = MAX_PATH * 2;
  BOOL known = ::QueryFullProcessImageNameW(process, 0, path, &size);
  ::CloseHandle(process);
  if (!known) return {};
  std::wstring name(path, size);
  size_t slash = name.find_last_of(L"\\/");
  if (slash != std::wstring::npos) name = name.substr(slash + 1);
  for (auto& c : name) c = static_cast<wchar_t>(std::towlower(c));
  return name;
}

}  // namespace

bool started_as_service() {
  // The service manager starts every service process itself.
  HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return false;
  DWORD self = ::GetCurrentProcessId();
  DWORD parent = 0;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = ::Process32FirstW(snapshot, &entry); more;
       more = ::Process32NextW(snapshot, &entry)) {
    if (entry.th32ProcessID == self) {
      parent = entry.th32ParentProcessID;
      break;
    }
  }
  ::CloseHandle(snapshot);
  return parent != 0 && image_name_of(parent) == L"services.exe";
}

Status forget_start_arguments() {
  // The manager gives arguments only to the start that names them.
  return Status::success();
}

Status run_service_dispatcher(std::string_view service_name, ServiceMainFunction main) {
  if (main == nullptr) return fail(ERROR_INVALID_PARAMETER);
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_main != nullptr) return fail(kErrorServiceAlreadyRunning);
    g_main = main;
    g_name = win32::widen(service_name);
  }
  // One own-process service per program: the manager calls the entry whatever name
  // it started the service by.
  SERVICE_TABLE_ENTRYW table[2] = {{g_name.data(), service_main_entry}, {nullptr, nullptr}};
  BOOL dispatched = ::StartServiceCtrlDispatcherW(table);
  int error = dispatched ? 0 : win32::record_last_error();
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_main = nullptr;
  }
  if (!dispatched) return Status::failure(error);
  return Status::success();
}

Result<ServiceStatusHandle> register_service_handler(std::string_view service_name,
                                                     ServiceHandlerFunction handler,
                                                     void* context) {
  std::wstring name;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_main == nullptr) {
      set_last_error(kErrorFailedServiceControllerConnect);
      return Result<ServiceStatusHandle>::failure(kErrorFailedServiceControllerConnect);
    }
    // The dispatcher's name stands for the name the manager started the service by.
    name = win32::widen(service_name);
    if (!g_system_name.empty() && _wcsicmp(name.c_str(), g_name.c_str()) == 0) {
      name = g_system_name;
    }
    g_target.handler = handler;
    g_target.context = context;
  }
  SERVICE_STATUS_HANDLE handle =
      ::RegisterServiceCtrlHandlerExW(name.c_str(), handler_entry, &g_target);
  if (handle == nullptr) {
    int error = win32::record_last_error();
    return Result<ServiceStatusHandle>::failure(error);
  }
  std::lock_guard<std::mutex> lock(g_mutex);
  g_target.handle = handle;
  return &g_target;
}

Status set_service_status(ServiceStatusHandle handle, const ServiceStatus& status) {
  if (handle == nullptr || handle->handle == nullptr) return fail(ERROR_INVALID_HANDLE);
  SERVICE_STATUS record{};
  record.dwServiceType = status.service_type;
  record.dwCurrentState = status.current_state;
  record.dwControlsAccepted = status.controls_accepted;
  record.dwWin32ExitCode = status.win32_exit_code;
  record.dwServiceSpecificExitCode = status.service_specific_exit_code;
  record.dwCheckPoint = status.check_point;
  record.dwWaitHint = status.wait_hint;
  if (!::SetServiceStatus(handle->handle, &record)) {
    return Status::failure(win32::record_last_error());
  }
  return Status::success();
}

}  // namespace qma::platform
