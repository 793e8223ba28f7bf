// Local time with milliseconds, thread ids, monotonic time and sleeping (POSIX backend).
//
// This folder is the only place that may include OS headers. Nothing here logs.
#include "platform/clock.h"

#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

namespace qma::platform {

LocalTime local_time_now() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm parts{};
  localtime_r(&now.tv_sec, &parts);
  return LocalTime{parts.tm_year + 1900,
                   parts.tm_mon + 1,
                   parts.tm_mday,
                   parts.tm_hour,
                   parts.tm_min,
                   parts.tm_sec,
                   static_cast<int>(now.tv_nsec / 1000000)};
}

unsigned long current_thread_id() {
  // The kernel's thread id, the number ps and /proc show for the thread.
  return static_cast<unsigned long>(syscall(SYS_gettid));
}

uint64_t monotonic_ms() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}

void sleep_ms(uint32_t ms) {
  timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  // Signals must not shorten a pause: sleep for whatever is left.
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

}  // namespace qma::platform
