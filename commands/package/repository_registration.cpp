// Registration of an update package (command code 2): the uploaded archive is moved into
// its module folder under the package root and unpacked there by the zip launcher.
#include <cstring>
#include <string>

#include "commands/package/package_repository.h"
#include "commands/qma_commands.h"
#include "common/cmn/qmcmn.h"
#include "common/host/qma_system.h"
#include "common/log/qma_log.h"
#include "common/qma_config.h"
#include "common/status/qma_status.h"
#include "manager_if/decimal.h"
#include "manager_if/qma_manager_if.h"
#include "platform/archive_io.h"
#include "platform/command_line.h"
#include "platform/environment.h"
#include "platform/file.h"

namespace {

constexpr const char* kSrc = "QMAProc";
constexpr size_t kModuleIdLength = 8;
// The reason an archiver leaves beside an archive it refused.
constexpr const char* kRefusalSuffix = ".err";
constexpr size_t kRefusalShown = 1023;

void fail(ResInfo& res) {
  QMCmnCopyField(res.Status, "900");
}

/// The upload is deleted only as a regular file in an upload folder, never through a link.
void delete_upload(const MPITbl* mpi) {
  auto deleted = qma::platform::act_on_request_upload(mpi->ReqDirectory, mpi->ReqFileName,
                                                      qma::platform::UploadAction::kDelete);
  if (!deleted.ok()) {
    QMA_LogError("QMA_RepositoryForUpdatePKG", kSrc, __LINE__,
                 "Upload not deleted. File=[%s] Folder=[%s] errno=[%d]", mpi->ReqFileName,
                 mpi->ReqDirectory, deleted.error());
  }
}

/// The archiver's reason for refusing the archive, copied into the agent log; false when
/// the archiver refused nothing.
bool log_archiver_refusal(const std::string& archive) {
  std::string report = archive + kRefusalSuffix;
  auto text = qma::platform::read_regular_file(report, qma::platform::kStateFileMax);
  if (!text.ok()) return false;
  std::string reason = text.value().substr(0, text.value().find('\n')).substr(0, kRefusalShown);
  QMA_LogError("QMA_RepositoryForUpdatePKG", kSrc, __LINE__, "Package not unpacked. %s",
               reason.c_str());
  (void)qma::platform::delete_file(report);
  return true;
}

/// A module folder that this registration made and that holds no package after all is
/// removed again: left behind without a descriptor, it would spoil every get-version.
void remove_made_folder(const std::string& module) {
  if (auto removed = qma::platform::remove_tree(module); !removed.ok()) {
    QMA_LogError("QMA_RepositoryForUpdatePKG", kSrc, __LINE__,
                 "Module folder not removed. errno=[%d] Path=[%s]", removed.error(),
                 module.c_str());
  }
}

}  // namespace

