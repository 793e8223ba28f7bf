// Local time with milliseconds, thread ids, monotonic time and sleeping (POSIX backend).
//
// This folder is the only place that may include OS headers. Nothing here logs.
#include "platform/clock.h"

#include <pthread.h>
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

namespace {

/// The calling thread's kernel id once asked for; 0 before. A child made by fork
/// starts over, since its one thread has an id of its own.
thread_local unsigned long t_thread_id = 0;

void forget_thread_id_in_child() {
  t_thread_id = 0;
}

}  // namespace

unsigned long current_thread_id() {
  // The kernel's thread id, the number ps and /proc show for the thread, asked
  // for once per thread: log lines carry it, and a line should cost no more
  // than its write.
  if (t_thread_id == 0) {
    static const int registered = ::pthread_atfork(nullptr, nullptr, forget_thread_id_in_child);
    (void)registered;
    t_thread_id = static_cast<unsigned long>(syscall(SYS_gettid));
  }
  return t_thread_id;
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
