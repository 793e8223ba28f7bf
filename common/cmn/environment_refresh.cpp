// The process environment: putting one variable, and refreshing Path and AXIS2C_HOME from the
// machine environment so that a service started before an installation changed them still
// finds its files and libraries.
#include <cstdlib>
#include <string_view>

#include "common/cmn/qmcmn.h"
#include "platform/environment.h"

namespace {

// Name in the machine environment key, and the process variable it becomes.
struct RefreshedName {
  const char* registry_name;
  const char* process_name;
};
// On Linux the search path is PATH; the installation root keeps its name.
constexpr RefreshedName kRefreshedNames[] = {{"Path", "PATH"}, {"AXIS2C_HOME", "AXIS2C_HOME"}};

}  // namespace

int QMCmnPutEnv(const char* name, size_t name_len, const char* value, size_t value_len) {
  if (name == nullptr || value == nullptr) return -1;
  const size_t total = name_len + value_len + 2;
  char* text = static_cast<char*>(std::malloc(total));
  if (text == nullptr) return -1;
  // "name=value", built within the allocation.
  QMCmnStrnCpy(text, name, name_len + 1);
  const size_t name_part = QMCmnStrnLen(text, total);
  QMCmnStrnCat(text, "=", total);
  QMCmnStrnCat(text, value, total);
  const std::string_view entry(text, QMCmnStrnLen(text, total));
  const auto status =
      qma::platform::set_env(entry.substr(0, name_part), entry.substr(name_part + 1));
  std::free(text);
  return status.ok() ? 0 : -1;
}

int QMCmnRefreshEnvironment(void) {
  for (const auto& name : kRefreshedNames) {
    char* value = nullptr;
    uint32_t size = 0;
    if (QMCmnRegGetValue(kQMCmnEnvironmentKey, name.registry_name, nullptr, 0, nullptr, 1, &value,
                         &size) != 0) {
      return -1;
    }
    const size_t value_len = size > 0 ? size - 1 : 0;
    const int put =
        QMCmnPutEnv(name.process_name, QMCmnStrnLen(name.process_name, 64), value, value_len);
    QMCmnFree(value);
    if (put != 0) return -1;
  }
  return 0;
}
