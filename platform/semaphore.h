// Counting semaphores for the threads of one process.
#pragma once

#include <cstdint>
#include <memory>

namespace qma::platform {

/// A count that post raises and wait lowers, waiting while it is 0: hands work to one
/// waiting thread for the price of one wake-up. On Linux: a POSIX semaphore.
class Semaphore {
 public:
  Semaphore();
  ~Semaphore();
  Semaphore(const Semaphore&) = delete;
  Semaphore& operator=(const Semaphore&) = delete;

  void post();
  /// True when the count was lowered within timeout_ms (kInfinite of named_mutex.h: no
  /// limit); false when the time ran out first.
  [[nodiscard]] bool wait(uint32_t timeout_ms);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace qma::platform
