// The update command: codes 3 (update, forced update, install, uninstall: first answer on the
// pipe, completion by notice) and 4 (progress of a running update).
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "commands/module_files.h"
#include "commands/qma_commands.h"
#include "commands/update/option_id.h"
#include "commands/update/package_info.h"
#include "commands/update/tool_records.h"
#include "commands/update/update_tools.h"
#include "commands/version/qma_get_version.h"
#include "common/cmn/qmcmn.h"
#include "common/host/qma_system.h"
#include "common/log/qma_log.h"
#include "common/qma_config.h"
#include "common/qma_funcinit.h"
#include "common/status/qma_status.h"
#include "manager_if/decimal.h"
#include "manager_if/qma_manager_if.h"
#include "manager_if/qma_moxclient.h"
#include "platform/clock.h"
#include "platform/environment.h"
#include "platform/file.h"
#include "platform/process.h"

namespace {

constexpr const char* kSrc = "QMAProc";
constexpr size_t kPathMax = QMA_LEN_PATH - 1;
constexpr const char* kDefaultTimeLimit = "100";
constexpr uint32_t kPollPauseMs = 1000;
// A first answer that does not parse is read once more after this pause: the tool may be
// writing it in place just then.
constexpr uint32_t kRereadPauseMs = 1000;
constexpr const char* kModes[] = {"update_normal", "update_force", "install", "un_install",
                                  "get_ratio"};

const char* const kResultCodePath[] = {"Response", "result_code", ""};
const char* const kDataPath[] = {"Response", "data", ""};
const char* const kVersionPath[] = {"Response", "data", "version", ""};
const char* const kOptionPath[] = {"Response", "extension", "option", ""};
const char* const kPackageVersionPath[] = {"quillmend_package", "version", ""};

bool known_mode(const char* mode) {
  for (const char* known : kModes) {
    if (std::strcmp(mode, known) == 0) return true;
  }
  return false;
}

/// A module id names one folder of the package root, never a path out of it.
bool plain_module_id(const char* id) {
  return std::strcmp(id, ".") != 0 && std::strcmp(id, "..") != 0 &&
         std::strchr(id, '/') == nullptr && std::strchr(id, '\\') == nullptr;
}

/// The mode with its first letter in upper case, then ".xml" ("Update_normal.xml").
std::string result_file_name(const char* mode) {
  std::string name = std::string(mode) + ".xml";
  name[0] = static_cast<char>(QMCmnToUpper(static_cast<unsigned char>(name[0])));
  return name;
}

bool read_element(const std::string& file, const char* const* path, char* out, size_t size) {
  return g_QMAgentSub.QMA_XML_GetElementValueForFile != nullptr &&
         g_QMAgentSub.QMA_XML_GetElementValueForFile(QMA_LogError, file.c_str(), path, out,
                                                     static_cast<int>(size)) == 1;
}

void fill_messages(const std::string& descriptor, const char* word, ResInfo& res) {
  if (g_QMAgentSub.QMA_XML_GetStatusMsg == nullptr) return;
  (void)g_QMAgentSub.QMA_XML_GetStatusMsg(QMA_LogError, descriptor.c_str(), word,
                                          res.ToolOutputLogJa, sizeof res.ToolOutputLogJa,
                                          res.ToolOutputLogEn, sizeof res.ToolOutputLogEn);
}

/// The option a result file names against the request's. Null when they agree (or no option
/// was asked for); "906" when the file names none, "907" when it names another, with the
/// status word then "ErrorInAgent".
const char* check_option(const std::string& result, CMDTbl* cmd, char* word, size_t word_size) {
  ResInfo& res = cmd->ResInfo;
  const char* requested = cmd->ReqInfo.QMMData.OptionID;
  std::memset(res.OptionEcho, 0, sizeof res.OptionEcho);
  if (requested[0] == '\0') return nullptr;
  if (g_QMAgentSub.QMA_XML_GetAttributeValueForFile == nullptr ||
      g_QMAgentSub.QMA_XML_GetAttributeValueForFile(QMA_LogError, result.c_str(), kOptionPath, "id",
                                                    1, res.OptionEcho,
                                                    sizeof res.OptionEcho) != 1) {
    std::memset(res.OptionEcho, 0, sizeof res.OptionEcho);
    QMA_LogError("QMA_ExecuteForUpdateCommand", kSrc, __LINE__,
                 "Get result of update-tool error! [%s:%s]", "id", result.c_str());
    QMCmnStrnCpy(word, "ErrorInAgent", word_size);
    return "906";
  }
  if (std::strcmp(res.OptionEcho, requested) != 0) {
    QMA_LogWarning("QMA_ExecuteForUpdateCommand", kSrc, __LINE__, "Option ID is unmatch! [%s:%s]",
                   requested, res.OptionEcho);
    QMCmnStrnCpy(word, "ErrorInAgent", word_size);
    return "907";
  }
  return nullptr;
}

void delete_in(const std::string& dir, std::initializer_list<const char*> names) {
  for (const char* name : names)
    (void)qma::platform::delete_file(qma::platform::join_path(dir, name));
}

/// The result files of the four update modes.
void delete_update_answers(const std::string& dir) {
  delete_in(dir, {"Update_normal.xml", "Update_force.xml", "Install.xml", "Un_install.xml"});
}

void free_response(MPITbl* mpi) {
  std::free(mpi->ResText);
  mpi->ResText = nullptr;
  mpi->ResTextLength = 0;
}

/// The communication service's script, run and waited for before a notice; it is not part of
/// the agent and its outcome does not matter.
void run_restart_script(const std::optional<std::string>& home) {
  std::string script =
      qma::platform::join_path(qma::platform::join_path(home.value_or(""), "bin"),
                               std::string("moxSlpReStart") + qma::platform::kScriptExtension);
  char text[QMA_LEN_PATH];
  std::snprintf(text, sizeof text, "\"\"%s\"\"", script.c_str());
  QMA_LogInfo("QMA_ExecuteForUpdateCommand", kSrc, __LINE__, "moxSlpReStartBatFile[%s]", text);
  int result = -1;
  int error = 0;
  if (home && qma::platform::file_readable(script)) {
    result = qma::platform::run_script(script);
  } else {
    error = ENOENT;
  }
  QMA_LogInfo("QMA_ExecuteForUpdateCommand", kSrc, __LINE__,
              "system( \"%s\" ) !! nResult=[%d], errno=[%d]", text, result, error);
}

void refuse(CMDTbl* cmd) {
  QMCmnCopyField(cmd->ResInfo.InReplyTo, cmd->ReqInfo.MessageID);
  QMCmnCopyField(cmd->ResInfo.CommandCode, cmd->ReqInfo.CommandCode);
  QMCmnCopyField(cmd->ResInfo.Status, "900");
}

struct Run {
  MPITbl* mpi;
  CMDTbl* cmd;
  std::string module_dir;
  std::string descriptor;
  std::string program;
  std::string parameters;
  std::string time_limit;
  int seconds = 0;
  int pid = 0;
  std::optional<std::string> home;
};

int progress_path(Run& run) {
  CMDTbl* cmd = run.cmd;
  ResInfo& res = cmd->ResInfo;
  const QMMData& data = cmd->ReqInfo.QMMData;
  char word[QMA_LEN_SHORT] = {};
  char progress[QMA_LEN_PATH] = {};
  const char* code;
  const std::string result = qma::platform::join_path(run.module_dir, "get_ratio.xml");

  int waited = QMA_WaitForProcTerm(run.mpi->hProcess, run.seconds);
  QMA_CloseProcHandle(&run.mpi->hProcess);
  if (waited == 1) {
    QMA_LogInfo("QMA_ExecuteForUpdateCommand", kSrc, __LINE__,
                "Finished update-tool. MsgId=[%s] ModuleID=[%s] Command=[%s %s]",
                cmd->ReqInfo.MessageID, data.ModuleID, run.program.c_str(), run.parameters.c_str());
    if (!read_element(result, kResultCodePath, word, sizeof word)) {
      QMA_LogError("QMA_ExecuteForUpdateCommand", kSrc, __LINE__,
                   "Get result of update-tool error! ModuleID=[%s] [%s:%s]", data.ModuleID,
                   "result_code", result.c_str());
      QMCmnStrnCpy(word, "ErrorInAgent", sizeof word);
    }
    if (std::strcmp(word, "OK") == 0) {
      code = "600";
    } else if (std::strcmp(word, "No-Command") == 0) {
      code = "908";
    } else {
      code = "900";
      QMA_LogError("QMA_ExecuteForUpdateCommand", kSrc, __LINE__,
                   "Result of update-tool is invalid! [%s:%s]", word, result.c_str());
    }
    if (std::strcmp(code, "600") == 0) {
      if (!read_element(result, kDataPath, progress, sizeof progress)) {
        QMA_LogError("QMA_ExecuteForUpdateCommand", kSrc, __LINE__,
                     "Get result of update-tool error! [%s:%s]", "data", result.c_str());
        std::memset(progress, 0, sizeof progress);
        QMCmnStrnCpy(word, "ErrorInAgent", sizeof word);
        code = "900";
      }
    }
    if (std::strcmp(code, "600") == 0) {
      const char* option_code = check_option(result, cmd, word, sizeof word);
      if (option_code != nullptr) code = option_code;
    } else {
      std::memset(res.OptionEcho, 0, sizeof res.OptionEcho);
    }
  } else if (waited == -1) {
    QMCmnStrnCpy(word, "ErrorInAgent", sizeof word);
    code = "905";
  } else {
    QMA_LogError("QMA_ExecuteForUpdateCommand", kSrc, __LINE__,
                 "Wait to finish of update-tool error! [%d sec.]", run.seconds);
    QMCmnStrnCpy(word, "ErrorInAgent", sizeof word);
    code = "900";
  }
  (void)qma::platform::delete_file(result);

  QMCmnCopyField(res.InReplyTo, cmd->ReqInfo.MessageID);
  QMCmnCopyField(res.CommandCode, cmd->ReqInfo.CommandCode);
  QMCmnCopyField(res.Status, code);
  QMCmnCopyField(res.Progress, progress);
  fill_messages(run.descriptor, word, res);
  QMA_LogInfo("QMA_ExecuteForUpdateCommand", kSrc, __LINE__,
              "Result of update-tool. MsgVer=[%s] MsgID=[%s] CmdCD=[%s] ModuleID=[%s] "
              "cUpResultValue=[%s] ResultFile=[%s]",
              cmd->ReqInfo.MessageVersion, cmd->ReqInfo.MessageID, cmd->ReqInfo.CommandCode,
              data.ModuleID, code, result.c_str());
  return 1;
}

int update_path(Run& run) {
  MPITbl* mpi = run.mpi;
  CMDTbl* cmd = run.cmd;
  ResInfo& res = cmd->ResInfo;
  const QMMData& data = cmd->ReqInfo.QMMData;
  const char* option = data.OptionID[0] != '\0' ? data.OptionID : nullptr;
  const std::string file_name = std::string(data.Mode) + ".xml";
  const std::string result = qma::platform::join_path(run.module_dir, file_name);
  char word[QMA_LEN_PATH] = {};
  const char* code;
  bool waiting = false;
  bool declined = false;

  QMA_Cmn_AgentStatus_Change(QMA_AGTSTAT_BUSY);

  // The first answer: the result file of the running mode, looked for about once a second.
  bool answered = false;
  for (int count = 0;; ++count) {
    if (QMA_Cmn_CheckFile(run.module_dir.c_str(), file_name.c_str()) == 1) {
      answered = true;
      break;
    }
    if (count >= run.seconds) {
      QMA_LogError(
          "QMA_ExecuteForUpdateCommand", kSrc, __LINE__,
          "Timeout error!(first response from update-tool). Result file not created.[%s%c%s]",
          run.module_dir.c_str(), qma::platform::kPathSeparator, file_name.c_str());
      (void)QMA_TerminateProcess(mpi->hProcess);
      break;
    }
    QMA_LogError("QMA_ExecuteForUpdateCommand", kSrc, __LINE__,
                 "Result file of update-tool not found. [%s%c%s]", run.module_dir.c_str(),
                 qma::platform::kPathSeparator, file_name.c_str());
    qma::platform::sleep_ms(kPollPauseMs);
  }

  if (answered) {
    QMA_LogInfo("QMA_ExecuteForUpdateCommand", kSrc, __LINE__,
                "Accepted of update-tool. Command=[%s %s]", run.program.c_str(),
                run.parameters.c_str());
    if (!read_element(result, kResultCodePath, word, sizeof word)) {
      qma::platform::sleep_ms(kRereadPauseMs);
      if (!read_element(result, kResultCodePath, word, sizeof word)) {
        QMA_LogError("QMA_ExecuteForUpdateCommand", kSrc, __LINE__,
                     "Get result of update-tool error! [%s:%s]", "result_code", result.c_str());
        QMCmnStrnCpy(word, "ErrorInAgent", sizeof word);
      }
    }
    if (std::strcmp(word, "OK") == 0) {
      code = "601";
      waiting = true;
      const char* option_code = check_option(result, cmd, word, sizeof word);
      if (option_code != nullptr) code = option_code;
    } else if ((code = qma::commands::refusal_code(word)) != nullptr) {
      declined = true;
    } else {
      code = "900";
      QMA_LogError("QMA_ExecuteForUpdateCommand", kSrc, __LINE__,
                   "Result of update-tool is invalid! [%s:%s]", word, result.c_str());
    }
    // The final answer is read from a fresh file. The first one goes before the update is on
    // record as answered: a start that finishes the update after a crash keeps what the tool
    // writes next and must never take the first answer for the last.
    delete_update_answers(run.module_dir);
    QMA_CreateInfoFile(cmd, run.time_limit.c_str(), file_name.c_str(), run.pid);
    qma::commands::record_tool_answered(static_cast<uint32_t>(run.pid));
    QMA_LogInfo("QMA_ExecuteForUpdateCommand", kSrc, __LINE__, "dProcId[%d]", run.pid);
  } else {
    code = "905";
    QMCmnStrnCpy(word, "TIMEOUT", sizeof word);
  }

  // The accepted answer, on the pipe at once.
  QMCmnCopyField(res.InReplyTo, cmd->ReqInfo.MessageID);
  QMCmnCopyField(res.CommandCode, cmd->ReqInfo.CommandCode);
  QMCmnCopyField(res.Status, code);
  fill_messages(run.descriptor, word, res);
  free_response(mpi);
  if (QMA_MakeSendData(mpi, cmd, 0) != 1) {
    QMA_LogError("QMA_ExecuteForUpdateCommand", kSrc, __LINE__, "Accepted data create error!");
    waiting = false;
  } else if (QMA_dataSendToMox(mpi) != 1) {
    QMA_LogError("QMA_ExecuteForUpdateCommand", kSrc, __LINE__, "Accepted data send error!");
    waiting = false;
  }
  // A late first answer is not read as the final one either.
  if (!answered) delete_update_answers(run.module_dir);
  free_response(mpi);

  if (!waiting) {
    QMA_CloseProcHandle(&mpi->hProcess);
    QMA_Cmn_AgentStatus_Change(QMA_AGTSTAT_NORMAL);
    if (!declined) QMA_Cmn_Set_ModuleStatus(data.ModuleID, QMA_MODSTAT_FAILED, option);
    return 0;
  }

  // Completion.
  bool success = false;
  int waited = QMA_WaitForProcTerm(mpi->hProcess, run.seconds);
  QMA_CloseProcHandle(&mpi->hProcess);
  if (waited == 1) {
    QMA_LogInfo("QMA_ExecuteForUpdateCommand", kSrc, __LINE__,
                "Finished update-tool. Command=[%s %s]", run.program.c_str(),
                run.parameters.c_str());
    if (!read_element(result, kResultCodePath, word, sizeof word)) {
      QMA_LogError("QMA_ExecuteForUpdateCommand", kSrc, __LINE__,
                   "Get result of update-tool error! [%s:%s]", "result_code", result.c_str());
      QMCmnStrnCpy(word, "ErrorInAgent", sizeof word);
    }
    code = qma::commands::final_result_code(word, &success, &declined);
    if (code == nullptr) {
      code = "900";
      QMA_LogError("QMA_ExecuteForUpdateCommand", kSrc, __LINE__,
                   "Result of update-tool is invalid! [%s:%s]", word, result.c_str());
    } else if (success) {
      const char* option_code = check_option(result, cmd, word, sizeof word);
      if (option_code != nullptr) code = option_code;
    }
  } else if (waited == -1) {
    QMA_LogWarning("QMA_ExecuteForUpdateCommand", kSrc, __LINE__,
                   "Timeout of update-tool. Command=[%s %s]", run.program.c_str(),
                   run.parameters.c_str());
    code = "905";
    QMCmnStrnCpy(word, "TIMEOUT", sizeof word);
  } else {
    QMA_LogError("QMA_ExecuteForUpdateCommand", kSrc, __LINE__,
                 "Wait to finish of update-tool error! [%d sec.]", run.seconds);
    code = "900";
    QMCmnStrnCpy(word, "OTHER_ERROR", sizeof word);
  }
  delete_in(run.module_dir, {qma::commands::kGetVersionResult, "Update_normal.xml",
                             "Update_force.xml", "Install.xml", "Un_install.xml", "Get_ratio.xml"});

  // The completion notice.
  QMCmnCopyField(res.InReplyTo, cmd->ReqInfo.MessageID);
  QMCmnCopyField(res.CommandCode, cmd->ReqInfo.CommandCode);
  QMCmnCopyField(res.Status, code);
  std::memset(res.CurrentVersion, 0, sizeof res.CurrentVersion);
  if (!read_element(run.descriptor, kPackageVersionPath, res.CurrentVersion,
                    sizeof res.CurrentVersion)) {
    QMA_LogWarning("QMA_ExecuteForUpdateCommand", kSrc, __LINE__,
                   "vesion get error!! non Set Data. FileName=[%s]", run.descriptor.c_str());
  }
  std::memset(res.ExVersion, 0, sizeof res.ExVersion);
  // A history rotation that a crash cut short is finished first, so the notice never shows
  // a record from a half-moved history.
  qma::commands::recover_version_history(run.module_dir);
  const std::string current =
      qma::platform::join_path(run.module_dir, qma::commands::kCurrentVersion);
  if (!read_element(current, kVersionPath, res.ExVersion, sizeof res.ExVersion)) {
    QMA_LogWarning("QMA_ExecuteForUpdateCommand", kSrc, __LINE__,
                   "Exvesion get error!! non Set Data.FileName=[%s]", current.c_str());
  }
  fill_messages(run.descriptor, word, res);
  bool notified = false;
  if (QMA_MakeSendData(mpi, cmd, 1) != 1) {
    QMA_LogError("QMA_ExecuteForUpdateCommand", kSrc, __LINE__, "Completion data create error!");
  } else {
    run_restart_script(run.home);
    notified = QMA_NotifyComplete(mpi, cmd) == 1;
    if (!notified) {
      QMA_LogError("QMA_ExecuteForUpdateCommand", kSrc, __LINE__, "Completion data send error!");
    }
  }
  if (!notified) success = false;
  free_response(mpi);
  QMA_SetModuleStatus(cmd, success ? 1 : 0, declined ? 1 : 0, run.descriptor.c_str());
  QMA_LogInfo("QMA_ExecuteForUpdateCommand", kSrc, __LINE__, "QMA_ExecuteForUpdateCommand() end.");
  return notified ? 1 : 0;
}

}  // namespace

