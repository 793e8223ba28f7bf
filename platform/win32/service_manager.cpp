// The system's service control manager: install, start, stop, query and remove (Windows backend).
//
// This folder is the only place that may include OS headers. Nothing here logs.
#include "platform/service_manager.h"

#include <windows.h>

#include <cstdio>
#include <utility>

#include "platform/environment.h"
#include "platform/error.h"
#include "platform/win32/fail.h"
#include "platform/win32/object_name.h"
#include "platform/win32/wide.h"

namespace qma::platform {

namespace {

constexpr int kErrorNotSupported = 50;
/// The variables an installation records for the service, which the service main puts
/// back into its own environment (the manager starts services with the system's).
/// (QMA_REGISTRY_ROOT is set only where a test's key stands in for the hive.)
constexpr const char* kRootVariables[] = {"AXIS2C_HOME", "QMA_STATE_DIR", "QMA_HOST_ROOT",
                                          "QMA_REGISTRY_ROOT"};

using win32::fail;
template <typename T>
Result<T> fail_last() {
  return Result<T>::failure(win32::record_last_error());
}
Status fail_status_last() {
  return Status::failure(win32::record_last_error());
}

/// Owner of a service manager or service handle.
class ScHandle {
 public:
  explicit ScHandle(SC_HANDLE h = nullptr) : h_(h) {}
  ScHandle(ScHandle&& other) noexcept : h_(std::exchange(other.h_, nullptr)) {}
  ScHandle& operator=(ScHandle&&) = delete;
  ~ScHandle() {
    if (h_ != nullptr) ::CloseServiceHandle(h_);
  }
  SC_HANDLE get() const { return h_; }
  explicit operator bool() const { return h_ != nullptr; }

 private:
  SC_HANDLE h_;
};

/// The name the system's manager knows a service by.
std::string system_name(std::string_view name) {
  return win32::state_tagged(name);
}

ServiceStatus from_process_status(const SERVICE_STATUS_PROCESS& s) {
  ServiceStatus status;
  status.service_type = s.dwServiceType;
  status.current_state = s.dwCurrentState;
  status.controls_accepted = s.dwControlsAccepted;
  status.win32_exit_code = s.dwWin32ExitCode;
  status.service_specific_exit_code = s.dwServiceSpecificExitCode;
  status.check_point = s.dwCheckPoint;
  status.wait_hint = s.dwWaitHint;
  return status;
}

/// Writes the recorded root variables as the service's Environment value (a list of
/// NAME=value strings), which the service main reads back.
LSTATUS record_environment(const std::string& name) {
  std::wstring list;
  for (const char* variable : kRootVariables) {
    auto value = get_env(variable);
    if (!value || value->empty()) continue;
    list += win32::widen(std::string(variable) + "=" + *value);
    list.push_back(L'\0');
  }
  std::wstring key = L"SYSTEM\\CurrentControlSet\\Services\\" + win32::widen(name);
  HKEY raw = nullptr;
  LSTATUS opened =
      ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_SET_VALUE | KEY_WOW64_64KEY, &raw);
  if (opened != ERROR_SUCCESS) return opened;
  LSTATUS written;
  if (list.empty()) {
    written = ::RegDeleteValueW(raw, L"Environment");
    if (written == ERROR_FILE_NOT_FOUND) written = ERROR_SUCCESS;
  } else {
    list.push_back(L'\0');
    written = ::RegSetValueExW(raw, L"Environment", 0, REG_MULTI_SZ,
                               reinterpret_cast<const BYTE*>(list.data()),
                               static_cast<DWORD>(list.size() * sizeof(wchar_t)));
  }
  ::RegCloseKey(raw);
  return written;
}

class WinService final : public Service {
 public:
  explicit WinService(ScHandle handle) : handle_(std::move(handle)) {}

  Result<ServiceStatus> query_status() override {
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!::QueryServiceStatusEx(handle_.get(), SC_STATUS_PROCESS_INFO,
                                reinterpret_cast<BYTE*>(&status), sizeof status, &needed)) {
      return fail_last<ServiceStatus>();
    }
    return from_process_status(status);
  }

  Status start(const std::vector<std::string>& arguments) override {
    std::vector<std::wstring> wide;
    for (const auto& argument : arguments) wide.push_back(win32::widen(argument));
    std::vector<LPCWSTR> pointers;
    for (const auto& argument : wide) pointers.push_back(argument.c_str());
    if (!::StartServiceW(handle_.get(), static_cast<DWORD>(pointers.size()),
                         pointers.empty() ? nullptr : pointers.data())) {
      return fail_status_last();
    }
    return Status::success();
  }

  Result<ServiceStatus> control(uint32_t control) override {
    SERVICE_STATUS status{};
    if (!::ControlService(handle_.get(), control, &status)) return fail_last<ServiceStatus>();
    ServiceStatus result;
    result.service_type = status.dwServiceType;
    result.current_state = status.dwCurrentState;
    result.controls_accepted = status.dwControlsAccepted;
    result.win32_exit_code = status.dwWin32ExitCode;
    result.service_specific_exit_code = status.dwServiceSpecificExitCode;
    result.check_point = status.dwCheckPoint;
    result.wait_hint = status.dwWaitHint;
    return result;
  }

