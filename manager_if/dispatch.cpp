// Request dispatch: the request parser of the XML query library and the command code table.
#include "commands/qma_commands.h"
#include "common/log/qma_log.h"
#include "common/qma_config.h"
#include "common/qma_funcinit.h"
#include "manager_if/decimal.h"
#include "manager_if/qma_manager_if.h"

namespace {

constexpr const char* kSrc = "QMAProc";

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
    parsed = g_QMAgentSub.QMA_XML_GetManagerRequestInfo(QMA_LogError, mpi->ReqXml,
                                                        static_cast<int>(mpi->ReqXmlLength),
                                                        &cmd->ReqInfo, &g_QMAConfig);
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
  // The handlers' own results are not looked at: each leaves its Status in the answer.
  switch (code) {
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
  if (code != 3) {
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
