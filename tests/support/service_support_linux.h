// Processes of services in a test's roots on Linux: reading a recorded id, whether it runs,
// reaping, and killing every supervisor and service a test left running in its state folder.
#pragma once

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "support/service_support.h"
#include "support/temp_roots.h"

namespace qma::test {

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

}  // namespace qma::test
