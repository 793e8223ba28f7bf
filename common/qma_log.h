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
}
