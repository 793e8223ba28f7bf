// The package information file and the self-update check of a package start: the restarted
// agent waits for the tool that restarted it, reads its final answer and sends the completion
// notice of the old request.
#include "commands/update/package_info.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "commands/module_files.h"
#include "commands/qma_commands.h"
#include "commands/update/update_tools.h"
#include "commands/version/qma_get_version.h"
#include "common/cmn/qmcmn.h"
#include "common/log/qma_log.h"
#include "common/qma_config.h"
#include "common/qma_funcinit.h"
#include "manager_if/qma_manager_if.h"
#include "manager_if/qma_moxclient.h"
#include "platform/environment.h"
#include "platform/file.h"

namespace {

constexpr const char* kSrc = "QMAProc";
constexpr size_t kPathMax = QMA_LEN_PATH - 1;
constexpr size_t kContentMax = 1023;
constexpr int kFirstLineSize = 260;
constexpr int kLineSize = 512;
constexpr const char* kAgentModuleId = "02000000";
constexpr const char* kPlainResultFile = "Update_normal.xml";

/// A value as one line of the file: cut at the first line break, so that no value can write
/// lines of its own (a forged MOD_ID or RESULT_FILE line after it).
std::string_view one_line(const char* value) {
  std::string_view text(value != nullptr ? value : "");
  return text.substr(0, text.find_first_of("\r\n"));
}

/// A module id or file name read back from the file names one entry of its folder.
bool plain_name(const char* name) {
  std::string_view text(name);
  return !text.empty() && text != "." && text != ".." &&
         text.find_first_of("/\\") == std::string_view::npos;
}

/// The next line of the file's content as QMCmnFGetSwithoutNL reads it from an open file: at
/// most size - 1 characters, up to and including a line feed, which is dropped with a carriage
/// return before it. Null at the end of the content.
char* next_line(std::string_view& rest, char* buffer, int size) {
  if (rest.empty() || size < 1) return nullptr;
  size_t take = std::min(rest.size(), static_cast<size_t>(size - 1));
  const size_t feed = rest.substr(0, take).find('\n');
  if (feed != std::string_view::npos) take = feed + 1;
  std::memcpy(buffer, rest.data(), take);
  buffer[take] = '\0';
  rest.remove_prefix(take);
  size_t length = std::strlen(buffer);
  if (length > 0 && buffer[length - 1] == '\n') {
    buffer[--length] = '\0';
    if (length > 0 && buffer[length - 1] == '\r') buffer[length - 1] = '\0';
  }
  return buffer;
}

/// The information file's content, read whole: only a regular file of bounded size, never
/// through a link and never waiting (a package may have left anything under its name).
qma::platform::Result<std::string> read_info_file(const char* path) {
  if (path == nullptr) return qma::platform::Result<std::string>::failure(EINVAL);
  return qma::platform::read_regular_file(path, qma::platform::kStateFileMax);
}

struct Destination {
  const char* tag;  // agent layout
  char* field;
  size_t size;
};

}  // namespace

namespace qma::commands {

std::string package_info_path() {
  auto home = platform::get_nonempty_env("AXIS2C_HOME");
  if (!home) return {};
  std::string path = platform::join_path(platform::join_path(*home, "bin"), QMA_PKG_INFO_FILE_NAME);
  return path.size() > kPathMax ? std::string() : path;
}

}  // namespace qma::commands

void QMA_CreateInfoFile(const CMDTbl* cmd, const char* time_limit, const char* result_file,
                        int pid) {
  QMA_LogInfo(__func__, kSrc, __LINE__, "QMA_CreateInfoFile() start.");
  char pid_text[32];
  std::snprintf(pid_text, sizeof pid_text, "%d", pid);
  if (!qma::platform::get_nonempty_env("AXIS2C_HOME")) {
    QMA_LogError(__func__, kSrc, __LINE__, "getenv( \"AXIS2C_HOME\" ) error!");
    return;
  }
  std::string path = qma::commands::package_info_path();
  if (cmd == nullptr || path.empty()) {
    QMA_LogError(__func__, kSrc, __LINE__, "fopen() error! errno=[%d],file=[%s]", ENAMETOOLONG,
                 path.c_str());
    return;
  }
  const QMMData& data = cmd->ReqInfo.QMMData;
  const std::pair<const char*, const char*> lines[] = {
      {"IP_ADDR=", data.ReplyToAddress},
      {"PORT=", data.ReplyToPort},
      {"MSG_ID=", cmd->ReqInfo.MessageID},
      {"MOD_ID=", data.ModuleID},
      {"MSG_VER=", cmd->ReqInfo.MessageVersion},
      {"RESULT_FILE=", result_file},
      {"PID=", pid_text},
      {"TIMEOUT=", time_limit},
  };
  std::string content = QMA_PKG_INFO_HEADER "\n";
  for (const auto& [tag, value] : lines) {
    std::string line = std::string(tag) + std::string(one_line(value));
    if (line.size() > kContentMax) line.resize(kContentMax);
    content += line + "\n";
  }
  if (content.size() > kContentMax) content.resize(kContentMax);

  // Replaced in place, but never through a link and never waiting on a FIFO in its place.
  bool opened = false;
  auto written = qma::platform::write_regular_file(path, content, &opened);
  if (!written.ok()) {
    QMA_LogError(
        __func__, kSrc, __LINE__,
        opened ? "fwrite() error! errno=[%d],file=[%s]" : "fopen() error! errno=[%d],file=[%s]",
        written.error(), path.c_str());
  }
  QMA_LogInfo(__func__, kSrc, __LINE__, "QMA_CreateInfoFile() end.");
}

