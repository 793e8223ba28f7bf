// The get-version command (code 1): the agent and host information, the built-in BIOS, BMC and
// agent entries, and one entry per module folder of the package root, read by running the
// module's own tool in "get_version" mode.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "commands/module_files.h"
#include "commands/qma_commands.h"
#include "commands/update/update_tools.h"
#include "commands/version/qma_get_version.h"
#include "common/cmn/qmcmn.h"
#include "common/host/qma_inventory.h"
#include "common/host/qma_system.h"
#include "common/log/qma_log.h"
#include "common/qma_config.h"
#include "common/status/qma_status.h"
#include "manager_if/decimal.h"
#include "manager_if/qma_manager_if.h"
#include "platform/error.h"
#include "platform/file.h"

namespace {

constexpr const char* kSrc = "QMAProc";
constexpr const char* kFunc = "QMA_ExecuteForGetVersionCommand";
constexpr const char* kMode = "get_version";
constexpr const char* kDefaultTimeout = "1800";

using qma::commands::kGetVersionResult;
using qma::commands::kPackageDescriptor;
using qma::commands::ToolRun;
using qma::platform::join_path;

// The answer's header and OS record; false when the OS information cannot be had.
bool fill_header(CMDTbl& cmd) {
  ResInfo& res = cmd.ResInfo;
  QMCmnCopyField(res.InReplyTo, cmd.ReqInfo.MessageID);
  QMCmnCopyField(res.CommandCode, cmd.ReqInfo.CommandCode);
  QMCmnCopyField(res.Status, "600");
  QMA_Cmn_AgentStatus_GetString(res.AgentStatus, sizeof res.AgentStatus);
  QMCmnCopyField(res.AgentVersion, g_QMAConfig.AgentVersion);
  (void)QMA_Cmn_GetHostName(res.HostName, sizeof res.HostName);

  if ((g_QMAConfig.SystemInfo == nullptr || g_QMAConfig.SystemInfo->major[0] == '\0') &&
      QMA_GetOSInformation() != 1) {
    QMA_LogError(kFunc, kSrc, __LINE__, "QMA_GetOSInformation() error!");
    QMCmnCopyField(res.Status, "900");
    return false;
  }
  const QMA_SYSTEM_INFO& os = *g_QMAConfig.SystemInfo;
  QMCmnCopyField(res.major, os.major);
  QMCmnCopyField(res.minor, os.minor);
  QMCmnCopyField(res.sp_major, os.sp_major);
  QMCmnCopyField(res.sp_minor, os.sp_minor);
  QMCmnCopyField(res.arch, os.arch);
  QMCmnCopyField(res.refid, "0");
  QMCmnCopyField(res.product_type, os.product_type);
  QMCmnCopyField(res.OSName, os.os_name);
  std::memset(res.model_name, 0, sizeof res.model_name);
  std::memset(res.parent_n_code, 0, sizeof res.parent_n_code);
  (void)QMA_getProductName(res.model_name, sizeof res.model_name, res.parent_n_code,
                           sizeof res.parent_n_code);
  std::memset(res.Guid, 0, sizeof res.Guid);
  (void)QMA_getGUID(res.Guid, sizeof res.Guid);
  std::memset(res.Serial, 0, sizeof res.Serial);
  (void)QMA_getSerialNumber(res.Serial, sizeof res.Serial);
  return true;
}

void builtin_entry(ModuleVersionEntry& entry, const char* id, const char* name_ja,
                   const char* name_en, const char* version, const char* compare,
                   const char* message_en, const char* message_ja) {
  QMCmnCopyField(entry.ModuleID, id);
  QMCmnCopyField(entry.ModuleNameJa, name_ja);
  QMCmnCopyField(entry.ModuleNameEn, name_en);
  QMCmnCopyField(entry.CurrentVersion, version);
  QMCmnCopyField(entry.ModuleStatus, "0");
  QMCmnCopyField(entry.PackageID, "NoPackage");
  QMCmnCopyField(entry.Compare, compare);
  QMCmnCopyField(entry.ToolOutputLogEn, message_en);
  QMCmnCopyField(entry.ToolOutputLogJa, message_ja);
}

// Frees a table and the option records of its first `count` entries.
void free_table(ModuleVersionEntry* table, int count) {
  for (int i = 0; i < count; ++i) {
    if (table[i].ExtInfo != nullptr) {
      std::free(table[i].ExtInfo->Options);
      std::free(table[i].ExtInfo);
    }
  }
  std::free(table);
}

// Runs the module's tool once; its handle is published in the thread table while it runs.
ToolRun run_tool(MPITbl& mpi, const std::string& folder, const char* command_line,
                 const char* timeout) {
  // The program is the command line up to its first blank, the rest its arguments.
  std::string program = command_line;
  const char* arguments = nullptr;
  std::string rest;
  if (size_t blank = program.find(' '); blank != std::string::npos) {
    rest = program.substr(blank + 1);
    program.resize(blank);
    arguments = rest.c_str();
  }
  const char* shown_arguments = arguments != nullptr ? arguments : "";
  mpi.hProcess = nullptr;
  int pid = 0;
  if (QMA_ExecuteProcess(folder.c_str(), program.c_str(), arguments, &mpi.hProcess, &pid) != 1) {
    QMA_LogError(kFunc, kSrc, __LINE__, "QMA_ExecuteProcess() error! [%s%c%s]", folder.c_str(),
                 qma::platform::kPathSeparator, command_line);
    QMA_CloseProcHandle(&mpi.hProcess);
    return ToolRun::kNotStarted;
  }
  QMA_LogInfo(kFunc, kSrc, __LINE__, "Execute update-tool. Command=[%s %s]", program.c_str(),
              shown_arguments);
  int seconds = std::atoi(timeout);
  int waited = QMA_WaitForProcTerm(mpi.hProcess, seconds);
  ToolRun run;
  if (waited == 1) {
    QMA_LogInfo(kFunc, kSrc, __LINE__, "Finished update-tool. Command=[%s %s]", program.c_str(),
                shown_arguments);
    run = ToolRun::kFinished;
  } else if (waited == -1) {
    QMA_LogWarning(kFunc, kSrc, __LINE__, "Timeout of update-tool. Command=[%s %s]",
                   program.c_str(), shown_arguments);
    qma::commands::end_get_version_tool(mpi.hProcess, pid);
    run = ToolRun::kTimedOut;
  } else {
    QMA_LogError(kFunc, kSrc, __LINE__, "Wait to finish of update-tool error! [%d sec.]", seconds);
    // A tool nobody waits for any more would write into a later run's result.
    qma::commands::end_get_version_tool(mpi.hProcess, pid);
    run = ToolRun::kWaitFailed;
  }
  QMA_CloseProcHandle(&mpi.hProcess);
  return run;
}

// One module folder into its entry; false when its descriptor names no get_version command,
// which fails the whole command.
bool process_module(MPITbl& mpi, const ReqInfo& request, const std::string& root,
                    const std::string& module_id, ModuleVersionEntry& entry) {
  const std::string folder = join_path(root, module_id);
  const std::string descriptor = join_path(folder, kPackageDescriptor);
  char timeout[QMA_LEN_SHORT] = {};
  int found = QMA_GetCommandFromQuillInfo(descriptor.c_str(), kMode, entry.CommandLine,
                                          sizeof entry.CommandLine, timeout, sizeof timeout);
  if (found == 0) {
    QMA_LogError(kFunc, kSrc, __LINE__, "QMA_GetCommandFromQuillInfo() error! [%s:%s]", kMode,
                 descriptor.c_str());
    return false;
  }
  if (found == -1) {
    QMA_LogWarning(kFunc, kSrc, __LINE__, "QMA_GetCommandFromQuillInfo() error! [%s:%s:%s]", kMode,
                   "timeout", descriptor.c_str());
    QMCmnCopyField(timeout, kDefaultTimeout);
  }
  // The lock comes first: a result left in the folder while another run of the module holds
  // the lock is that run's fresh answer, not a stale one.
  if (QMA_getVersionLock(module_id.c_str()) == 0) {
    QMA_LogError(kFunc, kSrc, __LINE__, "QMA_getVersionLock() error!");
  }
  if (QMA_Cmn_CheckFile(folder.c_str(), kGetVersionResult) == 1) {
    const std::string result = join_path(folder, kGetVersionResult);
    QMA_LogWarning(kFunc, kSrc, __LINE__, "Get_version.xml already exist! [%s]", result.c_str());
    (void)qma::platform::delete_file(result);
  }
  ToolRun run = run_tool(mpi, folder, entry.CommandLine, timeout);
  qma::commands::finish_module(request, folder, module_id, run, entry);
  QMA_getVersionUnlock(module_id.c_str());
  return true;
}

}  // namespace