  Status set_failure_command(std::string_view command_line) override {
    FailureActionRecord record = failure_action_record(command_line);
    std::wstring reboot = win32::widen(record.reboot_message);
    std::wstring command = win32::widen(record.command);
    std::vector<SC_ACTION> actions;
    for (const auto& action : record.actions) {
      actions.push_back({static_cast<SC_ACTION_TYPE>(action.type), action.delay_ms});
    }
    SERVICE_FAILURE_ACTIONSW config{};
    config.dwResetPeriod = record.reset_period_s;
    config.lpRebootMsg = reboot.data();
    config.lpCommand = command.data();
    config.cActions = static_cast<DWORD>(actions.size());
    config.lpsaActions = actions.data();
    if (!::ChangeServiceConfig2W(handle_.get(), SERVICE_CONFIG_FAILURE_ACTIONS, &config)) {
      return fail_status_last();
    }
    return Status::success();
  }

  Status remove() override {
    if (!::DeleteService(handle_.get())) return fail_status_last();
    return Status::success();
  }

  Result<ServiceDefinition> definition() override {
    DWORD needed = 0;
    ::QueryServiceConfigW(handle_.get(), nullptr, 0, &needed);
    if (needed == 0) return fail_last<ServiceDefinition>();
    std::vector<unsigned char> buffer(needed);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    if (!::QueryServiceConfigW(handle_.get(), config, needed, &needed)) {
      return fail_last<ServiceDefinition>();
    }
    ServiceDefinition definition;
    definition.service_type = config->dwServiceType;
    definition.start_type = config->dwStartType;
    definition.error_control = config->dwErrorControl;
    if (config->lpBinaryPathName) definition.image_path = win32::narrow(config->lpBinaryPathName);
    if (config->lpDisplayName) definition.display_name = win32::narrow(config->lpDisplayName);
    definition.name = name_;
    needed = 0;
    ::QueryServiceConfig2W(handle_.get(), SERVICE_CONFIG_FAILURE_ACTIONS, nullptr, 0, &needed);
    if (needed != 0) {
      std::vector<unsigned char> actions(needed);
      if (::QueryServiceConfig2W(handle_.get(), SERVICE_CONFIG_FAILURE_ACTIONS, actions.data(),
                                 needed, &needed)) {
        auto* failure = reinterpret_cast<SERVICE_FAILURE_ACTIONSW*>(actions.data());
        if (failure->lpCommand) definition.failure_command = win32::narrow(failure->lpCommand);
      }
    }
    return definition;
  }

  /// The name the manager knows the service by.
  void set_name(std::string name) { name_ = std::move(name); }

 private:
  ScHandle handle_;
  std::string name_;
};

class WinServiceManager final : public ServiceManager {
 public:
  explicit WinServiceManager(ScHandle manager) : manager_(std::move(manager)) {}

  std::string_view backend_name() const override { return "scm"; }

  Result<std::unique_ptr<Service>> create_service(const ServiceDefinition& definition) override {
    std::string name = system_name(definition.name);
    std::wstring wide_name = win32::widen(name);
    // Display names are unique too: agents of different state folders carry the tag there.
    std::wstring display =
        definition.display_name.empty() ? L"" : win32::widen(system_name(definition.display_name));
    std::wstring image = win32::widen(definition.image_path);
    static const wchar_t kNoDependencies[2] = {L'\0', L'\0'};
    // No load order group, no tag, the LocalSystem account without a password.
    SC_HANDLE raw =
        ::CreateServiceW(manager_.get(), wide_name.c_str(),
                         display.empty() ? wide_name.c_str() : display.c_str(), SERVICE_ALL_ACCESS,
                         definition.service_type, definition.start_type, definition.error_control,
                         image.c_str(), nullptr, nullptr, kNoDependencies, nullptr, nullptr);
    if (raw == nullptr) return fail_last<std::unique_ptr<Service>>();
    auto service = std::make_unique<WinService>(ScHandle(raw));
    service->set_name(name);
    if (LSTATUS recorded = record_environment(name); recorded != ERROR_SUCCESS) {
      // A service that would start without its folders is no installation.
      (void)service->remove();
      return fail<std::unique_ptr<Service>>(static_cast<int>(recorded));
    }
    if (!definition.failure_command.empty()) {
      (void)service->set_failure_command(definition.failure_command);
    }
    return std::unique_ptr<Service>(std::move(service));
  }

  Result<std::unique_ptr<Service>> open_service(std::string_view name) override {
    std::string full = system_name(name);
    SC_HANDLE raw = ::OpenServiceW(manager_.get(), win32::widen(full).c_str(), SERVICE_ALL_ACCESS);
    if (raw == nullptr) return fail_last<std::unique_ptr<Service>>();
    auto service = std::make_unique<WinService>(ScHandle(raw));
    service->set_name(full);
    return std::unique_ptr<Service>(std::move(service));
  }

 private:
  ScHandle manager_;
};

}  // namespace

Result<std::unique_ptr<ServiceManager>> ServiceManager::open() {
  SC_HANDLE raw = ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (raw == nullptr) return fail_last<std::unique_ptr<ServiceManager>>();
  return std::unique_ptr<ServiceManager>(std::make_unique<WinServiceManager>(ScHandle(raw)));
}

Result<std::string> current_program_path() {
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    DWORD length = ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) return fail_last<std::string>();
    if (length < buffer.size()) {
      buffer.resize(length);
      return win32::narrow(buffer);
    }
    if (buffer.size() >= 32768) return fail<std::string>(ERROR_INSUFFICIENT_BUFFER);
    buffer.resize(buffer.size() * 2);
  }
}

int service_host_main(int, char**) {
  // The system's own manager supervises services; there is nothing to host.
  std::fputs("No service host on this system: services run under the system's manager.\n", stderr);
  set_last_error(kErrorNotSupported);
  return 1;
}

}  // namespace qma::platform
