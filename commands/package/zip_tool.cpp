// The zip launcher as registration and log collection run it: copied from the installation
// into the folder it works in, started there and waited for.
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

bool copy_zip_tool(const char* caller, const std::string& bin, const std::string& folder) {
  auto copied = platform::copy_file(platform::join_path(bin, kZipTool),
                                    platform::join_path(folder, kZipTool), true);
  if (!copied.ok()) {
    QMA_LogError(caller, kSrc, __LINE__, "Copy of zip-tool failed. errno=[%d] Path=[%s]",
                 copied.error(), folder.c_str());
  }
  return copied.ok();
}

const char* run_zip_tool(const char* caller, const std::string& folder,
                         const std::string& arguments) {
  QMA_PROC_HANDLE process = nullptr;
  if (QMA_ExecuteProcess(folder.c_str(), kZipTool, arguments.c_str(), &process, nullptr) != 1) {
    QMA_LogError(caller, kSrc, __LINE__, "QMA_ExecuteProcess() error!(zip-tool) Command=[%s/%s %s]",
                 folder.c_str(), kZipTool, arguments.c_str());
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
                 kZipTool, arguments.c_str());
    return "905";
  }
  QMA_LogError(caller, kSrc, __LINE__, "Failure of zip-tool. Command=[%s/%s %s]", folder.c_str(),
               kZipTool, arguments.c_str());
  return "900";
}

}  // namespace qma::commands
