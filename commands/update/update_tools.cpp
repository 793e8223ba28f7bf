// Update-tool process control over the platform's processes, the check for a result file left
// by a tool that outlived the agent, the final statuses of an update and a logged file removal.
#include "commands/update/update_tools.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "commands/update/tool_records.h"
#include "common/cmn/qmcmn.h"
#include "common/host/qma_system.h"
#include "common/log/qma_log.h"
#include "common/qma_funcinit.h"
#include "common/status/qma_status.h"
#include "manager_if/decimal.h"
#include "platform/error.h"
#include "platform/file.h"
#include "platform/process.h"

namespace {

constexpr const char* kSrc = "QMAProc";
constexpr size_t kPathMax = QMA_LEN_PATH - 1;
constexpr size_t kCommandLineMax = 8192 - 1;
constexpr int kMaxWaitSeconds = 65535;
constexpr int kRecordedWaitCap = 500;
// A killed tool is given this long to be gone (and reaped) before the caller goes on.
constexpr uint32_t kKillSettleMs = 2000;

long long handle_number(QMA_PROC_HANDLE hproc) {
  // The process id is what an administrator can look up; a missing handle prints as 0.
  return hproc == nullptr ? 0 : static_cast<long long>(hproc->id());
}

/// Both ways of starting a tool, under the one name the log shows for them.
int execute_process(const char* dir, const char* program, const char* parameters,
                    QMA_PROC_HANDLE* phproc, int* pid, const qma::commands::ToolRequest* request) {
  constexpr const char* kFunc = "QMA_ExecuteProcess";
  QMA_LogInfo(kFunc, kSrc, __LINE__, "QMA_ExecuteProcess() start.");
  if (dir == nullptr || program == nullptr || phproc == nullptr) {
    QMA_LogError(kFunc, kSrc, __LINE__,
                 "Parameter error! pDirName=[%lld] pPrgName=[%lld] pPrgPara=[%lld] phproc=[%lld]",
                 qma::manager_if::pointer_number(dir), qma::manager_if::pointer_number(program),
                 qma::manager_if::pointer_number(parameters),
                 qma::manager_if::pointer_number(phproc));
    return 0;
  }
  if (parameters == nullptr) parameters = "";
  *phproc = nullptr;

  std::string application = qma::platform::join_path(dir, program);
  std::string command_line = std::string("\"") + program + "\" " + parameters;
  // A path or command line that does not fit its buffer would start some other program, or
  // this one with other arguments, once cut: it is not started at all.
  int error = 0;
  if (application.size() > kPathMax || command_line.size() > kCommandLineMax) {
    error = qma::platform::kErrorNameTooLong;
  } else {
    auto started = qma::platform::Process::spawn(application, command_line, dir);
    if (started.ok()) {
      *phproc = new (std::nothrow) qma::platform::Process(std::move(started.value()));
      if (*phproc == nullptr) error = ENOMEM;  // the child runs on and is reaped when it ends
    } else {
      error = started.error();
    }
  }
  if (*phproc == nullptr) {
    QMA_LogError(kFunc, kSrc, __LINE__,
                 "CreateProcess() error! GetLastError=[%d] para1=[%s] para2=[%s]", error,
                 application.c_str(), parameters);
    return 0;
  }
  if (pid != nullptr) *pid = static_cast<int>((*phproc)->id());
  // Until its request is over, the next start of the agent can end what is left of it.
  qma::commands::record_tool((*phproc)->id(), dir, request);
  QMA_LogInfo(kFunc, kSrc, __LINE__, "QMA_ExecuteProcess() end.");
  return 1;
}

}  // namespace

int QMA_ExecuteProcess(const char* dir, const char* program, const char* parameters,
                       QMA_PROC_HANDLE* phproc, int* pid) {
  return execute_process(dir, program, parameters, phproc, pid, nullptr);
}

namespace qma::commands {

int execute_update_tool(const char* dir, const char* program, const char* parameters,
                        QMA_PROC_HANDLE* phproc, int* pid, const ToolRequest& request) {
  return execute_process(dir, program, parameters, phproc, pid, &request);
}

}  // namespace qma::commands

