// The host name as the agent's log lines and answers show it.
#include <cerrno>
#include <cstring>
#include <string>

#include "common/host/qma_system.h"
#include "common/log/qma_log.h"
#include "platform/host.h"

namespace {
constexpr char kSourceFile[] = "QMACommon";
}  // namespace

extern "C" int QMA_Cmn_GetHostName(char* buffer, int size) {
  // The platform layer starts the socket library once per process; its failure and the
  // query's both come back as the query's error.
  int error = 0;
  try {
    if (buffer == nullptr || size <= 0) {
      error = EFAULT;
    } else if (auto name = qma::platform::host_name(); !name.ok()) {
      error = name.error();
    } else if (name->size() >= static_cast<size_t>(size)) {
      error = ENAMETOOLONG;  // the name with its terminator does not fit
    } else {
      std::memcpy(buffer, name->c_str(), name->size() + 1);
      return 1;
    }
  } catch (...) {
    error = ENOMEM;
  }
  QMA_LogError(__func__, kSourceFile, __LINE__, "gethostname() error! WSAGetLastError=[%d]", error);
  return 0;
}
