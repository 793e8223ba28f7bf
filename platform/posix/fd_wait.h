// Pieces shared by the stream backends on POSIX (local pipe, TCP). May include OS
// headers; only platform/posix/ includes this file.
#pragma once

#include <poll.h>

#include <cerrno>
#include <cstdint>

#include "platform/error.h"
#include "platform/result.h"

namespace qma::platform::posix {

/// Records the error as the thread's last error and returns it as a failure.
template <typename T>
Result<T> fail(int error) {
  set_last_error(error);
  return Result<T>::failure(error);
}

/// Waits for the events on one descriptor; 1 ready, 0 timed out, -1 error (errno
/// set). A time above the int range (kInfinite among them) waits without limit.
inline int wait_for(int fd, short events, uint32_t timeout_ms) {
  pollfd pfd{fd, events, 0};
  int timeout = timeout_ms > 0x7FFFFFFFu ? -1 : static_cast<int>(timeout_ms);
  for (;;) {
    int rc = poll(&pfd, 1, timeout);
    if (rc < 0 && errno == EINTR) continue;
    return rc;
  }
}

}  // namespace qma::platform::posix
