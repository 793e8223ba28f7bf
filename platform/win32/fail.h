// Failures the Windows backend returns, with their error recorded as the thread's last error.
//
// This folder is the only place that may include OS headers. Nothing here logs.
#pragma once

#include "platform/error.h"
#include "platform/result.h"

namespace qma::platform::win32 {

/// A failed result carrying `error`, which becomes the thread's last error first.
template <typename T>
Result<T> fail(int error) {
  set_last_error(error);
  return Result<T>::failure(error);
}

/// A failed status carrying `error`, which becomes the thread's last error first.
inline Status fail_status(int error) {
  set_last_error(error);
  return Status::failure(error);
}

}  // namespace qma::platform::win32
