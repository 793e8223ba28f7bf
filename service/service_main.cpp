// The service main, the configuration read at start (QMA_Initialize), status reports and the
// control handler.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include "common/host/qma_inventory.h"
#include "common/host/qma_system.h"
#include "common/qma_config.h"
#include "common/status/qma_status.h"
#include "platform/environment.h"
#include "platform/error.h"
#include "platform/event.h"
#include "platform/file.h"
#include "service/qma_service.h"
#include "service/qma_service_deps.h"

namespace {

constexpr const char* kSrc = "QMAService";
constexpr size_t kPathMax = 260;
constexpr const char* kConfigKey = "SOFTWARE\\Norvik\\QMAgent\\Config";
constexpr const char* kExConfigKey = "SOFTWARE\\Norvik\\QMAgent\\ExConfig";
constexpr uint32_t kDefaultLogMaxNum = 10000;
// Longer than the worker's own wait for its readers and running requests.
constexpr uint32_t kWorkerStopWaitMs = 6000;

qma::platform::ServiceStatusHandle g_status_handle = nullptr;
QMA_MUTEX_HANDLE g_log_mutex = nullptr;

// The stop event and the worker's end, waited for together as two objects.
qma::platform::Event g_wake(false, false);
std::atomic<bool> g_stop_event{false};
std::atomic<bool> g_worker_ended{false};
qma::platform::Event g_worker_done(true, false);

int move_with_rename(const char* from, const char* to) {
  return qma::platform::move_file(from, to) ? 1 : 0;
}
qma::service::MoveDirectoryFunction g_move_directory = move_with_rename;

/// Copies text into a zeroed buffer of kPathMax bytes, cut to 259 characters.
void set_path(char* buffer, const std::string& text) {
  std::memset(buffer, 0, kPathMax);
  std::strncpy(buffer, text.c_str(), kPathMax - 1);
}

/// Appends the separator (unless already there) and the root name when the
/// directory does not mention the root name anywhere.
void apply_root_suffix(char* directory, const char* root_name) {
  if (std::strstr(directory, root_name) != nullptr) return;
  std::string path = directory;
  if (path.empty() || path.back() != qma::platform::kPathSeparator)
    path += qma::platform::kPathSeparator;
  path += root_name;
  set_path(directory, path);
}

/// Moves the previous directory to the configured one when they differ; when the
/// move fails the previous directory stays in use.
void relocate(char* directory, const char* previous) {
  if (previous[0] == '\0' || directory[0] == '\0' || std::strcmp(previous, directory) == 0) return;
  if (g_move_directory(previous, directory) != 1) set_path(directory, previous);
}

void write_config(const char* key) {
  uint32_t effect = static_cast<uint32_t>(g_QMAConfig.AgentEffect);
  uint32_t max_lines = g_QMAConfig.LogMaxNum;
  QMA_Cmn_SetRegistory(key, "AGENT_EFFECT", QMA_REG_DWORD, &effect, sizeof(effect));
  QMA_Cmn_SetRegistory(key, "LOG_SAVEPATH", QMA_REG_SZ, g_QMAConfig.LogSavePath, kPathMax);
  QMA_Cmn_SetRegistory(key, "LOGMAXNUM", QMA_REG_DWORD, &max_lines, sizeof(max_lines));
  QMA_Cmn_SetRegistory(key, "PKG_SAVEPATH", QMA_REG_SZ, g_QMAConfig.PkgSavePath, kPathMax);
}

void worker_body(int* pkgstart) {
  qma::service::run_worker(pkgstart);
  g_worker_ended = true;
  g_worker_done.set();
  g_wake.set();
}

/// Ends the worker thread: asks it to stop and gives it a moment; a worker that
/// does not end in time is left to end with the process.
void terminate_worker(std::thread& worker) {
  if (!worker.joinable()) return;
  qma::service::request_worker_stop();
  if (g_worker_done.wait(kWorkerStopWaitMs) == qma::platform::WaitStatus::kSignaled) {
    worker.join();
  } else {
    worker.detach();
  }
}

void close_worker(std::thread& worker) {
  if (!worker.joinable()) return;
  if (g_worker_ended) {
    worker.join();
  } else {
    worker.detach();
  }
}

}  // namespace

