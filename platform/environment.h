// Process environment and the two roots that keep tests away from the real host.
#pragma once

#include <cerrno>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/result.h"

namespace qma::platform {

std::optional<std::string> get_env(std::string_view name);
/// The variable's value when it is set and not empty: an empty AXIS2C_HOME names no folder,
/// and paths built on it would be relative to the working folder.
std::optional<std::string> get_nonempty_env(std::string_view name);
/// Sets a variable in the process environment (seen by later library loads and children).
[[nodiscard]] Status set_env(std::string_view name, std::string_view value);
/// Removes a variable from the process environment; removing an absent one succeeds.
[[nodiscard]] Status unset_env(std::string_view name);
/// The error of set_env and unset_env for a name they refuse (empty, or with '=' or a zero
/// byte): ERROR_INVALID_PARAMETER (87) on Windows, EINVAL elsewhere.
#ifdef _WIN32
inline constexpr int kErrorEnvNameRefused = 87;
#else
inline constexpr int kErrorEnvNameRefused = EINVAL;
#endif
/// Replaces %NAME% references by the variables' values; unknown names stay as written.
std::string expand_env_references(std::string_view text);
/// The same with the values that `lookup` gives (nullopt: unknown).
std::string expand_env_references(
    std::string_view text,
    const std::function<std::optional<std::string>(std::string_view name)>& lookup);

/// $QMA_STATE_DIR, default /var/lib/qmagent: registry file, service database,
/// pipe sockets, named mutexes.
std::string state_dir();
/// $QMA_HOST_ROOT, default /: prefix of host facts read from files.
std::string host_root();
/// host_root() joined with a relative path such as "etc/os-release".
std::string host_path(std::string_view relative);
/// True when the host root is the real root, so power actions really happen.
bool host_is_real();

}  // namespace qma::platform