int QMA_ExecuteForUpdateCommand(MPITbl* mpi, CMDTbl* cmd) {
  if (mpi == nullptr || cmd == nullptr) {
    QMA_LogError(__func__, kSrc, __LINE__, "Parameter error! pstMPITbl=[%lld] pstCMDTbl=[%lld]",
                 qma::manager_if::pointer_number(mpi), qma::manager_if::pointer_number(cmd));
    return 0;
  }
  ReqInfo& req = cmd->ReqInfo;
  QMMData& data = req.QMMData;
  ResInfo& res = cmd->ResInfo;
  QMA_LogInfo(
      __func__, kSrc, __LINE__,
      "Start QMA_ExecuteForUpdateCommand(). MsgVer=[%s] MsgID=[%s] CmdCD=[%s] ModuleId=[%s]",
      req.MessageVersion, req.MessageID, req.CommandCode, data.ModuleID);
  // A progress query is answered by the dispatcher whatever happens here: it carries "900",
  // never an empty status, when the module cannot be addressed.
  if (data.ModuleID[0] == '\0') {
    QMA_LogError(__func__, kSrc, __LINE__, "Module ID is not appointed for request data.");
    refuse(cmd);
    return 0;
  }
  if (!plain_module_id(data.ModuleID)) {
    QMA_LogError(__func__, kSrc, __LINE__, "Module ID is invalid for request data. ModuleId=[%s]",
                 data.ModuleID);
    refuse(cmd);
    return 0;
  }

  Run run{mpi, cmd};
  run.module_dir = qma::platform::join_path(g_QMAConfig.PkgSavePath, data.ModuleID);
  run.descriptor = qma::platform::join_path(run.module_dir, qma::commands::kPackageDescriptor);
  QMCmnCopyField(res.InReplyTo, req.MessageID);
  QMCmnCopyField(res.CommandCode, req.CommandCode);
  const int code = qma::manager_if::decimal_value(req.CommandCode, sizeof req.CommandCode);
  if (code == 4) QMCmnCopyField(data.Mode, "get_ratio");
  if (!known_mode(data.Mode)) {
    QMA_LogError(__func__, kSrc, __LINE__, "Unexpected mode. Mode=[%s]", data.Mode);
    return 0;
  }
  QMA_LogInfo(__func__, kSrc, __LINE__, "pstCMDTbl->ReqInfo.QMMData.Mode=[%s]", data.Mode);
  const bool with_option = data.OptionID[0] != '\0';
  const std::string lookup = std::string(data.Mode) + (with_option ? "_ext" : "");

  char command[QMA_LEN_PATH] = {};
  char time_limit[QMA_LEN_PATH] = {};
  const std::string result_path =
      qma::platform::join_path(run.module_dir, result_file_name(data.Mode));
  // A result file path that does not fit its 260-byte buffer would name another file once cut.
  const bool path_too_long = result_path.size() > kPathMax;
  if (path_too_long) {
    QMA_LogError(__func__, kSrc, __LINE__,
                 "Result file path of update-tool too long. Length=[%d] Path=[%s]",
                 static_cast<int>(result_path.size()), result_path.c_str());
  }
  if (path_too_long ||
      QMA_GetCommandFromQuillInfo(run.descriptor.c_str(), lookup.c_str(), command, sizeof command,
                                  time_limit, sizeof time_limit) != 1) {
    QMCmnCopyField(res.Status, "900");
    QMA_LogError(__func__, kSrc, __LINE__, "Get command of update-tool error! Mode=[%s] File=[%s]",
                 data.Mode, run.descriptor.c_str());
    return 0;
  }
  if (time_limit[0] == '\0') QMCmnStrnCpy(time_limit, kDefaultTimeLimit, sizeof time_limit);
  run.time_limit = time_limit;
  // Only leading digits count: " 2" or "x" is a time limit of 0.
  run.seconds = qma::manager_if::leading_digits_value(time_limit, sizeof time_limit);

  std::string command_line = command;
  // A line break in an option id would forge lines of the module's status file.
  if (std::strpbrk(data.OptionID, "\r\n") != nullptr) {
    QMCmnCopyField(res.Status, "900");
    QMA_LogError(__func__, kSrc, __LINE__, "Option ID of the request is invalid. OptionID=[%s]",
                 data.OptionID);
    return 0;
  }
  if (with_option) {
    std::string substituted;
    auto outcome = qma::commands::substitute_option_id(command, data.OptionID, substituted);
    // A command line that no longer fits its 260-byte buffer is refused, not cut into
    // another command.
    if (outcome == qma::commands::OptionSubstitution::kDone && substituted.size() > kPathMax) {
      QMA_LogError(__func__, kSrc, __LINE__,
                   "Command line of update-tool too long after option id conversion. Length=[%d]",
                   static_cast<int>(substituted.size()));
      outcome = qma::commands::OptionSubstitution::kUnsafe;
    } else if (outcome == qma::commands::OptionSubstitution::kUnsafe) {
      QMA_LogError(__func__, kSrc, __LINE__,
                   "Option id cannot be kept literal in update-tool command. OptionID=[%s]",
                   data.OptionID);
    }
    if (outcome != qma::commands::OptionSubstitution::kDone) {
      QMCmnCopyField(res.Status, "900");
      QMA_LogError(__func__, kSrc, __LINE__,
                   "Can't convert option id in update-tool(%s)! Mode=[%s] File=[%s]", command,
                   data.Mode, run.descriptor.c_str());
      return 0;
    }
    command_line = substituted;
  }

  if (QMA_Cmn_CheckFile(run.module_dir.c_str(), result_file_name(data.Mode).c_str()) == 1) {
    QMA_LogWarning(__func__, kSrc, __LINE__, " Result Xml-file already exist! [%s]",
                   result_path.c_str());
    (void)qma::platform::delete_file(result_path);
  }
  // The information file belongs to an update; a progress query leaves the one of the
  // running update in place for a restart to find.
  if (code != 4) {
    run.home = qma::platform::get_nonempty_env("AXIS2C_HOME");
    if (run.home) {
      const std::string info = qma::commands::package_info_path();
      QMA_LogWarning(__func__, kSrc, __LINE__, " Result Xml-file already exist! [%s]",
                     info.c_str());
      if (!info.empty()) (void)qma::platform::delete_file(info);
    } else {
      QMA_LogError(__func__, kSrc, __LINE__, "getenv( \"AXIS2C_HOME\" ) error!");
    }
  }

  QMA_LogInfo(__func__, kSrc, __LINE__,
              "before call of the QMA_ExecuteProcess(). ModuleId=[%s] cFolder=[%s] "
              "cUpdateCommand=[%s] pParaPtr=[%s] cWaitTime=[%s]",
              data.ModuleID, run.module_dir.c_str(), command_line.c_str(), "", time_limit);
  const size_t blank = command_line.find(' ');
  run.program = command_line.substr(0, blank);
  run.parameters = blank == std::string::npos ? "" : command_line.substr(blank + 1);

  mpi->hProcess = nullptr;
  // An update's request goes on record with its tool, so that a crash at any point after the
  // start finds the update to call failed; a progress query serves no update of its own.
  const qma::commands::ToolRequest request{data.ModuleID, data.Mode, data.OptionID};
  const int started =
      code == 4 ? QMA_ExecuteProcess(run.module_dir.c_str(), run.program.c_str(),
                                     run.parameters.c_str(), &mpi->hProcess, &run.pid)
                : qma::commands::execute_update_tool(run.module_dir.c_str(), run.program.c_str(),
                                                     run.parameters.c_str(), &mpi->hProcess,
                                                     &run.pid, request);
  if (started != 1) {
    QMCmnCopyField(res.Status, "900");
    QMA_LogError(__func__, kSrc, __LINE__,
                 "Execute update-tool error! ModuleID=[%s] Command=[%s %s]", data.ModuleID,
                 run.program.c_str(), run.parameters.c_str());
    QMA_CloseProcHandle(&mpi->hProcess);
    return 0;
  }
  QMA_LogInfo(__func__, kSrc, __LINE__, "Execute update-tool. ModuleID=[%s] Command=[%s %s]",
              data.ModuleID, run.program.c_str(), run.parameters.c_str());
  return code == 4 ? progress_path(run) : update_path(run);
}
