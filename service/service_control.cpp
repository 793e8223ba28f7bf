// QMAgent's command line: help text, install, remove, start, stop, and the dispatcher call.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>

#include "platform/clock.h"
#include "platform/environment.h"
#include "platform/error.h"
#include "platform/file.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "service/qma_service.h"

namespace {

constexpr const char* kSrc = "QMAService";
constexpr size_t kPathMax = 260;
// The pause between two status queries of the start and stop loops.
constexpr uint32_t kPollIntervalMs = 1000;

int g_QmaPkgMode = 0;
char g_display_name[32] = {};
// Console text is for a person at a console. A service has none: its standard output is
// the service manager's log, which should not collect the help text on every start or
// the stop routine's progress on every stop.
bool g_console_output = true;

void console(const char* format, ...) {
  if (!g_console_output) return;
  va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
  std::fflush(stdout);
}

using qma::platform::Service;
using qma::platform::ServiceManager;

/// LC_ALL, LC_MESSAGES or LANG from a KEY=value file (first set wins); empty when none.
std::string language_from_file(const std::string& path) {
  std::ifstream in(path);
  if (!in) return {};
  std::string values[3];
  const char* names[3] = {"LC_ALL", "LC_MESSAGES", "LANG"};
  std::string line;
  while (std::getline(in, line)) {
    size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos || line[start] == '#') continue;
    size_t eq = line.find('=', start);
    if (eq == std::string::npos) continue;
    std::string key = line.substr(start, eq - start);
    std::string value = line.substr(eq + 1);
    while (!value.empty() && (value.back() == '\r' || value.back() == ' ')) value.pop_back();
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
      value = value.substr(1, value.size() - 2);
    }
    for (int i = 0; i < 3; ++i) {
      if (key == names[i]) values[i] = value;
    }
  }
  for (const auto& value : values) {
    if (!value.empty()) return value;
  }
  return {};
}

/// The machine environment key that the service copies Path and AXIS2C_HOME from at start.
constexpr const char* kMachineEnvironmentKey =
    "SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment";
/// The search path recorded when the installer runs without one.
constexpr const char* kDefaultSearchPath =
    "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";

/// Records Path and AXIS2C_HOME in the machine environment key from the installer's own
/// environment where the key lacks them: the service refuses to start without both, and
/// values an administrator already set are kept.
void record_machine_environment(const char* func) {
  qma::platform::RegistryKey key;
  int error = qma::platform::reg_create_key(kMachineEnvironmentKey, key);
  if (error != 0) {
    QMA_SrvLogError(func, kSrc, __LINE__, "RegCreateKeyEx() error! GetLastError=[%d]", error);
    return;
  }
  struct Entry {
    const char* registry_name;
    const char* process_name;
    uint32_t type;
  };
  const Entry entries[] = {{"Path", "PATH", qma::platform::kRegExpandSz},
                           {"AXIS2C_HOME", "AXIS2C_HOME", qma::platform::kRegSz}};
  for (const auto& entry : entries) {
    uint32_t size = 0;
    error = qma::platform::reg_query_value(key, entry.registry_name, nullptr, nullptr, &size);
    if (error == 0) continue;
    if (error != qma::platform::kErrorFileNotFound) {
      QMA_SrvLogError(func, kSrc, __LINE__, "RegQueryValueEx(%s) error! GetLastError=[%d]",
                      entry.registry_name, error);
      continue;
    }
    auto value = qma::platform::get_env(entry.process_name);
    if (!value && std::strcmp(entry.process_name, "PATH") == 0) value = kDefaultSearchPath;
    if (!value) {
      QMA_SrvLogWarning(func, kSrc, __LINE__, "getenv %s error! %s is not recorded.",
                        entry.process_name, entry.registry_name);
      continue;
    }
    error = qma::platform::reg_set_value(key, entry.registry_name, entry.type, value->c_str(),
                                         static_cast<uint32_t>(value->size() + 1));
    if (error != 0) {
      QMA_SrvLogError(func, kSrc, __LINE__, "RegSetValueEx(%s) error! GetLastError=[%d]",
                      entry.registry_name, error);
      continue;
    }
    QMA_SrvLogInfo(func, kSrc, __LINE__, "Machine environment %s : %s", entry.registry_name,
                   value->c_str());
  }
}