namespace qma::commands {

void end_get_version_tool(QMA_PROC_HANDLE tool, int pid) {
  int error = 0;
  const int result = kill_tool(tool, &error);
  if (result == 0) return;
  // The command the platform runs in the place of "taskkill /F /PID n /T".
  char command[64];
  std::snprintf(command, sizeof command, "kill -KILL -%d", pid);
  QMA_LogError(kFunc, kSrc, __LINE__, "system( \"%s\" ) error!! iRet=[%d], errno=[%d]", command,
               result, error);
}

}  // namespace qma::commands

int QMA_ExecuteForGetVersionCommand(MPITbl* mpi, CMDTbl* cmd) {
  if (cmd == nullptr) {
    QMA_LogError(kFunc, kSrc, __LINE__, "Parameter error! pstMPITbl=[%lld] pstCMDTbl=[%lld]",
                 qma::manager_if::pointer_number(mpi), qma::manager_if::pointer_number(cmd));
    return 0;
  }
  const ReqInfo& req = cmd->ReqInfo;
  QMA_LogInfo(kFunc, kSrc, __LINE__,
              "Start QMA_ExecuteForGetVersionCommand(). MsgVer=[%s] MsgID=[%s] CmnCD=[%s] "
              "ModuleId=[%s]",
              req.MessageVersion, req.MessageID, req.CommandCode, req.QMMData.ModuleID);
  // Without a thread table (a direct call) the tool's handle is held here.
  MPITbl local{};
  MPITbl& thread_table = mpi != nullptr ? *mpi : local;
  ResInfo& res = cmd->ResInfo;
  if (!fill_header(*cmd)) return 0;

  const std::string root = QMA_Cmn_GetPackageRoot();
  qma::commands::PackageRootScan scan = qma::commands::scan_package_root(root);
  if (!scan.listed) {
    QMA_LogError(kFunc, kSrc, __LINE__, "FindFirstFile() error! GetLastError=[%d] [%s]",
                 qma::platform::last_error(), root.c_str());
  }
  char bmc_revision[QMA_LEN_PATH] = {};
  bool with_bmc = !scan.has_bmc && QMA_getBmcFWRevision(bmc_revision) == 0;
  int size = static_cast<int>(scan.modules.size()) + (scan.has_bios ? 0 : 1) + (with_bmc ? 1 : 0) +
             (scan.has_agent ? 0 : 1);
  auto* table = static_cast<ModuleVersionEntry*>(
      std::calloc(size > 0 ? size : 1, sizeof(ModuleVersionEntry)));
  if (table == nullptr) {
    QMCmnCopyField(res.Status, "900");
    QMA_LogError(kFunc, kSrc, __LINE__,
                 "Module version information table was not allocated.(iTblCnt=%d)", size);
    return 0;
  }

  int filled = 0;
  if (!scan.has_bios) {
    char bios[QMA_LEN_PATH] = {};
    (void)QMA_getBiosVersion(bios, sizeof bios);
    builtin_entry(table[filled++], qma::commands::kBiosModuleId, "システム BIOS", "System BIOS",
                  bios, "", "(en)BIOS_VersionGet_Success", "(jp)BIOS_VersionGet_Success");
  }
  if (with_bmc) {
    builtin_entry(table[filled++], qma::commands::kBmcModuleId, "BMC ファームウェア",
                  "BMC Firmware", bmc_revision, "", "(en)BMC_VersionGet_Success",
                  "(jp)BMC_VersionGet_Success");
  }
  if (!scan.has_agent) {
    builtin_entry(table[filled++], qma::commands::kAgentModuleId, "Quillmend Agent",
                  "Norvik Quillmend Agent", g_QMAConfig.AgentVersion, "even",
                  "(en)QMA_VersionGet_Success", "(jp)QMA_VersionGet_Success");
  }

  // The second scan: folders that appeared since the first one are processed while room is left.
  qma::commands::PackageRootScan folders = qma::commands::scan_package_root(root);
  for (const std::string& module_id : folders.modules) {
    if (filled >= size) break;
    if (!process_module(thread_table, req, root, module_id, table[filled])) {
      // One module without a usable command fails the whole command: nothing is reported.
      free_table(table, filled);
      QMCmnCopyField(res.Status, "900");
      return 0;
    }
    ++filled;
  }
  res.ModuleList = table;
  res.ModuleCount = filled;
  QMA_LogInfo(kFunc, kSrc, __LINE__, "QMA_ExecuteForGetVersionCommand() end.");
  return 1;
}
