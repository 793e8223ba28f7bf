// Counting semaphores on POSIX semaphores (POSIX backend).
//
// This folder is the only place that may include OS headers. Nothing here logs.
#include "platform/semaphore.h"

#include <semaphore.h>
#include <time.h>

#include <cerrno>

#include "platform/named_mutex.h"

namespace qma::platform {

// A post wakes the kernel only when a thread sleeps on the count, and a wait sleeps
// without spinning first, so a hand-over is one wake and one sleep.
struct Semaphore::Impl {
  sem_t semaphore;
};

Semaphore::Semaphore() : impl_(std::make_unique<Impl>()) {
  sem_init(&impl_->semaphore, 0, 0);
}

Semaphore::~Semaphore() {
  sem_destroy(&impl_->semaphore);
}

void Semaphore::post() {
  sem_post(&impl_->semaphore);
}

bool Semaphore::wait(uint32_t timeout_ms) {
  if (timeout_ms == kInfinite) {
    while (sem_wait(&impl_->semaphore) != 0) {
      if (errno != EINTR) return false;
    }
    return true;
  }
  timespec deadline{};
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  deadline.tv_sec += static_cast<time_t>(timeout_ms / 1000);
  deadline.tv_nsec += static_cast<long>(timeout_ms % 1000) * 1000000L;
  if (deadline.tv_nsec >= 1000000000L) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1000000000L;
  }
  while (sem_clockwait(&impl_->semaphore, CLOCK_MONOTONIC, &deadline) != 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

}  // namespace qma::platform
