// Sweeping a module folder before a new package is unpacked into it.
#include <cstring>
#include <string>

#include "commands/module_files.h"
#include "commands/package/package_repository.h"
#include "common/log/qma_log.h"
#include "platform/file.h"

namespace {

constexpr const char* kSrc = "QMAProc";

// What a new package never replaces at the top of its module folder: the status and
// the version history.
constexpr const char* kKeptAtTop[] = {"ModuleStatus", qma::commands::kCurrentVersion,
                                      qma::commands::kPreviousVersion,
                                      qma::commands::kBeforePreviousVersion};

bool kept_at_top(const std::string& name) {
  for (const char* kept : kKeptAtTop) {
    if (name == kept) return true;
  }
  return false;
}

}  // namespace

void QMA_SweepPrePKG(const char* directory, int top) {
  QMA_LogInfo(__func__, kSrc, __LINE__, "called QMA_SweepPrePKG : %d", top);
  if (directory == nullptr) return;
  auto listing = qma::platform::list_directory(directory, "*");
  if (!listing.ok()) {
    QMA_LogWarning(__func__, kSrc, __LINE__, "FindFirstFile() error!! SearchPath=[%s]",
                   qma::platform::join_path(directory, "*").c_str());
    return;
  }
  for (const auto& entry : listing.value()) {
    if (entry.name == "." || entry.name == "..") continue;
    if (top == 1 && kept_at_top(entry.name)) continue;
    std::string path = qma::platform::join_path(directory, entry.name);
    // Only a plain folder is entered; a link, a hidden or a read-only folder is
    // treated as a file, so a link is removed itself and never followed.
    if (entry.attributes == qma::platform::kAttrDirectory) {
      QMA_SweepPrePKG(path.c_str(), 0);
      if (!qma::platform::remove_directory(path).ok()) {
        QMA_LogWarning(__func__, kSrc, __LINE__, "RemoveDirectory() error! Path=[%s]",
                       path.c_str());
      }
    } else if (!qma::platform::delete_file(path).ok()) {
      QMA_LogWarning(__func__, kSrc, __LINE__, "DeleteFile() error! Path=[%s]", path.c_str());
    }
  }
  QMA_LogInfo(__func__, kSrc, __LINE__, "QMA_SweepPrePKG() end.");
}
