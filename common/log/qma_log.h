// The agent's two logs: the agent log (QMAgent.log) and the service log (QMAgentService.log).
#pragma once

#include <cstdarg>

extern "C" {

/// The shape shared by the six log writers: calling function, source file base
/// name, source line, printf format and arguments. The XML query library takes
/// one of them as its first argument.
typedef int (*QMA_LOG_FUNC)(const char* func, const char* file, int line, const char* format, ...);

int QMA_LogError(const char* func, const char* file, int line, const char* format, ...)
    __attribute__((format(printf, 4, 5)));
int QMA_LogWarning(const char* func, const char* file, int line, const char* format, ...)
    __attribute__((format(printf, 4, 5)));
int QMA_LogInfo(const char* func, const char* file, int line, const char* format, ...)
    __attribute__((format(printf, 4, 5)));

int QMA_SrvLogError(const char* func, const char* file, int line, const char* format, ...)
    __attribute__((format(printf, 4, 5)));
int QMA_SrvLogWarning(const char* func, const char* file, int line, const char* format, ...)
    __attribute__((format(printf, 4, 5)));
int QMA_SrvLogInfo(const char* func, const char* file, int line, const char* format, ...)
    __attribute__((format(printf, 4, 5)));

/// An open handle to a named mutex (opaque). The service main keeps the agent
/// log's handle for the process lifetime, so the mutex object stays known.
typedef struct QMA_MutexHandle* QMA_MUTEX_HANDLE;

/// Starts the agent log in log_dir (which must exist) with max_lines lines per
/// file: opens or creates the log mutex into *holder, counts the lines already in
/// QMAgent.log and takes the host name. Returns 1, or 0 when the mutex can be
/// neither opened nor created (or holder or log_dir is null).
int QMA_InitializeForLogFile(const char* log_dir, int max_lines, QMA_MUTEX_HANDLE* holder);
/// Closes the handle in *holder, if any, and clears the holder.
void QMA_FinalizeForLogFile(QMA_MUTEX_HANDLE* holder);
}

namespace qma::log {

/// Forgets the state of both logs, as at process start (the agent log silent
/// until initialised, the service log reading $AXIS2C_HOME again). For tests.
void reset_for_testing();

}  // namespace qma::log