namespace qma::service {
void set_move_directory(MoveDirectoryFunction move) {
  g_move_directory = move ? move : move_with_rename;
}
MoveDirectoryFunction move_directory() {
  return g_move_directory;
}
}  // namespace qma::service

int QMA_Initialize() {
  QMA_SrvLogInfo(__func__, kSrc, __LINE__, "QMA_Initialize() start.");
  char log_default[kPathMax] = {};
  char pkg_default[kPathMax] = {};
  if (auto home = qma::platform::get_env("AXIS2C_HOME")) {
    std::string bin = qma::platform::join_path(*home, "bin");
    set_path(log_default, qma::platform::join_path(bin, "QMA_LOGROOT"));
    set_path(pkg_default, qma::platform::join_path(bin, "QMA_PKGROOT"));
  }
  g_QMAConfig.SystemInfo = nullptr;

  g_QMAConfig.AgentEffect =
      static_cast<int32_t>(QMA_Cmn_GetRegistory_dword(kConfigKey, "AGENT_EFFECT", 1));
  std::memset(g_QMAConfig.LogSavePath, 0, kPathMax);
  QMA_Cmn_GetRegistory_String(kConfigKey, "LOG_SAVEPATH", log_default, g_QMAConfig.LogSavePath,
                              kPathMax);
  g_QMAConfig.LogMaxNum = QMA_Cmn_GetRegistory_dword(kConfigKey, "LOGMAXNUM", kDefaultLogMaxNum);
  if (g_QMAConfig.LogMaxNum < 100 || g_QMAConfig.LogMaxNum > 65535)
    g_QMAConfig.LogMaxNum = kDefaultLogMaxNum;
  std::memset(g_QMAConfig.PkgSavePath, 0, kPathMax);
  QMA_Cmn_GetRegistory_String(kConfigKey, "PKG_SAVEPATH", pkg_default, g_QMAConfig.PkgSavePath,
                              kPathMax);
  g_QMAConfig.ExAgentEffect =
      static_cast<int32_t>(QMA_Cmn_GetRegistory_dword(kExConfigKey, "AGENT_EFFECT", 1));
  std::memset(g_QMAConfig.ExLogSavePath, 0, kPathMax);
  QMA_Cmn_GetRegistory_String(kExConfigKey, "LOG_SAVEPATH", "", g_QMAConfig.ExLogSavePath,
                              kPathMax);
  g_QMAConfig.ExLogMaxNum = static_cast<int32_t>(
      QMA_Cmn_GetRegistory_dword(kExConfigKey, "LOGMAXNUM", kDefaultLogMaxNum));
  std::memset(g_QMAConfig.ExPkgSavePath, 0, kPathMax);
  QMA_Cmn_GetRegistory_String(kExConfigKey, "PKG_SAVEPATH", "", g_QMAConfig.ExPkgSavePath,
                              kPathMax);

  apply_root_suffix(g_QMAConfig.LogSavePath, "QMA_LOGROOT");
  apply_root_suffix(g_QMAConfig.PkgSavePath, "QMA_PKGROOT");

  write_config(kConfigKey);

  relocate(g_QMAConfig.LogSavePath, g_QMAConfig.ExLogSavePath);
  relocate(g_QMAConfig.PkgSavePath, g_QMAConfig.ExPkgSavePath);

  const std::string kept_module = qma::service::module_finished_at_start();
  QMA_Cmn_SweepResultFiles(g_QMAConfig.PkgSavePath,
                           kept_module.empty() ? nullptr : kept_module.c_str());

  write_config(kExConfigKey);

  char version[kPathMax] = {};
  std::string version_file;
  if (auto home = qma::platform::get_env("AXIS2C_HOME")) {
    version_file = qma::platform::join_path(
        qma::platform::join_path(
            qma::platform::join_path(qma::platform::join_path(*home, "bin"), "AgentFolder"),
            "QMAgent"),
        "QMAgent.xml");
  }
  const char* const version_path[] = {"service", "version", ""};
  std::memset(g_QMAConfig.AgentVersion, 0, kPathMax);
  if (qma::service::xml_get_element_value_for_file(QMA_SrvLogError, version_file.c_str(),
                                                   version_path, version,
                                                   static_cast<int>(sizeof(version))) == 1) {
    QMA_SrvLogInfo(__func__, kSrc, __LINE__, "Get Version from QMAgent.xml : %s", version);
    std::snprintf(g_QMAConfig.AgentVersion, kPathMax, "%s", version);
  } else {
    QMA_SrvLogError(__func__, kSrc, __LINE__, "Failed to get Version from QMAgent.xml");
    std::snprintf(g_QMAConfig.AgentVersion, kPathMax, "%s", "3.1");
  }
  QMA_SrvLogInfo(__func__, kSrc, __LINE__, "QMA_Initialize() end.");
  return 1;
}