int QMA_WaitForProcTerm(QMA_PROC_HANDLE hproc, int wait_seconds) {
  QMA_LogInfo(__func__, kSrc, __LINE__, "QMA_WaitForProcTerm() start.");
  if (hproc == nullptr) {
    QMA_LogError(__func__, kSrc, __LINE__, "Parameter error! hproc=[%lld]", handle_number(hproc));
    return 0;
  }
  if (wait_seconds <= 0 || wait_seconds > kMaxWaitSeconds) {
    QMA_LogError(__func__, kSrc, __LINE__, "Parameter error! iWaitTime=[%d]", wait_seconds);
    return 0;
  }
  int result;
  switch (hproc->wait(static_cast<uint32_t>(wait_seconds) * 1000u)) {
    case qma::platform::WaitStatus::kSignaled:
      result = 1;
      break;
    case qma::platform::WaitStatus::kAbandoned:
      QMA_LogWarning(__func__, kSrc, __LINE__,
                     "Child process had already finished. hproc=[%lld] iWaitTime=[%d]",
                     handle_number(hproc), wait_seconds);
      result = 1;
      break;
    case qma::platform::WaitStatus::kTimeout:
      QMA_LogWarning(__func__, kSrc, __LINE__,
                     "Timeout of child process. hproc=[%lld] iWaitTime=[%d]", handle_number(hproc),
                     wait_seconds);
      result = -1;
      break;
    default:
      QMA_LogError(__func__, kSrc, __LINE__,
                   "WaitForSingleObject() error! GetLastError=[%d] hproc=[%lld] iWaitTime=[%d]",
                   qma::platform::last_error(), handle_number(hproc), wait_seconds);
      result = 0;
      break;
  }
  QMA_LogInfo(__func__, kSrc, __LINE__, "QMA_WaitForProcTerm() end.");
  return result;
}

int QMA_CheckResultFile(int raw, const char* dir, const QMA_PKG_INFO_VALUES* values) {
  QMA_LogInfo(__func__, kSrc, __LINE__, "QMA_CheckResultFile() start.");
  if (dir == nullptr || values == nullptr) return 0;
  if (raw == 0) {
    int seconds = qma::commands::recorded_tool_wait_seconds(values->TimeLimit);
    int pid = qma::manager_if::decimal_value(values->ProcessId, sizeof values->ProcessId);
    // A plain start waits only for a tool its previous run recorded as running: after a
    // normal end the recorded id may belong to any later process.
    const bool ours = qma::commands::waits_for_unrecorded_tools() ||
                      (pid > 0 && qma::commands::recorded_tool_running(static_cast<uint32_t>(pid)));
    auto opened = pid > 0 && ours ? qma::platform::Process::open(static_cast<uint32_t>(pid))
                                  : qma::platform::Result<qma::platform::Process>::failure(ESRCH);
    if (!opened.ok()) {
      // Normally the tool has ended already.
      QMA_LogWarning(__func__, kSrc, __LINE__, "OpenProcess() error! GetLastError=[%d]",
                     opened.error());
    } else {
      int waited = QMA_WaitForProcTerm(&opened.value(), seconds);
      if (waited == -1) {
        QMA_LogError(__func__, kSrc, __LINE__, "QMA_WaitForProcTerm() timeout error!");
      } else if (waited == 0) {
        QMA_LogError(__func__, kSrc, __LINE__, "QMA_WaitForProcTerm() error!");
      }
    }
  }
  if (QMA_Cmn_CheckFile(dir, values->ResultFileName) == 1) {
    QMA_LogInfo(__func__, kSrc, __LINE__, "Detected file of PKG Response. path[%s] filename=[%s]",
                dir, values->ResultFileName);
    return 1;
  }
  QMA_LogInfo(__func__, kSrc, __LINE__, "Not found file of PKG Response. path[%s] filename=[%s]",
              dir, values->ResultFileName);
  return 0;
}

