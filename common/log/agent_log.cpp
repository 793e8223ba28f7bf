// The agent log QMAgent.log: rotating, serialised across threads and processes by
// the named mutex "QMA_SRV_LOGFILE_MUTEX".
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>

#include "common/cmn/qmcmn.h"
#include "common/log/log_line.h"
#include "common/log/qma_log.h"
#include "platform/clock.h"
#include "platform/error.h"
#include "platform/host.h"
#include "platform/named_mutex.h"

struct QMA_MutexHandle {
  qma::platform::NamedMutex mutex;
};

namespace qma::log {

namespace {

using platform::NamedMutex;
using platform::WaitStatus;

constexpr char kLogMutexName[] = "QMA_SRV_LOGFILE_MUTEX";
constexpr char kLogFileName[] = "QMAgent.log";
constexpr char kBackupFileName[] = "ExQMAgent.log";
constexpr char kUnknownHostName[] = "unknown-hostname";
/// Writers try this often, 1 ms each, to own the log mutex, then drop the line.
constexpr int kOwnAttempts = 5;

/// Set by QMA_InitializeForLogFile before the worker threads start, read-only
/// afterwards, except the two counters, which only the owner of the log mutex touches.
struct AgentLog {
  char log_path[kPathSize];
  char backup_path[kPathSize];
  char host_name[kPathSize];
  int max_lines;
  int lines_at_start;
  int lines_written;
  LineLoss loss;
};
AgentLog g_log{};

/// Only the service process writes this log, and it rotates the file itself, so
/// the path is looked at once a second, for a file moved or removed from outside.
constexpr uint32_t kPathCheckIntervalMs = 1000;

/// The log's descriptor, used only by the owner of the log mutex. Never
/// destroyed, so threads still logging while the process ends find it open.
platform::AppendFile& agent_file() {
  static auto* file = new platform::AppendFile(kPathCheckIntervalMs);
  return *file;
}

/// Opens the log mutex, creating it when no process has made it yet.
std::optional<NamedMutex> open_log_mutex() {
  auto opened = NamedMutex::open(kLogMutexName);
  if (opened.ok()) return std::move(opened).value();
  if (opened.error() != platform::kErrorFileNotFound) return std::nullopt;
  auto created = NamedMutex::create(kLogMutexName);
  if (!created.ok()) return std::nullopt;
  return std::move(created).value();
}

/// The log mutex, opened once and kept, as a handle would be, so that a line does
/// not look the mutex up again. Never destroyed, like the descriptor.
struct KeptMutex {
  std::mutex guard;
  std::optional<NamedMutex> mutex;
};
KeptMutex& kept_mutex() {
  static auto* kept = new KeptMutex;
  return *kept;
}

NamedMutex* log_mutex() {
  KeptMutex& kept = kept_mutex();
  std::lock_guard lock(kept.guard);
  if (!kept.mutex) kept.mutex = open_log_mutex();
  return kept.mutex ? &*kept.mutex : nullptr;
}

/// At most five waits of 1 ms; an abandoned mutex is owned like a signalled one.
bool own_log_mutex(NamedMutex& mutex) {
  for (int attempt = 0; attempt < kOwnAttempts; ++attempt) {
    switch (mutex.wait(1)) {
      case WaitStatus::kSignaled:
      case WaitStatus::kAbandoned:
        return true;
      case WaitStatus::kTimeout:
        continue;
      case WaitStatus::kFailed:
        return false;
    }
  }
  return false;
}

void write_agent_line(const char* severity, const char* func, const char* file, int line,
                      const char* text) {
  if (g_log.log_path[0] == '\0') return;
  const platform::LocalTime now = platform::local_time_now();
  const unsigned long thread_id = platform::current_thread_id();

  NamedMutex* mutex = log_mutex();
  if (mutex == nullptr || !own_log_mutex(*mutex)) return;

  if (g_log.lines_at_start + g_log.lines_written >= g_log.max_lines) {
    // A failed delete or rename leaves the log being appended to; the count restarts anyway.
    std::remove(g_log.backup_path);
    std::rename(g_log.log_path, g_log.backup_path);
    agent_file().recheck();
    g_log.lines_at_start = 0;
    g_log.lines_written = 0;
  }

  // Only the formatted bytes are written, so the buffer is not cleared first.
  char buffer[kAgentLineSize];
  const int formatted = std::snprintf(
      buffer, sizeof(buffer),
      "[%05d]-%04d/%02d/%02d %02d:%02d:%02d.%03d-<%s>-<tid:%lu>-[%s::%s(%s(%d))]-----%s-----\n",
      g_log.lines_at_start + g_log.lines_written + 1, now.year, now.month, now.day, now.hour,
      now.minute, now.second, now.millisecond, g_log.host_name, thread_id, severity, or_empty(func),
      or_empty(file), line, text);
  const size_t length = finish_line(buffer, sizeof(buffer), formatted);
  if (length > 0 && append_line(agent_file(), g_log.log_path, buffer, length, g_log.loss))
    ++g_log.lines_written;

  mutex->release();
}

int agent_writer(const char* severity, const char* func, const char* file, int line,
                 const char* format, va_list args) {
  char text[kAgentTextSize];
  format_text(text, sizeof(text), format, args);
  try {
    write_agent_line(severity, func, file, line, text);
  } catch (...) {
    // Out of memory while opening the mutex: the line is lost, as any other failure loses it.
  }
  return 0;
}

/// Paths, host name and counters of the agent log, set with the log mutex held.
void start_agent_log(const char* log_dir, int max_lines, NamedMutex& held) {
  // Initialisation goes on even when the mutex could not be owned in time.
  const bool owned = own_log_mutex(held);

  // A folder too long for the two file names leaves the log path empty: the log
  // stays silent rather than writing to files whose names were cut.
  if (!build_path(g_log.log_path, log_dir, kLogFileName) ||
      !build_path(g_log.backup_path, log_dir, kBackupFileName)) {
    std::memset(g_log.log_path, 0, sizeof(g_log.log_path));
    std::memset(g_log.backup_path, 0, sizeof(g_log.backup_path));
  }
  // There is no socket library to start and stop here: only the name query can fail.
  auto host = platform::host_name();
  QMCmnCopyField(g_log.host_name, host.ok() ? host.value().c_str() : kUnknownHostName);
  g_log.max_lines = max_lines;
  g_log.lines_at_start = count_lines(g_log.log_path, max_lines);
  g_log.lines_written = 0;
  // The count was just taken from the file at the path: the next line goes there.
  agent_file().recheck();

  if (owned) held.release();
}

}  // namespace

void reset_for_testing() {
  g_log = AgentLog{};
  agent_file().close();
  {
    std::lock_guard lock(kept_mutex().guard);
    kept_mutex().mutex.reset();
  }
  reset_service_log_for_testing();
}

}  // namespace qma::log

