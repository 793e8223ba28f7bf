// Pieces shared by the service manager backends on POSIX. May include OS headers; only
// platform/posix/ includes this file.
#pragma once

#include <sys/types.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/error.h"
#include "platform/service_manager.h"

namespace qma::platform::svc {

/// Environment variables through which a manager tells the service process who it is.
inline constexpr const char* kEnvServiceName = "QMA_SCM_SERVICE";
inline constexpr const char* kEnvBackend = "QMA_SCM_BACKEND";
inline constexpr const char* kEnvDatabase = "QMA_SCM_DB";
inline constexpr const char* kEnvStartArgs = "QMA_SCM_START_ARGS";

/// The root variables a service definition records.
inline constexpr const char* kRootVariables[] = {"AXIS2C_HOME", "QMA_STATE_DIR", "QMA_HOST_ROOT"};

/// Sets the thread's last error and returns it as a failed result.
template <typename T>
Result<T> fail_with(int error) {
  set_last_error(error);
  return Result<T>::failure(error);
}
/// Sets the thread's last error and returns it as a failed status.
inline Status status_fail(int error) {
  set_last_error(error);
  return Status::failure(error);
}

std::unique_ptr<ServiceManager> make_standalone_manager();
std::unique_ptr<ServiceManager> make_systemd_manager();

/// True when the services of this host go to systemd: QMA_SCM=systemd, or systemd runs
/// the host (/run/systemd/system is a folder) and QMA_SCM is not "standalone".
bool systemd_chosen();
/// The environment file that hands a systemd service its start arguments.
std::string systemd_start_arguments_path(std::string_view service_name);
/// True with QMA_SYSTEMD_SCOPE=user: the calling user's manager (systemctl --user).
bool systemd_user_scope();
/// The words of a systemctl command for the chosen scope: "systemctl", then "--user"
/// when the scope is the user's, then the arguments.
std::vector<std::string> systemctl_words(std::vector<std::string> args);

/// "a b" -> key=value lines and back; values may hold any byte but a line break.
std::map<std::string, std::string> parse_key_values(std::string_view text);
std::string format_key_values(const std::map<std::string, std::string>& values);

std::string format_status(const ServiceStatus& status);
std::optional<ServiceStatus> parse_status(std::string_view text);

/// Reads a whole file; nullopt when it cannot be read.
std::optional<std::string> read_whole(const std::string& path);
/// Writes a whole file through a temporary file and a rename; false on failure (errno set).
bool write_whole(const std::string& path, std::string_view content);

/// argv/envp arrays for exec, built before a fork so the child allocates nothing.
class ExecArrays {
 public:
  ExecArrays(const std::vector<std::string>& argv, const std::vector<std::string>& envp);
  char* const* argv() const { return argv_.data(); }
  char* const* envp() const { return envp_.data(); }

 private:
  std::vector<std::string> argv_strings_, envp_strings_;
  std::vector<char*> argv_, envp_;
};

/// The process environment with some variables set (empty value: removed).
std::vector<std::string> environment_with(const std::map<std::string, std::string>& changes);

/// Runs a program found through PATH with arguments, waits, and returns its exit
/// status (-1 when it could not run) with its standard output.
int run_and_capture(const std::vector<std::string>& argv, std::string* output);

/// Runs a failure command line: split by the Windows rules; a ".sh" program runs
/// with /bin/sh. Waits for it and returns its exit status (-1 when it could not run).
int run_failure_command(const std::string& command_line, const std::vector<std::string>& envp);

/// Binds (listen) or connects a Unix stream socket to a path of any length: a path
/// longer than a socket address holds is reached through a descriptor of its
/// folder (/proc/self/fd/N/NAME), so only the pipe's own path has a length limit.
/// 0 or an errno value.
int bind_unix_socket(int fd, const std::string& path);
int connect_unix_socket(int fd, const std::string& path);

/// Start time of a process (field 22 of /proc/PID/stat), 0 when it does not exist.
unsigned long long process_start_time(pid_t pid);

}  // namespace qma::platform::svc