int QMA_RepositoryForUpdatePKG(MPITbl* mpi, CMDTbl* cmd) {
  if (mpi == nullptr || cmd == nullptr) {
    QMA_LogError(__func__, kSrc, __LINE__, "Parameter error! pstMPITbl=[%lld] pstCMDTbl=[%lld]",
                 qma::manager_if::pointer_number(mpi), qma::manager_if::pointer_number(cmd));
    return 0;
  }
  const ReqInfo& req = cmd->ReqInfo;
  const QMMData& data = req.QMMData;
  ResInfo& res = cmd->ResInfo;
  QMA_LogInfo(__func__, kSrc, __LINE__,
              "Start QMA_RepositoryForUpdatePKG(). MsgVer=[%s] MsgID=[%s] CmnCD=[%s] ModuleId=[%s]",
              req.MessageVersion, req.MessageID, req.CommandCode, data.ModuleID);
  QMCmnCopyField(res.InReplyTo, req.MessageID);
  QMCmnCopyField(res.CommandCode, req.CommandCode);

  int code = qma::manager_if::decimal_value(req.CommandCode, sizeof req.CommandCode);
  if (code != 2) {
    QMA_LogError(__func__, kSrc, __LINE__, "Unexpected command. (CommandCode=%d)", code);
    fail(res);
    return 0;
  }
  // The request's name must be the attachment's, exactly, and a plain name in its folder.
  if (data.FileName[0] == '\0' || mpi->ReqDirectoryLen == 0 || mpi->ReqFileNameLen == 0 ||
      std::strcmp(data.FileName, mpi->ReqFileName) != 0 ||
      !qma::platform::is_plain_name(data.FileName)) {
    QMA_LogError(__func__, kSrc, __LINE__, "File not specified.");
    fail(res);
    return 0;
  }
  // Uploads are taken from the upload folders only; a request naming any other folder
  // would have the agent move or delete a file of the client's choosing.
  if (!qma::platform::upload_folder_accepted(mpi->ReqDirectory)) {
    QMA_LogError(__func__, kSrc, __LINE__, "Upload folder not accepted. Folder=[%s]",
                 mpi->ReqDirectory);
    fail(res);
    return 0;
  }
  if (QMA_Cmn_CheckFile(mpi->ReqDirectory, mpi->ReqFileName) != 1) {
    QMA_LogError(__func__, kSrc, __LINE__, "QMA_Cmn_CheckFile() error! File not found.");
    fail(res);
    return 0;
  }
  if (strnlen(data.ModuleID, sizeof data.ModuleID) != kModuleIdLength) {
    QMA_LogError(__func__, kSrc, __LINE__, "Module ID is not eight characters. ModuleID=[%s]",
                 data.ModuleID);
    delete_upload(mpi);
    fail(res);
    return 0;
  }

  const std::string root = QMA_Cmn_GetPackageRoot();
  // The module folder is found once, whatever the letter case of its name, and every step
  // below (the check, the sweep, the move, the launcher, the status file) uses that one
  // entry, so none of them can reach another.
  const std::string module =
      qma::platform::resolve_path(qma::platform::join_path(root, data.ModuleID));
  const std::string module_name =
      module.substr(module.find_last_of(qma::platform::kPathSeparators) + 1);
  // An existing module folder is swept, keeping the status and version history; a link
  // or a file in its place is never swept through or unpacked into.
  const bool made = qma::platform::create_directory(module).ok();
  if (!made) {
    auto folder = qma::platform::ConfinedFolder::open(root);
    auto kind = folder.ok() ? folder->kind(module_name) : qma::platform::EntryKind::kNone;
    if (kind == qma::platform::EntryKind::kLink || kind == qma::platform::EntryKind::kFile ||
        kind == qma::platform::EntryKind::kOther) {
      QMA_LogError(__func__, kSrc, __LINE__, "Module folder is not a folder. Path=[%s]",
                   module.c_str());
      fail(res);
      return 0;
    }
    QMA_SweepPrePKG(module.c_str(), 1);
  }

  // The outcome of the move plays no part, but a file that was not moved in is never
  // deleted as the archive afterwards.
  auto moved = qma::platform::act_on_request_upload(mpi->ReqDirectory, mpi->ReqFileName,
                                                    qma::platform::UploadAction::kMove, module);
  if (!moved.ok()) {
    QMA_LogError(__func__, kSrc, __LINE__, "Upload not moved. File=[%s] Folder=[%s] errno=[%d]",
                 mpi->ReqFileName, mpi->ReqDirectory, moved.error());
  }
  const std::string archive = qma::platform::join_path(module, data.FileName);

  auto home = qma::platform::get_nonempty_env("AXIS2C_HOME");
  if (!home) {
    QMA_LogError(__func__, kSrc, __LINE__, "Enviroment Parameter[%s] is nothing!!", "AXIS2C_HOME");
  } else {
    (void)qma::commands::copy_zip_tool(__func__, qma::platform::join_path(*home, "bin"), module);
  }

  // After a time-out the launcher runs on and the archive stays until the next registration
  // sweeps it.
  const std::string arguments = "-u " + qma::platform::quote_argument(archive);
  // Only this run's refusal report is read afterwards: a stale one goes first.
  (void)qma::platform::delete_file(archive + kRefusalSuffix);
  const char* status = qma::commands::run_zip_tool(__func__, module, arguments);
  QMCmnCopyField(res.Status, status);
  if (std::strcmp(status, "600") == 0) {
    if (moved.ok()) {
      if (auto deleted = qma::platform::act_on_upload(module, data.FileName,
                                                      qma::platform::UploadAction::kDelete);
          !deleted.ok()) {
        QMA_LogError(__func__, kSrc, __LINE__, "Archive not deleted. errno=[%d] Path=[%s]",
                     deleted.error(), archive.c_str());
      }
    }
    bool refused = log_archiver_refusal(archive);
    if (made && (refused || !moved.ok())) {
      (void)qma::platform::delete_file(qma::platform::join_path(module, qma::commands::kZipTool));
      remove_made_folder(module);
      QMA_LogInfo(__func__, kSrc, __LINE__, "QMA_RepositoryForUpdatePKG() end.");
      return 1;
    }
    if (QMA_Cmn_CheckFile(module.c_str(), "ModuleStatus") != 1) {
      QMA_Cmn_Set_ModuleStatus(module_name.c_str(), QMA_MODSTAT_OK, nullptr);
    } else {
      QMA_LogInfo(__func__, kSrc, __LINE__,
                  "Do not make the ModuleStatus file. Because there is already it.");
    }
  }
  (void)qma::platform::delete_file(qma::platform::join_path(module, qma::commands::kZipTool));
  // A launcher that never ran leaves no package; one that timed out may still be unpacking.
  if (made && std::strcmp(status, "900") == 0) remove_made_folder(module);
  QMA_LogInfo(__func__, kSrc, __LINE__, "QMA_RepositoryForUpdatePKG() end.");
  return 1;
}