extern "C" {

int QMA_LogError(const char* func, const char* file, int line, const char* format, ...) {
  va_list args;
  va_start(args, format);
  int result = qma::log::agent_writer("ERROR", func, file, line, format, args);
  va_end(args);
  return result;
}

int QMA_LogWarning(const char* func, const char* file, int line, const char* format, ...) {
  va_list args;
  va_start(args, format);
  int result = qma::log::agent_writer("WARNNING", func, file, line, format, args);
  va_end(args);
  return result;
}

int QMA_LogInfo(const char* func, const char* file, int line, const char* format, ...) {
  va_list args;
  va_start(args, format);
  int result = qma::log::agent_writer("INFO", func, file, line, format, args);
  va_end(args);
  return result;
}

int QMA_InitializeForLogFile(const char* log_dir, int max_lines, QMA_MUTEX_HANDLE* holder) {
  using namespace qma::log;
  if (holder == nullptr || log_dir == nullptr) return 0;
  try {
    std::optional<qma::platform::NamedMutex> mutex = open_log_mutex();
    if (!mutex) return 0;
    delete *holder;
    *holder = new QMA_MutexHandle{std::move(*mutex)};
    start_agent_log(log_dir, max_lines, (*holder)->mutex);
    return 1;
  } catch (...) {
    return 0;
  }
}

void QMA_FinalizeForLogFile(QMA_MUTEX_HANDLE* holder) {
  if (holder == nullptr) return;
  delete *holder;
  *holder = nullptr;
}

}  // extern "C"