int QMA_CheckInfoFile(const char* path) {
  QMA_LogInfo(__func__, kSrc, __LINE__, "QMA_CheckInfoFile() start.");
  auto content = read_info_file(path);
  if (!content.ok()) {
    QMA_LogError(__func__, kSrc, __LINE__, "fopen() error! file=[%s] errno=[%d]",
                 path != nullptr ? path : "", content.error());
    return -1;
  }
  std::string_view rest = content.value();
  char line[kFirstLineSize] = {};
  int result;
  if (next_line(rest, line, sizeof line) == nullptr) {
    QMA_LogError(__func__, kSrc, __LINE__,
                 "QMCmnFGetSwithoutNL() error! try to get first tag errno=[%d]", 0);
    result = -1;
  } else {
    result = std::strcmp(line, QMA_PKG_INFO_HEADER) == 0 ? 0 : 1;
  }
  QMA_LogInfo(__func__, kSrc, __LINE__, "QMA_CheckInfoFile result(%d)", result);
  return result;
}

int QMA_GetInfoFile(CMDTbl* cmd, int plain, const char* path, QMA_PKG_INFO_VALUES* values) {
  QMA_LogInfo(__func__, kSrc, __LINE__, "QMA_GetInfoFile() start.");
  if (cmd == nullptr || path == nullptr || (plain == 0 && values == nullptr)) return 0;
  QMCmnCopyField(cmd->ReqInfo.MessageVersion, "2.0");
  QMMData& data = cmd->ReqInfo.QMMData;
  const Destination all[] = {
      {"IP_ADDR=", data.ReplyToAddress, sizeof data.ReplyToAddress},
      {"PORT=", data.ReplyToPort, sizeof data.ReplyToPort},
      {"MSG_ID=", cmd->ResInfo.InReplyTo, sizeof cmd->ResInfo.InReplyTo},
      {"MOD_ID=", data.ModuleID, sizeof data.ModuleID},
      {"MSG_VER=", cmd->ReqInfo.MessageVersion, sizeof cmd->ReqInfo.MessageVersion},
      {"RESULT_FILE=", values != nullptr ? values->ResultFileName : nullptr, QMA_LEN_PATH},
      {"PID=", values != nullptr ? values->ProcessId : nullptr, QMA_LEN_PATH},
      {"TIMEOUT=", values != nullptr ? values->TimeLimit : nullptr, QMA_LEN_PATH},
  };
  const size_t count = plain != 0 ? 3 : 8;

  auto content = read_info_file(path);
  if (!content.ok()) {
    QMA_LogError(__func__, kSrc, __LINE__, "fopen() error! file=[%s] errno=[%d]", path,
                 content.error());
    return 0;
  }
  std::string_view rest = content.value();
  char line[kLineSize];
  if (plain == 0) (void)next_line(rest, line, sizeof line);
  for (size_t i = 0; i < count; ++i) {
    const Destination& to = all[i];
    if (next_line(rest, line, sizeof line) == nullptr) {
      QMA_LogError(__func__, kSrc, __LINE__,
                   "QMCmnFGetSwithoutNL() error! try to get param_tag_nm[%s] errno=[%d]", to.tag,
                   0);
      return 0;
    }
    const char* value = line;
    if (plain == 0) {
      const size_t tag_length = std::strlen(to.tag);
      if (std::strncmp(line, to.tag, tag_length) != 0) {
        QMA_LogError(__func__, kSrc, __LINE__,
                     "Position of the tag error! buf=[%s] tag=[%s] errno=[%d]", line, to.tag,
                     errno);
        return 0;
      }
      value = line + tag_length;
      if (*value == '\0') {
        QMA_LogError(__func__, kSrc, __LINE__,
                     "No data error! try to get param_tag_nm[%s] errno=[%d]", to.tag, errno);
        return 0;
      }
    }
    QMCmnStrnCpy(to.field, value, to.size);
    QMA_LogInfo(__func__, kSrc, __LINE__, "get param_tag_nm[%s] param_nm[%s]", to.tag, to.field);
  }
  // The module id and result file name become paths: each must name one entry of its folder.
  if (plain == 0 && (!plain_name(data.ModuleID) || !plain_name(values->ResultFileName))) {
    QMA_LogError(__func__, kSrc, __LINE__,
                 "Invalid data error! MOD_ID=[%s] RESULT_FILE=[%s] file=[%s]", data.ModuleID,
                 values->ResultFileName, path);
    return 0;
  }
  QMA_LogInfo(__func__, kSrc, __LINE__, "QMA_GetInfoFile() end.");
  return 1;
}