int QMA_ReportStatus(uint32_t state, uint32_t check_point, uint32_t wait_hint) {
  g_QMA_ServiceStatus.current_state = state;
  g_QMA_ServiceStatus.controls_accepted =
      state == qma::platform::kServiceStartPending
          ? 0
          : (qma::platform::kServiceAcceptStop | qma::platform::kServiceAcceptPauseContinue |
             qma::platform::kServiceAcceptShutdown);
  g_QMA_ServiceStatus.check_point = check_point;
  g_QMA_ServiceStatus.wait_hint = wait_hint;
  auto reported = qma::platform::set_service_status(g_status_handle, g_QMA_ServiceStatus);
  if (!reported) {
    QMA_SrvLogError(__func__, kSrc, __LINE__, "SetServiceStatus() error! GetLastError=[%d]",
                    reported.error());
    return 0;
  }
  return 1;
}

uint32_t QMA_HandlerEx(uint32_t control, uint32_t /*event_type*/, void* /*event_data*/,
                       void* /*context*/) {
  QMA_SrvLogInfo(__func__, kSrc, __LINE__, "QMA_HandlerEx() start.");
  switch (control) {
    case qma::platform::kServiceControlStop: {
      if (QMA_ReportStatus(qma::platform::kServiceStopPending, 0, 30000) == 0) {
        QMA_SrvLogError(__func__, kSrc, __LINE__, "QMA_ReportStatus() error!");
      }
      bool started = false;
      try {
        std::thread([] { QMA_service_stop(); }).detach();
        started = true;
      } catch (const std::system_error& e) {
        QMA_SrvLogError(__func__, kSrc, __LINE__, "_beginthreadex() error! GetLastError=[%d]",
                        e.code().value());
      }
      if (!started && QMA_ReportStatus(qma::platform::kServiceRunning, 0, 0) == 0) {
        QMA_SrvLogError(__func__, kSrc, __LINE__, "QMA_ReportStatus() error!");
      }
      g_stop_event = true;
      g_wake.set();
      break;
    }
    case qma::platform::kServiceControlInterrogate: {
      auto reported = qma::platform::set_service_status(g_status_handle, g_QMA_ServiceStatus);
      if (!reported) {
        QMA_SrvLogError(__func__, kSrc, __LINE__, "SetServiceStatus() error! GetLastError=[%d]",
                        reported.error());
      }
      break;
    }
    default:
      break;
  }
  QMA_SrvLogInfo(__func__, kSrc, __LINE__, "QMA_HandlerEx() end.");
  return 0;
}

