// The zip launcher as registration and log collection run it: copied from the installation
// into the folder it works in, started there and waited for.
#include <cerrno>
#include <cstdio>
#include <string>

#include "commands/package/package_repository.h"
#include "commands/update/update_tools.h"
#include "common/cmn/qmcmn.h"
#include "common/log/qma_log.h"
#include "platform/clock.h"
#include "platform/file.h"

namespace qma::commands {

namespace {

constexpr const char* kSrc = "QMAProc";
constexpr int kZipToolWaitSeconds = 300;
// Time for the files the launcher wrote to settle before anyone reads or removes them.
constexpr uint32_t kSettleMs = 1000;

}  // namespace

platform::Status copy_into_folder(platform::RegularFile& source, platform::ConfinedFolder& folder,
                                  const std::string& name, uint32_t mode) {
  auto copy = folder.create_file(name, mode);
  if (!copy.ok()) return platform::Status::failure(copy.error());
  char buffer[64 * 1024];
  uint64_t left = source.size;
  while (left > 0) {
    size_t want = left < sizeof buffer ? static_cast<size_t>(left) : sizeof buffer;
    size_t got = std::fread(buffer, 1, want, source.file.get());
    if (got == 0) return platform::Status::failure(EIO);  // cut short meanwhile
    if (auto written = copy->write(buffer, got); !written.ok()) return written;
    left -= got;
  }
  return copy->commit();
}

bool copy_zip_tool(const char* caller, const std::string& bin, const std::string& folder) {
  // The installation's own launcher may be reached through a link; the copy never is.
  auto source = platform::open_regular_file(
      platform::resolve_path(platform::join_path(bin, kZipTool)), platform::LastLink::kFollow);
  auto target = platform::ConfinedFolder::open(folder);
  platform::Status copied = !source.ok() ? platform::Status::failure(source.error())
                            : !target.ok()
                                ? platform::Status::failure(target.error())
                                : copy_into_folder(*source, *target, kZipTool, source->mode & 0777);
  if (!copied.ok()) {
    QMA_LogError(caller, kSrc, __LINE__, "Copy of zip-tool failed. errno=[%d] Path=[%s]",
                 copied.error(), folder.c_str());
  }
  return copied.ok();
}

const char* run_zip_tool(const char* caller, const std::string& folder,
                         const std::string& arguments) {
  QMA_PROC_HANDLE process = nullptr;
  if (QMA_ExecuteProcess(folder.c_str(), kZipTool.c_str(), arguments.c_str(), &process, nullptr) !=
      1) {
    QMA_LogError(caller, kSrc, __LINE__, "QMA_ExecuteProcess() error!(zip-tool) Command=[%s/%s %s]",
                 folder.c_str(), kZipTool.c_str(), arguments.c_str());
    QMA_CloseProcHandle(&process);
    return "900";
  }
  int waited = QMA_WaitForProcTerm(process, kZipToolWaitSeconds);
  QMA_CloseProcHandle(&process);
  if (waited == 1) {
    platform::sleep_ms(kSettleMs);
    return "600";
  }
  if (waited == -1) {
    QMA_LogError(caller, kSrc, __LINE__, "Timeout of zip-tool. Command=[%s/%s %s]", folder.c_str(),
                 kZipTool.c_str(), arguments.c_str());
    return "905";
  }
  QMA_LogError(caller, kSrc, __LINE__, "Failure of zip-tool. Command=[%s/%s %s]", folder.c_str(),
               kZipTool.c_str(), arguments.c_str());
  return "900";
}

}  // namespace qma::commands
