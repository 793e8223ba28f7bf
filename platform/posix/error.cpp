// The per-thread last-error number of platform calls (POSIX backend).
//
// This folder is the only place that may include OS headers. Nothing here logs.
#include "platform/error.h"

namespace qma::platform {

namespace {
thread_local int t_last_error = 0;
}  // namespace

int last_error() {
  return t_last_error;
}

void set_last_error(int error) {
  t_last_error = error;
}

}  // namespace qma::platform