void QMA_SetModuleStatus(const CMDTbl* cmd, int success, int declined, const char* descriptor) {
  QMA_LogInfo(__func__, kSrc, __LINE__, "QMA_SetModuleStatus() start.");
  if (cmd == nullptr) return;
  const char* module = cmd->ReqInfo.QMMData.ModuleID;
  const char* option =
      cmd->ReqInfo.QMMData.OptionID[0] != '\0' ? cmd->ReqInfo.QMMData.OptionID : nullptr;
  if (success != 0) {
    char reboot[QMA_LEN_PATH] = {};
    const char* path[] = {"quillmend_package", "reboot", ""};
    if (descriptor == nullptr || g_QMAgentSub.QMA_XML_GetElementValueForFile == nullptr ||
        g_QMAgentSub.QMA_XML_GetElementValueForFile(QMA_LogError, descriptor, path, reboot,
                                                    sizeof reboot) != 1) {
      QMA_LogWarning(__func__, kSrc, __LINE__, "reboot_info get error!! FileName=[%s]",
                     descriptor != nullptr ? descriptor : "");
      QMCmnStrnCpy(reboot, "false", sizeof reboot);
    }
    if (std::strcmp(reboot, "true") == 0) {
      QMA_Cmn_AgentStatus_Change(QMA_AGTSTAT_REBOOT);
      QMA_Cmn_Set_ModuleStatus(module, QMA_MODSTAT_REBOOT, option);
      QMA_LogInfo(__func__, kSrc, __LINE__, "QMAgentStatus(%d)", QMA_MODSTAT_REBOOT);
    } else {
      QMA_Cmn_AgentStatus_Change(QMA_AGTSTAT_NORMAL);
      QMA_Cmn_Set_ModuleStatus(module, QMA_MODSTAT_OK, option);
      QMA_LogInfo(__func__, kSrc, __LINE__, "QMAgentStatus(%d)", QMA_MODSTAT_OK);
    }
  } else {
    QMA_Cmn_AgentStatus_Change(QMA_AGTSTAT_NORMAL);
    if (declined != 1) {
      QMA_Cmn_Set_ModuleStatus(module, QMA_MODSTAT_FAILED, option);
      QMA_LogInfo(__func__, kSrc, __LINE__, "QMAgentStatus(%d)", QMA_MODSTAT_FAILED);
    }
  }
  QMA_LogInfo(__func__, kSrc, __LINE__, "QMA_SetModuleStatus() end.");
}

void QMA_RemoveFile(const char* path) {
  QMA_LogInfo(__func__, kSrc, __LINE__, "QMA_RemoveFile() start.");
  if (path != nullptr) {
    auto removed = qma::platform::delete_file(path);
    if (!removed.ok()) {
      if (removed.error() == ENOENT) {
        QMA_LogInfo(__func__, kSrc, __LINE__, "There is not exists file [%s]", path);
      } else {
        QMA_LogError(__func__, kSrc, __LINE__, "remove() error! errno=[%d], filename=[%s]",
                     removed.error(), path);
      }
    }
  }
  QMA_LogInfo(__func__, kSrc, __LINE__, "QMA_RemoveFile() end.");
}

void QMA_CloseProcHandle(QMA_PROC_HANDLE* phproc) {
  if (phproc == nullptr) return;
  // A tool that has ended takes along whatever it left in its process group. One that still
  // runs (left running past its time limit) keeps its record, so the next start ends it.
  if (*phproc != nullptr) {
    if ((*phproc)->wait(0) == qma::platform::WaitStatus::kSignaled) {
      qma::commands::settle_ended_tool((*phproc)->id());
    } else {
      qma::commands::release_tool_request((*phproc)->id());
    }
  }
  delete *phproc;
  *phproc = nullptr;
}

int QMA_TerminateProcess(QMA_PROC_HANDLE hproc) {
  if (hproc == nullptr) return 0;
  int error = 0;
  if (qma::commands::kill_tool(hproc, &error) != 0) {
    QMA_LogError(__func__, kSrc, __LINE__, "TerminateProcess() error! GetLastError=[%d] pid=[%lld]",
                 error, handle_number(hproc));
    return 0;
  }
  return 1;
}

namespace qma::commands {

int kill_tool(QMA_PROC_HANDLE hproc, int* error) {
  if (hproc == nullptr) {
    *error = EINVAL;
    return -1;
  }
  // Whatever the tool started goes with it: a helper left behind would go on writing into
  // the module folder after the agent has given the tool up.
  auto killed = hproc->kill_tree();
  if (!killed.ok()) {
    *error = killed.error();
    return -1;
  }
  (void)hproc->wait(kKillSettleMs);
  *error = 0;
  return 0;
}

const char* refusal_code(const char* word) {
  static const struct {
    const char* word;
    const char* code;
  } kRefusals[] = {{"NotInstalled", "771"},
                   {"DownGrade", "772"},
                   {"Depend", "773"},
                   {"AlreadyInstalled", "774"},
                   {"Duplex", "775"}};
  if (word == nullptr) return nullptr;
  for (const auto& refusal : kRefusals) {
    if (std::strcmp(word, refusal.word) == 0) return refusal.code;
  }
  return nullptr;
}

const char* final_result_code(const char* word, bool* success, bool* declined) {
  *success = false;
  *declined = false;
  if (word != nullptr && std::strcmp(word, "Complete") == 0) {
    *success = true;
    return "600";
  }
  const char* code = refusal_code(word);
  if (code != nullptr) *declined = true;
  return code;
}

int recorded_tool_wait_seconds(const char* time_limit) {
  int seconds = qma::manager_if::decimal_value(time_limit, QMA_LEN_PATH);
  if (seconds < 0 || seconds > kRecordedWaitCap) seconds = kRecordedWaitCap;
  return seconds;
}

}  // namespace qma::commands
