// A named mutex waited for from another thread, as the named mutex tests use it.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <thread>

#include "platform/named_mutex.h"

namespace qma::test {

/// What a wait from another thread reports; a mutex it gets is released again.
inline platform::WaitStatus wait_from_other_thread(platform::NamedMutex& mutex,
                                                   uint32_t timeout_ms) {
  platform::WaitStatus status = platform::WaitStatus::kFailed;
  std::thread([&] {
    status = mutex.wait(timeout_ms);
    if (status == platform::WaitStatus::kSignaled || status == platform::WaitStatus::kAbandoned) {
      EXPECT_TRUE(mutex.release());
    }
  }).join();
  return status;
}

}  // namespace qma::test
