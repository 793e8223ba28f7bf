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
