// Commands whose handlers this build of the agent does not carry yet: each answers
// status "900" (error in the agent) so the manager is never left waiting.
// Remove a function here when its command is built in its own file.
#include <cstdio>
#include <cstring>

#include "commands/qma_commands.h"
#include "common/cmn/qmcmn.h"
#include "common/log/qma_log.h"
#include "common/status/qma_status.h"
#include "manager_if/qma_manager_if.h"

namespace {

constexpr const char* kSrc = "QMAProc";

void answer_not_available(const char* func, CMDTbl* cmd) {
  if (cmd == nullptr) return;
  ResInfo& res = cmd->ResInfo;
  QMCmnCopyField(res.InReplyTo, cmd->ReqInfo.MessageID);
  QMCmnCopyField(res.CommandCode, cmd->ReqInfo.CommandCode);
  QMCmnCopyField(res.Status, "900");
  QMA_Cmn_AgentStatus_GetString(res.AgentStatus, sizeof res.AgentStatus);
  QMA_LogError(func, kSrc, __LINE__, "Command is not available in this agent. CmdCD=[%s]",
               cmd->ReqInfo.CommandCode);
}

}  // namespace

int QMA_ExecuteForGetVersionCommand(MPITbl* /*mpi*/, CMDTbl* cmd) {
  answer_not_available(__func__, cmd);
  return 0;
}

int QMA_ExecuteForUpdateCommand(MPITbl* mpi, CMDTbl* cmd) {
  answer_not_available(__func__, cmd);
  // The dispatcher leaves the answer of an update (code 3) to its handler.
  if (cmd != nullptr && std::strcmp(cmd->ResInfo.CommandCode, "3") == 0 &&
      QMA_MakeSendData(mpi, cmd, 0) == 1) {
    (void)QMA_dataSendToMox(mpi);
  }
  return 0;
}

int QMA_CheckQMAUpdateByPKG() {
  QMA_LogWarning(__func__, kSrc, __LINE__,
                 "Self-update hand-over by package is not available in this agent; going on.");
  return 1;
}
