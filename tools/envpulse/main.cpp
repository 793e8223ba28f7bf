// envpulse: announces the machine environment (Path, AXIS2C_HOME) to the host's service
// manager after an installation changed it, so that services started later see it.
#include <cstdio>
#include <string>

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

qma::platform::EnvironmentVariables machine_environment() {
  qma::platform::EnvironmentVariables variables;
  qma::platform::RegistryKey key;
  if (qma::platform::reg_open_key(kEnvironmentKey, key) != 0) return variables;
  for (const Variable& variable : kVariables) {
    qma::platform::RegistryValue value;
    if (qma::platform::reg_get_value(key, variable.registry_name, value) != 0) continue;
    if (value.type != qma::platform::kRegSz && value.type != qma::platform::kRegExpandSz) continue;
    std::string text = value.data.substr(0, value.data.find('\0'));
    if (value.type == qma::platform::kRegExpandSz) {
      text = qma::platform::expand_env_references(text);
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
