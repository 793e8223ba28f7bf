// Announcing a changed machine environment to the service manager of the host.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform/error.h"
#include "platform/result.h"

namespace qma::platform {

using EnvironmentVariables = std::vector<std::pair<std::string, std::string>>;

/// Hands the variables to the host's service manager, so that the services it
/// starts from now on see them, and waits at most timeout_ms for it.
/// On Linux: `systemctl set-environment NAME=VALUE...` (systemctl found through
/// PATH) when systemd runs the host, chosen as ServiceManager::open chooses it and
/// in the same scope (`systemctl --user` with QMA_SYSTEMD_SCOPE=user);
/// without systemd it fails with kErrorFailedServiceControllerConnect, a run past
/// the limit is killed and fails with kErrorTimeout, and a refusal by systemctl
/// fails with its exit status. With no variables only the manager's presence is checked.
/// On Windows: the variables are already in the machine environment key, so only
/// WM_SETTINGCHANGE "Environment" is broadcast (SendMessageTimeout, SMTO_ABORTIFHUNG);
/// a broadcast past the limit fails with kErrorTimeout.
[[nodiscard]] Status announce_environment(const EnvironmentVariables& variables,
                                          uint32_t timeout_ms);

}  // namespace qma::platform