void QMA_service_main(uint32_t argc, char** argv) {
  QMA_SrvLogInfo(__func__, kSrc, __LINE__, "QMA_service_main() start.");
  if (QMCmnRefreshEnvironment() == -1) return;
  if (QMA_FuncInit() == -1) {
    QMA_SrvLogError(__func__, kSrc, __LINE__, "QMA_FuncInit() error!");
    return;
  }
  QMA_Initialize();

  auto handle = qma::platform::register_service_handler(QMA_SERVICE_NAME, QMA_HandlerEx, nullptr);
  if (!handle) {
    QMA_SrvLogError(__func__, kSrc, __LINE__,
                    "RegisterServiceCtrlHandlerEx() error! GetLastErreoe=[%d]", handle.error());
    return;
  }
  g_status_handle = handle.value();

  g_QMA_ServiceStatus = qma::platform::ServiceStatus{};
  g_QMA_ServiceStatus.service_type = qma::platform::kServiceWin32OwnProcess;
  g_QMA_ServiceStatus.controls_accepted = qma::platform::kServiceAcceptStop;
  if (QMA_ReportStatus(qma::platform::kServiceStartPending, 0, 30000) == 0) {
    QMA_SrvLogError(__func__, kSrc, __LINE__, "QMA_ReportStatus() error!");
    return;
  }

  // The stop event: automatic reset, not signalled.
  g_stop_event = false;
  g_worker_ended = false;
  g_wake.reset();
  g_worker_done.reset();

  qma::service::xml_init_parser();

  if (QMA_BmcGateInit() != 0) {
    QMA_SrvLogError(__func__, kSrc, __LINE__, "QMA_BmcGateInit() error!");
    qma::service::xml_cleanup_parser();
    return;
  }
  QMA_UseBmcGateForOsInfo();

  if (QMA_InitializeForLogFile(g_QMAConfig.LogSavePath, static_cast<int>(g_QMAConfig.LogMaxNum),
                               &g_log_mutex) == 0) {
    QMA_SrvLogError(__func__, kSrc, __LINE__, "QMA_InitializeForLogFile() error!");
    QMA_BmcGateFinish();
    qma::service::xml_cleanup_parser();
    return;
  }

  int pkgstart = 0;
  for (uint32_t i = 0; i < argc; ++i) {
    if (argv[i] != nullptr && std::strcmp(argv[i], "-pkgstart") == 0) {
      pkgstart = 1;
      break;
    }
  }

  std::thread worker;
  try {
    worker = std::thread(worker_body, &pkgstart);
  } catch (const std::system_error& e) {
    QMA_SrvLogError(__func__, kSrc, __LINE__, "_beginthreadex() error! GetLastError=(%d)",
                    e.code().value());
    QMA_FinalizeForLogFile(&g_log_mutex);
    QMA_BmcGateFinish();
    qma::service::xml_cleanup_parser();
    return;
  }

  if (QMA_ReportStatus(qma::platform::kServiceRunning, 0, 0) == 0) {
    QMA_SrvLogError(__func__, kSrc, __LINE__, "QMA_ReportStatus() error!");
    terminate_worker(worker);
    QMA_FinalizeForLogFile(&g_log_mutex);
    QMA_BmcGateFinish();
    qma::service::xml_cleanup_parser();
    return;
  }

  for (;;) {
    auto waited = g_wake.wait(qma::platform::kInfinite);
    if (waited == qma::platform::WaitStatus::kFailed) {
      QMA_SrvLogError(__func__, kSrc, __LINE__, "WaitForMultipleObjects() error! GetLastError=[%d]",
                      qma::platform::last_error());
      terminate_worker(worker);
      break;
    }
    bool stop = g_stop_event.exchange(false);
    if (stop || g_worker_ended) {
      QMA_SrvLogWarning(__func__, kSrc, __LINE__,
                        "WaitForMultipleObjects() detected signal. GetLastError=[%d]",
                        qma::platform::last_error());
      // Stopped is reported only once the worker has let go of the pipe, so a
      // service started right after this report can listen on it.
      if (stop) terminate_worker(worker);
      if (!stop) {
        // The worker ended by itself: the listener could not go on. That is the
        // service's failure, reported so that the failure command runs.
        QMA_SrvLogError(__func__, kSrc, __LINE__,
                        "The manager interface ended on its own. QMAgentService terminated as a "
                        "failure.");
        g_QMA_ServiceStatus.win32_exit_code = qma::platform::kErrorServiceSpecificError;
        g_QMA_ServiceStatus.service_specific_exit_code = 1;
      }
      if (QMA_ReportStatus(qma::platform::kServiceStopped, 0, 30000) == 0) {
        QMA_SrvLogError(__func__, kSrc, __LINE__, "QMA_ReportStatus() error!");
      }
      break;
    }
  }

  QMA_FinalizeForLogFile(&g_log_mutex);
  close_worker(worker);
  QMA_BmcGateFinish();
  qma::service::xml_cleanup_parser();
  QMA_SrvLogInfo(__func__, kSrc, __LINE__, "QMA_service_main() end.");
}
