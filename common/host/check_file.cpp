// Whether a file in a folder exists and can be read.
#include "common/host/qma_system.h"
#include "common/log/log_line.h"
#include "platform/file.h"

extern "C" int QMA_Cmn_CheckFile(const char* folder, const char* file_name) {
  char path[qma::log::kPathSize];
  // A path that does not fit names some other file once cut; it cannot be opened.
  if (!qma::log::build_path(path, folder, file_name)) return 0;
  try {
    return qma::platform::file_readable(path) ? 1 : 0;
  } catch (...) {
    return 0;
  }
}
