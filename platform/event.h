// Events with Windows semantics (manual or automatic reset), for threads of one process.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "platform/named_mutex.h"

namespace qma::platform {

/// A signalled/unsignalled flag that threads wait on.
class Event {
 public:
  Event(bool manual_reset, bool initially_set) : manual_(manual_reset), set_(initially_set) {}
  void set();
  void reset();
  /// kSignaled or kTimeout; an automatic-reset event is cleared by the wait it ends.
  [[nodiscard]] WaitStatus wait(uint32_t timeout_ms);

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool manual_;
  bool set_;
};

}  // namespace qma::platform
