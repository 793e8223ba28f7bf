// Counting semaphores on the standard library (Windows backend).
#include "platform/semaphore.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "platform/named_mutex.h"

namespace qma::platform {

struct Semaphore::Impl {
  std::mutex mutex;
  std::condition_variable raised;
  uint64_t count = 0;
};

Semaphore::Semaphore() : impl_(std::make_unique<Impl>()) {}

Semaphore::~Semaphore() = default;

void Semaphore::post() {
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    ++impl_->count;
  }
  impl_->raised.notify_one();
}

bool Semaphore::wait(uint32_t timeout_ms) {
  std::unique_lock<std::mutex> lock(impl_->mutex);
  auto positive = [this] { return impl_->count > 0; };
  if (timeout_ms == kInfinite) {
    impl_->raised.wait(lock, positive);
  } else if (!impl_->raised.wait_for(lock, std::chrono::milliseconds(timeout_ms), positive)) {
    return false;
  }
  --impl_->count;
  return true;
}

}  // namespace qma::platform