std::unique_ptr<Service> open_service_logged(ServiceManager& manager, const char* func) {
  auto service = manager.open_service(QMA_SERVICE_NAME);
  if (!service) {
    QMA_SrvLogError(func, kSrc, __LINE__, "OpenService() error! GetLastError=[%d]",
                    service.error());
    return nullptr;
  }
  return std::move(service.value());
}

}  // namespace

qma::platform::ServiceStatus g_QMA_ServiceStatus;

namespace qma::service {

bool system_language_is_japanese() {
  std::string language = language_from_file(qma::platform::host_path("etc/locale.conf"));
  if (language.empty())
    language = language_from_file(qma::platform::host_path("etc/default/locale"));
  if (language.empty()) {
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
      auto value = qma::platform::get_env(name);
      if (value && !value->empty()) {
        language = *value;
        break;
      }
    }
  }
  return language.rfind("ja", 0) == 0;
}

const char* display_name() {
  std::memset(g_display_name, 0, sizeof(g_display_name));
  std::strncpy(g_display_name,
               system_language_is_japanese() ? QMA_SERVICE_DISPNAME_JA : QMA_SERVICE_DISPNAME_EN,
               sizeof(g_display_name) - 1);
  return g_display_name;
}

}  // namespace qma::service

void QMA_setQmaPkgMode(int mode) {
  g_QmaPkgMode = mode;
  QMA_LogInfo(__func__, kSrc, __LINE__, "QMA_setQmaPkgMode : %d", mode);
}

int QMA_getQmaPkgMode() {
  return g_QmaPkgMode;
}

void QMA_service_usage(const char* program) {
  std::printf("%s [%s [%s] | %s | %s | %s]\n", program, "-install", "auto", "-remove", "-start",
              "-stop");
  std::printf("%s %s%s\n", "-install", "auto",
              ":Installation of the QMAgent service\xEF\xBC\x88set automatic-start on the next "
              "time\xEF\xBC\x89");
  std::printf("%s%s\n", "-install",
              ":Installation of the QMAgent service\xEF\xBC\x88set manual-start on the next "
              "time\xEF\xBC\x89");
  std::printf("%s%s\n", "-remove", ":Uninstallation of the QMAgent service");
  std::printf("%s%s\n", "-start", ":Start of the QMAgent service");
  std::printf("%s%s\n", "-stop", ":Stop of the QMAgent service");
  std::printf("%s%s\n", ":no parameter appointment", ":The indication of the help");
  std::fflush(stdout);
}

int QMA_service_reg() {
  QMA_SrvLogInfo(__func__, kSrc, __LINE__, "QMA_service_reg() start.");
  auto dispatched = qma::platform::run_service_dispatcher(QMA_SERVICE_NAME, QMA_service_main);
  if (!dispatched) {
    QMA_SrvLogError(__func__, kSrc, __LINE__,
                    "StartServiceCtrlDispatcher() error! GetLastErreoe=[%d]", dispatched.error());
    return 0;
  }
  QMA_SrvLogInfo(__func__, kSrc, __LINE__, "QMA_service_reg() end.");
  return 1;
}

int QMA_service_install(int automatic) {
  QMA_SrvLogInfo(__func__, kSrc, __LINE__, "QMA_service_install() start.");
  auto program = qma::platform::current_program_path();
  if (!program || program->size() > kPathMax - 1) {
    QMA_SrvLogError(__func__, kSrc, __LINE__, "GetModuleFileName() error! GetLastError=[%d]",
                    program ? qma::platform::kErrorInsufficientBuffer : program.error());
    return 0;
  }
  char image_path[kPathMax + 2] = {};
  std::snprintf(image_path, sizeof(image_path), "\"%s\"", program->c_str());

  auto manager = ServiceManager::open();
  if (!manager) {
    QMA_SrvLogError(__func__, kSrc, __LINE__, "OpenSCManager() error! GetLastError=[%d]",
                    manager.error());
    return 0;
  }
  qma::platform::ServiceDefinition definition;
  definition.name = QMA_SERVICE_NAME;
  definition.display_name = qma::service::display_name();
  definition.service_type = qma::platform::kServiceWin32OwnProcess;
  definition.start_type =
      automatic == 1 ? qma::platform::kServiceAutoStart : qma::platform::kServiceDemandStart;
  definition.error_control = qma::platform::kServiceErrorNormal;
  definition.image_path = image_path;
  auto service = manager.value()->create_service(definition);
  if (!service) {
    QMA_SrvLogError(__func__, kSrc, __LINE__, "CreateService() error! GetLastError=[%d]",
                    service.error());
    return 0;
  }

  // Without an installation root the failure command cannot be formed: the
  // service is installed without a failure action.
  if (auto home = qma::platform::get_env("AXIS2C_HOME")) {
    std::string script =
        qma::platform::join_path(qma::platform::join_path(*home, "bin"),
                                 std::string("ServiceReStart") + qma::platform::kScriptExtension);
    if (script.size() > kPathMax - 1) script.resize(kPathMax - 1);
    char command[kPathMax + 2] = {};
    std::snprintf(command, sizeof(command), "\"%s\"", script.c_str());
    (void)service.value()->set_failure_command(command);
  }
  record_machine_environment(__func__);
  QMA_SrvLogInfo(__func__, kSrc, __LINE__, "QMA_service_install() end.");
  return 1;
}

