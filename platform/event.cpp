// Events with manual or automatic reset, built on the standard library.
#include "platform/event.h"

#include <chrono>

namespace qma::platform {

void Event::set() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    set_ = true;
  }
  // An automatic-reset event releases one waiter; a manual one releases all.
  if (manual_) {
    cv_.notify_all();
  } else {
    cv_.notify_one();
  }
}

void Event::reset() {
  std::lock_guard<std::mutex> lock(mutex_);
  set_ = false;
}

WaitStatus Event::wait(uint32_t timeout_ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  auto is_set = [this] { return set_; };
  if (timeout_ms == kInfinite) {
    cv_.wait(lock, is_set);
  } else if (!cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), is_set)) {
    return WaitStatus::kTimeout;
  }
  if (!manual_) set_ = false;
  return WaitStatus::kSignaled;
}

}  // namespace qma::platform
