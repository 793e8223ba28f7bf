// envpulse: announces the machine environment (Path, AXIS2C_HOME) to the host's service
// manager after an installation changed it, so that services started later see it.
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include "platform/environment.h"
#include "platform/environment_broadcast.h"
#include "platform/registry.h"

namespace {

constexpr const char* kEnvironmentKey =
    "SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment";
constexpr uint32_t kAnnounceTimeLimitMs = 5000;

// Name in the machine environment key, and the variable it becomes on this system.
struct Variable {
  const char* registry_name;
  const char* name;
};
constexpr Variable kVariables[] = {{"Path", "PATH"}, {"AXIS2C_HOME", "AXIS2C_HOME"}};

/// A string value of the machine environment key as stored, nullopt when it is absent or
/// not a string.
std::optional<qma::platform::RegistryValue> string_value(const qma::platform::RegistryKey& key,
                                                         std::string_view name) {
  qma::platform::RegistryValue value;
  if (qma::platform::reg_get_value(key, name, value) != 0) return std::nullopt;
  if (value.type != qma::platform::kRegSz && value.type != qma::platform::kRegExpandSz) {
    return std::nullopt;
  }
  value.data = value.data.substr(0, value.data.find('\0'));
  return value;
}

/// A value of the machine environment with its own references expanded from this
/// process's environment.
std::optional<std::string> machine_value(const qma::platform::RegistryKey& key,
                                         std::string_view name) {
  auto value = string_value(key, name);
  if (!value) return std::nullopt;
  if (value->type != qma::platform::kRegExpandSz) return value->data;
  return qma::platform::expand_env_references(value->data);
}

qma::platform::EnvironmentVariables machine_environment() {
  qma::platform::EnvironmentVariables variables;
  qma::platform::RegistryKey key;
  if (qma::platform::reg_open_key(kEnvironmentKey, key) != 0) return variables;
  // References are what the machine environment says they are (Path's %AXIS2C_HOME% is
  // the installation root the registry holds, whatever the caller has), and only names
  // it lacks come from the caller's environment.
  auto lookup = [&key](std::string_view name) -> std::optional<std::string> {
    if (auto value = machine_value(key, name)) return value;
    return qma::platform::get_env(name);
  };
  for (const Variable& variable : kVariables) {
    auto value = string_value(key, variable.registry_name);
    if (!value) continue;
    std::string text = value->data;
    if (value->type == qma::platform::kRegExpandSz) {
      text = qma::platform::expand_env_references(text, lookup);
    }
    variables.emplace_back(variable.name, text);
  }
  return variables;
}

}  // namespace

int main() {
  std::fputs("ENVPULSE...\n", stdout);
  std::fflush(stdout);
  auto status = qma::platform::announce_environment(machine_environment(), kAnnounceTimeLimitMs);
  std::fputs(status.ok() ? "\nENVPULSE SUCCESS\n" : "\nENVPULSE ERROR\n", stdout);
  return 0;
}