int QMA_service_uninstall() {
  QMA_SrvLogInfo(__func__, kSrc, __LINE__, "QMA_service_uninstall() start.");
  auto manager = ServiceManager::open();
  if (!manager) {
    QMA_SrvLogError(__func__, kSrc, __LINE__, "OpenSCManager() error! GetLastError=[%d]",
                    manager.error());
    return 0;
  }
  auto service = open_service_logged(*manager.value(), __func__);
  if (service == nullptr) return 0;
  auto status = service->query_status();
  if (!status) {
    QMA_SrvLogError(__func__, kSrc, __LINE__, "QueryServiceStatus() error! GetLastError=[%d]",
                    status.error());
    return 0;
  }
  if (status->current_state == qma::platform::kServiceRunning) {
    auto stopped = service->control(qma::platform::kServiceControlStop);
    if (!stopped) {
      QMA_SrvLogWarning(__func__, kSrc, __LINE__, "ControlService() error! GetLastError=[%d]",
                        stopped.error());
    }
  }
  auto removed = service->remove();
  if (!removed) {
    QMA_SrvLogError(__func__, kSrc, __LINE__, "DeleteService() error! GetLastError=[%d]",
                    removed.error());
    return 0;
  }
  QMA_SrvLogInfo(__func__, kSrc, __LINE__, "QMA_service_uninstall() end.");
  return 1;
}

void QMA_service_start() {
  QMA_SrvLogInfo(__func__, kSrc, __LINE__, "QMA_service_start() start.");
  auto manager = ServiceManager::open();
  if (!manager) {
    QMA_SrvLogError(__func__, kSrc, __LINE__, "OpenSCManager() error! GetLastError=[%d]",
                    manager.error());
    return;
  }
  auto service = open_service_logged(*manager.value(), __func__);
  if (service == nullptr) return;
  auto status = service->query_status();
  if (!status) {
    QMA_SrvLogError(__func__, kSrc, __LINE__, "QueryServiceStatus() error! GetLastError=[%d]",
                    status.error());
    return;
  }
  g_QMA_ServiceStatus = status.value();
  if (g_QMA_ServiceStatus.current_state != qma::platform::kServiceStopped) return;

  std::vector<std::string> arguments;
  if (QMA_getQmaPkgMode() == 1) arguments.push_back("-pkgstart");
  auto started = service->start(arguments);
  if (!started) {
    QMA_SrvLogError(__func__, kSrc, __LINE__, "StartService() error! GetLastError=[%d]",
                    started.error());
    std::printf("%s Start failed - %d\n", QMA_SERVICE_NAME, started.error());
    std::fflush(stdout);
    return;
  }
  std::printf("Starting %s.", QMA_SERVICE_NAME);
  std::fflush(stdout);
  qma::platform::sleep_ms(kPollIntervalMs);
  g_QMA_ServiceStatus.current_state = qma::platform::kServiceStartPending;
  int query_error = 0;
  for (;;) {
    auto now = service->query_status();
    if (!now) {
      query_error = now.error();
      break;
    }
    g_QMA_ServiceStatus = now.value();
    if (g_QMA_ServiceStatus.current_state != qma::platform::kServiceStartPending) break;
    std::printf(".");
    std::fflush(stdout);
    qma::platform::sleep_ms(kPollIntervalMs);
  }
  if (query_error != 0) {
    QMA_SrvLogError(__func__, kSrc, __LINE__, "QueryServiceStatus() error! GetLastError=[%d]",
                    query_error);
  } else if (g_QMA_ServiceStatus.current_state == qma::platform::kServiceRunning) {
    std::printf("\n%s started.\n", QMA_SERVICE_NAME);
  } else {
    std::printf("\n%s start failed. CurrentStatus[%d]\n", QMA_SERVICE_NAME,
                static_cast<int>(g_QMA_ServiceStatus.current_state));
  }
  std::fflush(stdout);
  QMA_SrvLogInfo(__func__, kSrc, __LINE__, "QMA_service_start() end.");
}

