// Services in a test's roots: waiting for a condition, a service's state and definition, the
// machine environment an installation records, whether a process still runs. Killing what a
// test left running is in service_support_linux.h.
#pragma once

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "platform/process.h"
#include "platform/registry.h"
#include "platform/service_manager.h"
#include "support/temp_roots.h"

namespace qma::test {

/// Polls the condition every 20 ms until it holds or the time is up.
inline bool wait_until(const std::function<bool()>& condition, int timeout_ms = 15000) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (std::chrono::steady_clock::now() < end) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return condition();
}

/// The folder the standalone manager keeps a service in.
inline std::filesystem::path service_folder(const TempRoots& roots, const std::string& name) {
  std::string folder;
  for (unsigned char c : name) {
    c = static_cast<unsigned char>(std::tolower(c));
    if (std::isalnum(c) || c == '.' || c == '_' || c == '-') {
      folder += static_cast<char>(c);
    } else {
      char hex[4];
      std::snprintf(hex, sizeof(hex), "%%%02X", c);
      folder += hex;
    }
  }
  return roots.state() / "scm" / folder;
}

/// True while the process with this id runs (one that has ended, a zombie too, does not).
inline bool process_running(uint32_t pid) {
  auto process = qma::platform::Process::open(pid);
  return process.ok() && process->wait(0) == qma::platform::WaitStatus::kTimeout;
}

/// The machine environment key that the service copies Path and AXIS2C_HOME from at start.
inline constexpr const char* kMachineEnvironmentKey =
    "SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment";

/// Sets one value of the machine environment key; false when the registry refuses.
inline bool set_machine_environment(const char* name, uint32_t type, const std::string& text) {
  qma::platform::RegistryKey key;
  return qma::platform::reg_create_key(kMachineEnvironmentKey, key) == 0 &&
         qma::platform::reg_set_value(key, name, type, text.c_str(),
                                      static_cast<uint32_t>(text.size() + 1)) == 0;
}

/// What an installation records for an agent started without one: this process's PATH
/// as Path and the roots' installation folder as AXIS2C_HOME.
inline bool write_machine_environment(const TempRoots& roots) {
  const char* path = std::getenv("PATH");
  return set_machine_environment("Path", qma::platform::kRegExpandSz,
                                 path != nullptr ? path : "/usr/bin:/bin") &&
         set_machine_environment("AXIS2C_HOME", qma::platform::kRegSz, roots.home().string());
}

/// The service as the service manager knows it; null when it is not installed.
inline std::unique_ptr<qma::platform::Service> open_service(const std::string& name) {
  auto manager = qma::platform::ServiceManager::open();
  if (!manager) return nullptr;
  auto service = manager.value()->open_service(name);
  return service ? std::move(service.value()) : nullptr;
}

/// The service manager's status of a service (state 0 when it cannot be read).
inline uint32_t service_state(const std::string& name) {
  auto service = open_service(name);
  if (!service) return 0;
  auto status = service->query_status();
  return status ? status->current_state : 0;
}

}  // namespace qma::test
