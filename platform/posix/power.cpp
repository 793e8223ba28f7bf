// Reboot and power-off of the host, or their record under a test host root (POSIX backend).
//
// This folder is the only place that may include OS headers. Nothing here logs.
#include "platform/power.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "platform/environment.h"
#include "platform/error.h"
#include "platform/file.h"

extern char** environ;

namespace qma::platform {

namespace {

constexpr int kCapSysBoot = 22;

Status fail(int error) {
  set_last_error(error);
  return Status::failure(error);
}

// True when bit CAP_SYS_BOOT is set in CapEff of /proc/self/status.
bool has_boot_capability() {
  auto status = read_file("/proc/self/status");
  if (!status.ok()) return false;
  const std::string& text = status.value();
  size_t pos = text.find("CapEff:");
  if (pos == std::string::npos) return false;
  unsigned long long mask = std::strtoull(text.c_str() + pos + 7, nullptr, 16);
  return (mask >> kCapSysBoot) & 1u;
}

Status record_request(PowerAction action) {
  std::string folder = host_path("run");
  if (::mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) return fail(errno);
  std::string path = host_path("run/qmagent-power");
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return fail(errno);
  std::string line = action == PowerAction::kReboot ? "reboot\n" : "shutdown\n";
  ssize_t written = ::write(fd, line.data(), line.size());
  int error = errno;
  ::close(fd);
  if (written != static_cast<ssize_t>(line.size())) return fail(written < 0 ? error : EIO);
  return Status::success();
}

}  // namespace

Status open_process_token() {
  return Status::success();
}

Status lookup_shutdown_privilege() {
  return Status::success();
}

Status enable_shutdown_privilege() {
  if (!host_is_real() || has_boot_capability()) return Status::success();
  return fail(kErrorAccessDenied);
}

Status request_power_action(PowerAction action) {
  if (!host_is_real()) return record_request(action);
  bool systemd = ::access("/run/systemd/system", F_OK) == 0;
  const char* reboot_args[] = {"systemctl", "reboot", nullptr};
  const char* poweroff_args[] = {"systemctl", "poweroff", nullptr};
  const char* shutdown_r[] = {"shutdown", "-r", "now", nullptr};
  const char* shutdown_h[] = {"shutdown", "-h", "now", nullptr};
  const char* const* args = action == PowerAction::kReboot ? (systemd ? reboot_args : shutdown_r)
                                                           : (systemd ? poweroff_args : shutdown_h);
  pid_t pid = 0;
  int rc = posix_spawnp(&pid, args[0], nullptr, nullptr, const_cast<char* const*>(args), environ);
  if (rc != 0) return fail(rc);
  // The request runs in the background; its end is collected so no zombie stays.
  std::thread([pid] {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }).detach();
  return Status::success();
}

}  // namespace qma::platform
