// The per-thread last-error number of platform calls (portable: no OS calls).
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
