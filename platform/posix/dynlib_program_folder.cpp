// Loading a library from the running program's own folder (POSIX backend).
//
// This folder is the only place that may include OS headers. Nothing here logs.
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/dynlib.h"
#include "platform/error.h"

namespace qma::platform {

Result<DynamicLibrary> DynamicLibrary::load_from_program_folder(std::string_view name) {
  char self[4096];
  const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
  if (length <= 0) {
    const int error = errno;
    set_last_error(error);
    return Result<DynamicLibrary>::failure(error);
  }
  std::string path(self, static_cast<size_t>(length));
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos || name.empty() || name.find('/') != std::string_view::npos) {
    set_last_error(EINVAL);
    return Result<DynamicLibrary>::failure(EINVAL);
  }
  path.resize(slash + 1);
  path.append(name);
  return load(path);
}

}  // namespace qma::platform
