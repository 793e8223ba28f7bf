// Log collection (command code 7): the logs of the agent, its installation and the
// communication components are copied into the log directory and packed, with every other
// ".log" file there, into "QMAgentLog.zip" by the zip launcher.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <vector>

#include "commands/package/package_repository.h"
#include "commands/qma_commands.h"
#include "common/cmn/qmcmn.h"
#include "common/log/qma_log.h"
#include "common/qma_config.h"
#include "common/qma_funcinit.h"
#include "manager_if/decimal.h"
#include "platform/archive_io.h"
#include "platform/command_line.h"
#include "platform/environment.h"
#include "platform/file.h"

namespace {

constexpr const char* kSrc = "QMAProc";

// A name with its previous generation, "Ex" + name, both collected, the plain name first.
std::vector<std::string> with_previous(std::initializer_list<const char*> names, size_t plain) {
  std::vector<std::string> out;
  size_t i = 0;
  for (const char* name : names) {
    out.emplace_back(name);
    if (i++ >= plain) out.push_back(std::string("Ex") + name);
  }
  return out;
}

/// Copies one log into the log directory under its own name. The source is found without
/// regard to the case of its name; only a regular file is read (a link is skipped, so no
/// file elsewhere lands in the archive), and the copy replaces whatever entry had that name
/// without writing through it. A source that is the target itself is not copied. True
/// when a copy was made.
bool copy_log(const std::string& source_folder, const std::string& name,
              qma::platform::ConfinedFolder& log_dir, const std::string& log_dir_path) {
  const std::string source_path =
      qma::platform::resolve_path(qma::platform::join_path(source_folder, name));
  std::error_code error;
  if (std::filesystem::equivalent(source_path, qma::platform::join_path(log_dir_path, name),
                                  error)) {
    return false;
  }
  auto source = qma::platform::open_regular_file(source_path);
  if (!source.ok()) return false;  // missing logs are no error
  // A log that grows meanwhile is copied up to the size it had when it was opened.
  if (auto copied = qma::commands::copy_into_folder(*source, log_dir, name, 0644); !copied.ok()) {
    QMA_LogWarning("QMA_GetLogFile", kSrc, __LINE__, "Log file not copied. errno=[%d] File=[%s]",
                   copied.error(), name.c_str());
    return false;
  }
  return true;
}

}  // namespace

namespace qma::commands {

std::vector<std::string> collected_from_logs_folder() {
  return with_previous({"axis2.log", "axis2_moxClient.log", "axis2_moxInitProcess.log",
                        "miniQMA.log", "MOX_Install.log", "QMA_Install.log"},
                       4);
}

std::vector<std::string> collected_from_bin_folder(const std::string& mox_logfile) {
  std::vector<std::string> names;
  if (!mox_logfile.empty()) {
    for (const char* prefix : {"", "Ex", "plain", "Explain"}) names.push_back(prefix + mox_logfile);
  }
  for (const std::string& name :
       with_previous({"MOX_SERVICE_PROGRAM.log", "MOX_INIT_PROCESS.log", "QMAgentIF.log",
                      "BmcGate.log", "MOX_CLIENT.log", "QMAgentService.log"},
                     0)) {
    names.push_back(name);
  }
  return names;
}

std::string log_archive_arguments(const std::string& archive, const std::vector<std::string>& names,
                                  std::vector<std::string>* left_out) {
  // The process starter puts "\"QMZipControl\" " before the arguments.
  const size_t prefix = std::string("\"").size() + kZipTool.size() + 2;
  std::string arguments = "-c " + platform::quote_argument(archive) + " ";
  for (const std::string& name : names) {
    std::string word = platform::quote_argument(name) + " ";
    if (prefix + arguments.size() + word.size() >= kZipCommandLineLimit) {
      if (left_out != nullptr) left_out->push_back(name);
      continue;
    }
    arguments += word;
  }
  return arguments;
}

}  // namespace qma::commands