int QMA_CheckQMAUpdateByPKG() {
  QMA_LogInfo(__func__, kSrc, __LINE__, "QMA_CheckQMAUpdateByPKG() start.");
  QMA_PKG_INFO_VALUES values = {};
  std::string module_dir = g_QMAConfig.PkgSavePath;
  char status_word[QMA_LEN_PATH] = {};
  bool info_exists = false;
  bool info_read = false;
  bool result_found = false;
  bool success = false;
  bool declined = false;

  std::string info_path = qma::commands::package_info_path();
  const bool have_home = static_cast<bool>(qma::platform::get_nonempty_env("AXIS2C_HOME"));
  if (!have_home) QMA_LogError(__func__, kSrc, __LINE__, "getenv( \"AXIS2C_HOME\" ) error!");
  int layout = have_home ? QMA_CheckInfoFile(info_path.c_str()) : -1;
  if (layout != -1) info_exists = true;
  // Without the installation root there is nothing to complete: the module folder stays the
  // package root and only the clean-up below runs.
  if (have_home && layout != 0) {
    module_dir = qma::platform::join_path(module_dir, kAgentModuleId);
    QMCmnStrnCpy(values.ResultFileName, kPlainResultFile, sizeof values.ResultFileName);
  }

  MPITbl* mpi = have_home ? qma::manager_if::allocate_tables() : nullptr;
  CMDTbl* cmd = mpi != nullptr ? mpi->CmdTbl : nullptr;
  if (have_home && mpi == nullptr) {
    QMA_LogError(__func__, kSrc, __LINE__,
                 "Temporary Manager I/F thread table was not allocated. Size=[%d],errno=[%d]",
                 static_cast<int>(sizeof(MPITbl)), ENOMEM);
  } else if (have_home && cmd == nullptr) {
    QMA_LogError(__func__, kSrc, __LINE__,
                 "Temporary Command information table was not allocated. Size=[%d],errno=[%d]",
                 static_cast<int>(sizeof(CMDTbl)), ENOMEM);
  }

  if (cmd != nullptr) {
    if (layout != 0) QMCmnCopyField(cmd->ReqInfo.QMMData.ModuleID, kAgentModuleId);
    if (info_exists) {
      if (QMA_GetInfoFile(cmd, layout, info_path.c_str(), &values) == 1) {
        info_read = true;
        QMCmnStrnCpy(status_word, "ErrorInQMAgent", sizeof status_word);
        if (layout == 0) {
          module_dir = qma::platform::join_path(module_dir, cmd->ReqInfo.QMMData.ModuleID);
        }
      }
      if (layout == 1 || info_read) {
        result_found = QMA_CheckResultFile(layout, module_dir.c_str(), &values) == 1;
      } else {
        QMA_LogError(__func__, kSrc, __LINE__, "Failed to get PKG Info Data.");
      }
    }

    std::string descriptor =
        qma::platform::join_path(module_dir, qma::commands::kPackageDescriptor);
    if (result_found) {
      std::string result_path = qma::platform::join_path(module_dir, values.ResultFileName);
      const char* code_path[] = {"Response", "result_code", ""};
      if (g_QMAgentSub.QMA_XML_GetElementValueForFile == nullptr ||
          g_QMAgentSub.QMA_XML_GetElementValueForFile(QMA_LogError, result_path.c_str(), code_path,
                                                      status_word, sizeof status_word) != 1) {
        QMA_LogError(__func__, kSrc, __LINE__, "Get result of update-tool error! [%s:%s]",
                     "result_code", result_path.c_str());
      }
      const char* code = qma::commands::final_result_code(status_word, &success, &declined);
      if (code == nullptr) {
        code = "900";
        QMA_LogError(__func__, kSrc, __LINE__, "Result of update-tool is invalid! [%s]",
                     status_word);
      }

      if (info_read) {
        ResInfo& res = cmd->ResInfo;
        QMCmnCopyField(res.CommandCode, "3");
        QMCmnCopyField(res.Status, code);
        QMCmnCopyField(res.CurrentVersion, g_QMAConfig.AgentVersion);
        // An update of another module that a crash left to this start: its notice names the
        // module's package version, as the update command's own notice does, never the agent's.
        if (std::strcmp(cmd->ReqInfo.QMMData.ModuleID, kAgentModuleId) != 0) {
          std::memset(res.CurrentVersion, 0, sizeof res.CurrentVersion);
          const char* package_version_path[] = {"quillmend_package", "version", ""};
          if (g_QMAgentSub.QMA_XML_GetElementValueForFile == nullptr ||
              g_QMAgentSub.QMA_XML_GetElementValueForFile(QMA_LogError, descriptor.c_str(),
                                                          package_version_path, res.CurrentVersion,
                                                          sizeof res.CurrentVersion) != 1) {
            QMA_LogWarning(__func__, kSrc, __LINE__,
                           "vesion get error!! non Set Data. FileName=[%s]", descriptor.c_str());
          }
        }
        std::memset(res.ExVersion, 0, sizeof res.ExVersion);
        // A history rotation that a crash cut short is finished first, as the update command
        // does before its notice.
        qma::commands::recover_version_history(module_dir);
        std::string current = qma::platform::join_path(module_dir, qma::commands::kCurrentVersion);
        const char* version_path[] = {"Response", "data", "version", ""};
        if (g_QMAgentSub.QMA_XML_GetElementValueForFile == nullptr ||
            g_QMAgentSub.QMA_XML_GetElementValueForFile(QMA_LogError, current.c_str(), version_path,
                                                        res.ExVersion, sizeof res.ExVersion) != 1) {
          QMA_LogWarning(__func__, kSrc, __LINE__,
                         "Exvesion get error!! non Set Data.FileName=[%s]", current.c_str());
        }
        if (g_QMAgentSub.QMA_XML_GetStatusMsg != nullptr) {
          (void)g_QMAgentSub.QMA_XML_GetStatusMsg(QMA_LogError, descriptor.c_str(), status_word,
                                                  res.ToolOutputLogJa, sizeof res.ToolOutputLogJa,
                                                  res.ToolOutputLogEn, sizeof res.ToolOutputLogEn);
        }
        if (QMA_MakeSendData(mpi, cmd, 1) != 1) {
          QMA_LogError(__func__, kSrc, __LINE__, "Completion data create error!");
        } else {
          QMCmnCopyField(g_QMAConfig.SavedReplyToAddress, cmd->ReqInfo.QMMData.ReplyToAddress);
          QMCmnCopyField(g_QMAConfig.SavedReplyToPort, cmd->ReqInfo.QMMData.ReplyToPort);
          if (QMA_NotifyComplete(mpi, cmd) != 1) {
            QMA_LogError(__func__, kSrc, __LINE__, "Completion data send error!");
          }
        }
      }
      QMA_SetModuleStatus(cmd, success ? 1 : 0, declined ? 1 : 0, descriptor.c_str());
    } else {
      QMA_LogError(__func__, kSrc, __LINE__,
                   "QMA PKG Module Update Error! QMAPKG_UpdateInfo.txt:%d,cResultFileName :%d",
                   info_exists ? 1 : 0, 0);
    }
  }

  if (result_found) QMA_RemoveFile(info_path.c_str());
  // A package root that is no absolute path (there is none without the installation root)
  // would make these names relative to the working folder: nothing is deleted then.
  if (qma::platform::is_absolute_path(module_dir)) {
    for (const char* name :
         {"Update_normal.xml", "Update_force.xml", "Install.xml", "Un_install.xml"}) {
      QMA_RemoveFile(qma::platform::join_path(module_dir, name).c_str());
    }
  }
  qma::manager_if::free_tables(mpi);
  QMA_LogInfo(__func__, kSrc, __LINE__, "QMA_CheckQMAUpdateByPKG() end.");
  return 1;
}
