// Restarting or powering off the host, and the privilege it takes.
#pragma once

#include "platform/result.h"

namespace qma::platform {

enum class PowerAction { kReboot, kShutdown };

/// The three steps of taking the shutdown privilege: open the process's own
/// token, look the privilege up, enable it. On Linux the first two always
/// succeed; enabling succeeds when the process holds CAP_SYS_BOOT, or when the
/// host root is a test root (where nothing really happens). On Windows: OpenProcessToken,
/// LookupPrivilegeValue of SeShutdownPrivilege and AdjustTokenPrivileges, always.
[[nodiscard]] Status open_process_token();
[[nodiscard]] Status lookup_shutdown_privilege();
[[nodiscard]] Status enable_shutdown_privilege();

/// Starts a forced reboot or power-off in the background and returns at once.
/// On Linux: `systemctl reboot`/`systemctl poweroff` when systemd runs the host,
/// else `shutdown -r now`/`shutdown -h now`. When the host root is not "/", the
/// request is only appended ("reboot" or "shutdown", one line) to
/// $QMA_HOST_ROOT/run/qmagent-power. On Windows: ExitWindowsEx with EWX_REBOOT or
/// EWX_SHUTDOWN plus EWX_FORCE; the record replaces it under any host root but the
/// system drive's root.
[[nodiscard]] Status request_power_action(PowerAction action);

}  // namespace qma::platform