int QMA_service_stop() {
  QMA_SrvLogInfo(__func__, kSrc, __LINE__, "QMA_service_stop() start.");
  auto manager = ServiceManager::open();
  if (!manager) {
    console("OpenSCManager failed - %d\n", manager.error());
    QMA_SrvLogError(__func__, kSrc, __LINE__, "OpenSCManager() error! GetLastError=[%d]",
                    manager.error());
    return 0;
  }
  auto opened = manager.value()->open_service(QMA_SERVICE_NAME);
  if (!opened) {
    console("OpenService failed - %d\n", opened.error());
    QMA_SrvLogError(__func__, kSrc, __LINE__, "OpenService() error! GetLastError=[%d]",
                    opened.error());
    return 0;
  }
  auto& service = opened.value();
  auto stopped = service->control(qma::platform::kServiceControlStop);
  if (!stopped) {
    if (stopped.error() == qma::platform::kErrorServiceNotActive) {
      console("The service is not started. - %d\n", stopped.error());
    }
    console("ControlService(Stop) failed - %d\n", stopped.error());
    QMA_SrvLogError(__func__, kSrc, __LINE__, "ControlService() error! GetLastError=[%d]",
                    stopped.error());
    return 0;
  }
  qma::platform::ServiceStatus last = stopped.value();
  console("Stopping %s.", QMA_SERVICE_NAME);
  for (;;) {
    qma::platform::sleep_ms(kPollIntervalMs);
    auto now = service->query_status();
    if (!now) break;
    last = now.value();
    if (last.current_state != qma::platform::kServiceStopPending) break;
    console(".");
  }
  if (last.current_state == qma::platform::kServiceStopped) {
    console("\n%s stopped.\n", QMA_SERVICE_NAME);
    QMA_SrvLogError(__func__, kSrc, __LINE__, "%s normal end.", QMA_SERVICE_NAME);
  } else {
    console("\n%s failed to stop.\n", QMA_SERVICE_NAME);
    QMA_SrvLogError(__func__, kSrc, __LINE__, "%s abnormal end.", QMA_SERVICE_NAME);
  }
  QMA_SrvLogInfo(__func__, kSrc, __LINE__, "QMA_service_stop() end.");
  return 1;
}

int QMA_main(int argc, char** argv) {
  const char* program = argc > 0 ? argv[0] : "QMAgent";
  if (argc <= 1) {
    if (qma::platform::started_as_service()) {
      g_console_output = false;
    } else {
      QMA_service_usage(program);
    }
    QMA_service_reg();
    // A service that stopped as a failure ends the process with a code its manager
    // counts as a failure (1 is every ordinary end), so the failure command runs.
    if (g_QMA_ServiceStatus.current_state == qma::platform::kServiceStopped &&
        g_QMA_ServiceStatus.win32_exit_code != 0) {
      return 2;
    }
  } else if (argc == 2) {
    std::string option = argv[1];
    if (option == "-start") {
      QMA_service_start();
    } else if (option == "-pkgstart") {
      QMA_setQmaPkgMode(1);
      QMA_service_start();
    } else if (option == "-stop") {
      QMA_service_stop();
    } else if (option == "-install") {
      QMA_service_install(0);
    } else if (option == "-remove") {
      QMA_service_uninstall();
    } else {
      QMA_service_usage(program);
    }
  } else if (argc == 3 && std::strcmp(argv[1], "-install") == 0 &&
             std::strcmp(argv[2], "auto") == 0) {
    QMA_service_install(1);
  } else {
    QMA_service_usage(program);
  }
  return 1;
}