int QMA_GetLogFile(CMDTbl* cmd) {
  if (cmd == nullptr) {
    QMA_LogError(__func__, kSrc, __LINE__, "Parameter error! pstCMDTbl=[%lld]",
                 qma::manager_if::pointer_number(cmd));
    return 0;
  }
  const ReqInfo& req = cmd->ReqInfo;
  ResInfo& res = cmd->ResInfo;
  QMA_LogInfo(__func__, kSrc, __LINE__,
              "Start QMA_GetLogFile(). MsgVer=[%s] MsgID=[%s] CmnCD=[%s] ModuleId=[%s]",
              req.MessageVersion, req.MessageID, req.CommandCode, req.QMMData.ModuleID);
  QMCmnCopyField(res.InReplyTo, req.MessageID);
  QMCmnCopyField(res.CommandCode, req.CommandCode);

  auto home = qma::platform::get_nonempty_env("AXIS2C_HOME");
  if (!home) {
    QMCmnCopyField(res.Status, "900");
    QMA_LogError(__func__, kSrc, __LINE__, "Enviroment Parameter[%s] is nothing!!", "AXIS2C_HOME");
    return 0;
  }
  const std::string logs = qma::platform::join_path(*home, "logs");
  const std::string bin = qma::platform::join_path(*home, "bin");
  const std::string log_dir = g_QMAConfig.LogSavePath;
  auto folder = qma::platform::ConfinedFolder::open(log_dir);
  std::vector<std::string> copied;
  if (folder.ok()) {
    for (const std::string& name : qma::commands::collected_from_logs_folder()) {
      if (copy_log(logs, name, folder.value(), log_dir)) copied.push_back(name);
    }
  }

  const std::string service_file = qma::platform::join_path(bin, "moxService.xml");
  char mox_logfile[QMA_LEN_PATH] = {};
  const char* path[] = {"parameter", "mox_logfile", ""};
  // An empty value names no file: it is as good as none.
  if (g_QMAgentSub.QMA_XML_GetElementValueForFile == nullptr ||
      g_QMAgentSub.QMA_XML_GetElementValueForFile(QMA_LogError, service_file.c_str(), path,
                                                  mox_logfile, sizeof mox_logfile) != 1 ||
      mox_logfile[0] == '\0') {
    QMA_LogError(__func__, kSrc, __LINE__, "Nothing Element[%s:%s] in File[%s] is nothing!!",
                 "parameter", "mox_logfile", service_file.c_str());
    mox_logfile[0] = '\0';
  } else if (!qma::platform::is_plain_name(mox_logfile)) {
    // The name becomes a path in the bin folder and the log directory: one entry only.
    QMA_LogError(__func__, kSrc, __LINE__, "Log file name is not a plain name. mox_logfile=[%s]",
                 mox_logfile);
    mox_logfile[0] = '\0';
  }
  if (folder.ok()) {
    for (const std::string& name : qma::commands::collected_from_bin_folder(mox_logfile)) {
      if (copy_log(bin, name, folder.value(), log_dir)) copied.push_back(name);
    }
  }

  std::vector<std::string> names;
  auto listing = qma::platform::list_directory(log_dir, "*.log");
  if (listing.ok()) {
    for (const auto& entry : listing.value()) {
      if (names.size() >= qma::commands::kMaxLogFiles) break;
      if (entry.attributes == qma::platform::kAttrDirectory || entry.name == "." ||
          entry.name == ".." || entry.name == qma::commands::kZipTool) {
        continue;
      }
      names.push_back(entry.name);
    }
  }

  (void)qma::commands::copy_zip_tool(__func__, bin, log_dir);
  const std::string archive = qma::platform::join_path(log_dir, qma::commands::kLogArchive);
  std::vector<std::string> left_out;
  const std::string arguments = qma::commands::log_archive_arguments(archive, names, &left_out);
  for (const std::string& name : left_out) {
    QMA_LogWarning(__func__, kSrc, __LINE__,
                   "Log file left out of the archive: the command line is full. File=[%s]",
                   name.c_str());
  }
  (void)qma::platform::delete_file(archive);

  QMCmnCopyField(res.Status, qma::commands::run_zip_tool(__func__, log_dir, arguments));

  (void)qma::platform::delete_file(qma::platform::join_path(log_dir, qma::commands::kZipTool));
  for (const std::string& name : copied) {
    (void)qma::platform::delete_file(qma::platform::join_path(log_dir, name));
  }
  QMCmnCopyField(res.FileName, qma::commands::kLogArchive);
  QMA_LogInfo(__func__, kSrc, __LINE__, "QMA_GetLogFile() end.");
  return 1;
}
