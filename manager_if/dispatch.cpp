// Request dispatch: the request parser of the XML query library and the command code table.
#include <cstring>
#include <mutex>

#include "commands/qma_commands.h"
#include "common/cmn/qmcmn.h"
#include "common/log/qma_log.h"
#include "common/qma_config.h"
#include "common/qma_funcinit.h"
#include "manager_if/decimal.h"
#include "manager_if/qma_manager_if.h"
#include "platform/file.h"

namespace {

constexpr const char* kSrc = "QMAProc";
std::mutex g_saved_reply_mutex;

// A module id becomes a folder name under the package root. One that could name
// anything else (a separator, "." or "..") is refused before any command sees it,
// as a registration refuses an id of the wrong length: status 900, and the upload
// of a registration is deleted. An empty id is left to the commands, which refuse it.
bool refuse_unsafe_module_id(MPITbl* mpi, CMDTbl* cmd, int code) {
  const char* id = cmd->ReqInfo.QMMData.ModuleID;
  if (id[0] == '\0' || qma::platform::is_plain_name(id)) return false;
  QMA_LogError("QMA_DispatchForRequest", kSrc, __LINE__,
               "Module ID is not a plain name. ModuleID=[%s] (CommandCode=%d)", id, code);
  if (code == 2 && mpi != nullptr && mpi->ReqFileName[0] != '\0' &&
      std::strcmp(mpi->ReqFileName, cmd->ReqInfo.QMMData.FileName) == 0) {
    if (auto deleted = qma::platform::act_on_request_upload(mpi->ReqDirectory, mpi->ReqFileName,
                                                            qma::platform::UploadAction::kDelete);
        !deleted.ok()) {
      QMA_LogError("QMA_DispatchForRequest", kSrc, __LINE__,
                   "Upload not deleted. File=[%s] Folder=[%s] errno=[%d]", mpi->ReqFileName,
                   mpi->ReqDirectory, deleted.error());
    }
  }
  ResInfo& res = cmd->ResInfo;
  QMCmnCopyField(res.InReplyTo, cmd->ReqInfo.MessageID);
  QMCmnCopyField(res.CommandCode, cmd->ReqInfo.CommandCode);
  QMCmnCopyField(res.Status, "900");
  return true;
}

}  // namespace

int QMA_XmlparserForManager(MPITbl* mpi, CMDTbl* cmd) {
  QMA_LogInfo(__func__, kSrc, __LINE__, "QMA_XmlparserForManager() start.");
  if (mpi == nullptr || cmd == nullptr) {
    QMA_LogError(__func__, kSrc, __LINE__, "Parameter error! pstMPITbl=[%lld] pstCMDTbl=[%lld]",
                 qma::manager_if::pointer_number(mpi), qma::manager_if::pointer_number(cmd));
    return 0;
  }
  int parsed = 0;
  if (g_QMAgentSub.QMA_XML_GetManagerRequestInfo != nullptr && mpi->ReqXml != nullptr) {
    // Requests are parsed on their connections' threads, side by side: the parser
    // writes the saved reply-to into a record of this call's own, and the process's
    // record takes it over under a lock.
    QMAConfig own{};
    std::memset(own.SavedReplyToPort, 0xFF, sizeof own.SavedReplyToPort);
    parsed = g_QMAgentSub.QMA_XML_GetManagerRequestInfo(
        QMA_LogError, mpi->ReqXml, static_cast<int>(mpi->ReqXmlLength), &cmd->ReqInfo, &own);
    if (own.SavedReplyToPort[sizeof own.SavedReplyToPort - 1] == '\0') {
      std::lock_guard<std::mutex> lock(g_saved_reply_mutex);
      std::memcpy(g_QMAConfig.SavedReplyToAddress, own.SavedReplyToAddress,
                  sizeof own.SavedReplyToAddress);
      std::memcpy(g_QMAConfig.SavedReplyToPort, own.SavedReplyToPort, sizeof own.SavedReplyToPort);
    }
  }
  if (parsed != 1) {
    QMA_LogError(__func__, kSrc, __LINE__, "QMA_Axis2GetManagerRequestInfo() error!");
    return 0;
  }
  QMA_LogInfo(__func__, kSrc, __LINE__, "QMA_XmlparserForManager() end.");
  return 1;
}

int QMA_DispatchForRequest(MPITbl* mpi, CMDTbl* cmd) {
  QMA_LogInfo(__func__, kSrc, __LINE__, "QMA_DispatchForRequest() start.");
  if (cmd == nullptr) {
    QMA_LogError(__func__, kSrc, __LINE__, "Parameter error! pstMPITbl=[%lld] pstCMDTbl=[%lld]",
                 qma::manager_if::pointer_number(mpi), qma::manager_if::pointer_number(cmd));
    return 0;
  }
  int code =
      qma::manager_if::decimal_value(cmd->ReqInfo.CommandCode, sizeof cmd->ReqInfo.CommandCode);
  if (static_cast<unsigned int>(code) > 7u) {
    QMA_LogError(__func__, kSrc, __LINE__, "Unexpected command code.(CommandCode=%d)", code);
    return 0;
  }
  // A refused request runs no handler, so it is answered here for every code, 3 included.
  const bool refused = refuse_unsafe_module_id(mpi, cmd, code);
  // The handlers' own results are not looked at: each leaves its Status in the answer.
  switch (refused ? -1 : code) {
    case 0:
    case 5:
    case 6:
      (void)QMA_ExecuteForSystemCommand(cmd);
      break;
    case 1:
      (void)QMA_ExecuteForGetVersionCommand(mpi, cmd);
      break;
    case 2:
      (void)QMA_RepositoryForUpdatePKG(mpi, cmd);
      break;
    case 3:
    case 4:
      (void)QMA_ExecuteForUpdateCommand(mpi, cmd);
      break;
    case 7:
      (void)QMA_GetLogFile(cmd);
      break;
  }
  if (code != 3 || refused) {
    if (QMA_MakeSendData(mpi, cmd, 0) != 1) {
      QMA_LogError(__func__, kSrc, __LINE__, "Response data create error! (CommandCode=%d)", code);
      return 0;
    }
    if (QMA_dataSendToMox(mpi) != 1) {
      QMA_LogError(__func__, kSrc, __LINE__, "Response data send error! (CommandCode=%d)", code);
      return 0;
    }
  }
  QMA_LogInfo(__func__, kSrc, __LINE__, "QMA_DispatchForRequest() end.");
  return 1;
}
