// Announcing a changed machine environment through systemd (POSIX backend).
//
// This folder is the only place that may include OS headers. Nothing here logs.
#include "platform/environment_broadcast.h"

#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

#include "platform/command_line.h"
#include "platform/environment.h"
#include "platform/error.h"
#include "platform/posix/service_manager_internal.h"
#include "platform/process.h"

namespace qma::platform {

namespace {

/// The first executable `name` in PATH, or "" when there is none.
std::string find_in_path(const std::string& name) {
  std::string path = get_env("PATH").value_or("/usr/bin:/bin");
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find(':', start);
    if (end == std::string::npos) end = path.size();
    std::string folder = path.substr(start, end - start);
    std::string candidate = (folder.empty() ? std::string(".") : folder) + "/" + name;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return {};
}

Status fail(int error) {
  set_last_error(error);
  return Status::failure(error);
}

}  // namespace

Status announce_environment(const EnvironmentVariables& variables, uint32_t timeout_ms) {
  // The manager and its scope are the ones the agent's service is installed with.
  if (!svc::systemd_chosen()) return fail(kErrorFailedServiceControllerConnect);
  std::string systemctl = find_in_path("systemctl");
  if (systemctl.empty()) return fail(kErrorFailedServiceControllerConnect);
  if (variables.empty()) return Status::success();
  std::vector<std::string> arguments{"set-environment"};
  for (const auto& [name, value] : variables) arguments.push_back(name + "=" + value);
  std::string command_line;
  for (const std::string& word : svc::systemctl_words(std::move(arguments))) {
    command_line += (command_line.empty() ? "" : " ") + quote_argument(word);
  }
  auto process = Process::spawn(systemctl, command_line, "/");
  if (!process.ok()) return fail(process.error());
  WaitStatus waited = process->wait(timeout_ms);
  if (waited == WaitStatus::kTimeout) {
    (void)process->kill_tree();
    (void)process->wait(kInfinite);
    return fail(kErrorTimeout);
  }
  if (waited != WaitStatus::kSignaled) return fail(last_error());
  uint32_t code = process->exit_code();
  if (code != 0) return fail(static_cast<int>(code));
  return Status::success();
}

}  // namespace qma::platform
