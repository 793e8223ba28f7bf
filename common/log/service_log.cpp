// The service log QMAgentService.log in $AXIS2C_HOME/bin: usable from the first
// instruction, rotating after a fixed 10000 lines.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>

#include "common/host/qma_system.h"
#include "common/log/log_line.h"
#include "common/log/qma_log.h"
#include "platform/clock.h"
#include "platform/environment.h"

namespace qma::log {

namespace {

constexpr char kLogFileName[] = "QMAgentService.log";
constexpr char kBackupFileName[] = "ExQMAgentService.log";
constexpr int kMaxLines = 10000;

struct ServiceLog {
  char folder[kPathSize];
  bool initialised;
  int lines;
  LineLoss loss;
};

/// The service log's writers (control handler, start-up) may run at once; this
/// keeps their counter and appends apart within the process.
std::mutex& service_log_mutex() {
  static auto* mutex = new std::mutex;
  return *mutex;
}
ServiceLog g_service{};

/// The log's descriptor, used under service_log_mutex and never destroyed.
platform::AppendFile& service_file() {
  static auto* file = new platform::AppendFile;
  return *file;
}

/// Finds the folder and counts the lines already there, on the first line only.
/// Without AXIS2C_HOME there is no folder: the line is skipped and the next one
/// looks again (the service main sets AXIS2C_HOME from the machine environment).
bool start_service_log() {
  if (g_service.initialised) return true;
  std::optional<std::string> home = platform::get_env("AXIS2C_HOME");
  if (!home || home->empty()) return false;
  char path[kPathSize];
  // An installation root too long for the file names gives no folder, as a
  // missing one does: a cut path would name another file.
  if (!build_path(g_service.folder, home->c_str(), "bin") ||
      !build_path(path, g_service.folder, kBackupFileName)) {
    return false;
  }
  build_path(path, g_service.folder, kLogFileName);
  g_service.lines = count_lines(path, kMaxLines);
  g_service.initialised = true;
  return true;
}

void write_service_line(const char* severity, const char* func, const char* file, int line,
                        const char* text) {
  std::lock_guard guard(service_log_mutex());
  if (!start_service_log()) return;
  char path[kPathSize];
  build_path(path, g_service.folder, kLogFileName);

  if (g_service.lines >= kMaxLines) {
    char backup[kPathSize];
    build_path(backup, g_service.folder, kBackupFileName);
    if (QMA_Cmn_CheckFile(g_service.folder, kBackupFileName) == 1) std::remove(backup);
    std::rename(path, backup);
    g_service.lines = 0;
  }

  char host[kPathSize] = {};
  if (QMA_Cmn_GetHostName(host, sizeof(host)) != 1) std::memset(host, 0, sizeof(host));

  const platform::LocalTime now = platform::local_time_now();
  char buffer[kServiceLineSize] = {};
  const int formatted = std::snprintf(
      buffer, sizeof(buffer),
      "[%05d]-%04d/%02d/%02d %02d:%02d:%02d.%03d-<%s>-[%s::%s(%s(%d))]-----%s-----\n",
      g_service.lines + 1, now.year, now.month, now.day, now.hour, now.minute, now.second,
      now.millisecond, host, severity, or_empty(func), or_empty(file), line, text);
  const size_t length = finish_line(buffer, sizeof(buffer), formatted);
  if (length > 0 && append_line(service_file(), path, buffer, length, g_service.loss))
    ++g_service.lines;
}

int service_writer(const char* severity, const char* func, const char* file, int line,
                   const char* format, va_list args) {
  char text[kServiceTextSize];
  format_text(text, sizeof(text), format, args);
  try {
    write_service_line(severity, func, file, line, text);
  } catch (...) {
    // Out of memory reading the environment: the line is lost and nothing else.
  }
  return 0;
}

}  // namespace

void reset_service_log_for_testing() {
  std::lock_guard guard(service_log_mutex());
  g_service = ServiceLog{};
  service_file().close();
}

}  // namespace qma::log

extern "C" {

int QMA_SrvLogError(const char* func, const char* file, int line, const char* format, ...) {
  va_list args;
  va_start(args, format);
  int result = qma::log::service_writer("ERROR", func, file, line, format, args);
  va_end(args);
  return result;
}

int QMA_SrvLogWarning(const char* func, const char* file, int line, const char* format, ...) {
  va_list args;
  va_start(args, format);
  int result = qma::log::service_writer("WARNNING", func, file, line, format, args);
  va_end(args);
  return result;
}

int QMA_SrvLogInfo(const char* func, const char* file, int line, const char* format, ...) {
  va_list args;
  va_start(args, format);
  int result = qma::log::service_writer("INFO", func, file, line, format, args);
  va_end(args);
  return result;
}

}  // extern "C"
