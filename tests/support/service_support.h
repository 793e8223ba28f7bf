// Services in a test's roots: waiting for a condition, a service's state and definition, the
// machine environment an installation records, and killing every supervisor and service a
// test left running in its state folder.
#pragma once

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>

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

inline pid_t read_pid(const std::filesystem::path& file) {
  std::ifstream in(file);
  long pid = 0;
  in >> pid;
  return static_cast<pid_t>(pid);
}

inline bool process_alive(pid_t pid) {
  if (pid <= 0) return false;
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return false;
  auto close = line.rfind(')');
  return close != std::string::npos && close + 2 < line.size() && line[close + 2] != 'Z';
}

/// Makes this test process the reaper of the supervisors it starts (they detach from
/// their starter), so none stays behind as a zombie where the init process does not reap.
inline void adopt_orphans() {
  ::prctl(PR_SET_CHILD_SUBREAPER, 1);
}

/// Collects every ended child of this process.
inline void reap_children() {
  while (::waitpid(-1, nullptr, WNOHANG) > 0) {
  }
}

/// Kills whatever still runs for any service of this state folder; waits until gone.
inline void kill_services(const TempRoots& roots) {
  std::error_code ec;
  auto scm = roots.state() / "scm";
  if (!std::filesystem::exists(scm, ec)) return;
  for (const auto& entry : std::filesystem::directory_iterator(scm, ec)) {
    for (const char* file : {"host.pid", "service.pid"}) {
      pid_t pid = read_pid(entry.path() / file);
      if (process_alive(pid)) {
        ::kill(pid, SIGKILL);
        wait_until([pid] { return !process_alive(pid); }, 5000);
      }
    }
  }
  reap_children();
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
