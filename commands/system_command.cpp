// Agent information (code 0), reboot (code 5) and shutdown (code 6).
#include <cstdio>
#include <cstring>

#include "commands/qma_commands.h"
#include "common/cmn/qmcmn.h"
#include "common/host/os_info_source.h"
#include "common/host/qma_inventory.h"
#include "common/host/qma_system.h"
#include "common/log/qma_log.h"
#include "common/qma_config.h"
#include "common/status/qma_status.h"
#include "manager_if/decimal.h"
#include "platform/power.h"

namespace {

constexpr const char* kSrc = "QMAProc";

template <size_t N>
void set_number(char (&field)[N], long value) {
  std::memset(field, 0, N);
  std::snprintf(field, N, "%ld", value);
}

int agent_information(CMDTbl* cmd) {
  ResInfo& res = cmd->ResInfo;
  // The version fields and the classification below describe one reading of the system.
  qma::common::OsVersionSnapshot snapshot;
  auto version = qma::commands::read_os_version();
  if (!version.ok()) {
    QMA_LogError("QMA_ExecuteForSystemCommand", kSrc, __LINE__,
                 "GetVersionEx() error! GetLastError=[%d]", version.error());
    QMCmnCopyField(res.Status, "900");
    return 0;
  }
  QMA_LogInfo("QMA_ExecuteForSystemCommand", kSrc, __LINE__, "GetVersionEx() Success end!!");
  QMCmnCopyField(res.InReplyTo, cmd->ReqInfo.MessageID);
  QMCmnCopyField(res.CommandCode, cmd->ReqInfo.CommandCode);
  QMCmnCopyField(res.Status, "600");
  QMA_Cmn_AgentStatus_GetString(res.AgentStatus, sizeof res.AgentStatus);
  QMCmnCopyField(res.AgentVersion, g_QMAConfig.AgentVersion);
  (void)QMA_Cmn_GetHostName(res.HostName, sizeof res.HostName);

  // The values the system reports, unchanged (the get-version answer adjusts them).
  const qma::platform::OsVersionInfo& v = version.value();
  set_number(res.major, v.major);
  set_number(res.minor, v.minor);
  set_number(res.sp_major, v.service_pack_major);
  set_number(res.sp_minor, v.service_pack_minor);
  QMCmnCopyField(res.arch, QMA_IsWow64() == 1 ? "x64" : "x86");
  QMCmnCopyField(res.refid, "0");

  int os_type = 0;
  char os_name[QMA_LEN_PATH] = {};
  if (QMA_GetOSInfo(&os_type, os_name) == 1) {
    set_number(res.product_type, os_type);
  } else {
    QMCmnCopyField(res.product_type, "0");
  }
  QMA_LogInfo("QMA_ExecuteForSystemCommand", kSrc, __LINE__, "QMA_GetOSInfo() end!!");
  if (os_name[0] != '\0') QMCmnCopyField(res.OSName, os_name);

  std::memset(res.model_name, 0, sizeof res.model_name);
  std::memset(res.parent_n_code, 0, sizeof res.parent_n_code);
  std::memset(res.child_n_code, 0, sizeof res.child_n_code);
  (void)QMA_getProductName(res.model_name, sizeof res.model_name, res.parent_n_code,
                           sizeof res.parent_n_code);
  QMA_LogInfo("QMA_ExecuteForSystemCommand", kSrc, __LINE__, "QMA_getProductName() end!!");
  std::memset(res.Guid, 0, sizeof res.Guid);
  (void)QMA_getGUID(res.Guid, sizeof res.Guid);
  std::memset(res.Serial, 0, sizeof res.Serial);
  (void)QMA_getSerialNumber(res.Serial, sizeof res.Serial);
  QMA_LogInfo("QMA_ExecuteForSystemCommand", kSrc, __LINE__, "QMA_ExecuteForSystemCommand() end.");
  return 1;
}

int power_action(CMDTbl* cmd, int code) {
  const char* func = "QMA_ExecuteForSystemCommand";
  ResInfo& res = cmd->ResInfo;
  if (auto s = qma::platform::open_process_token(); !s.ok()) {
    QMA_LogError(func, kSrc, __LINE__, "OpenProcessToken() error! GetLastError=[%d]", s.error());
    return 0;
  }
  if (auto s = qma::platform::lookup_shutdown_privilege(); !s.ok()) {
    QMA_LogError(func, kSrc, __LINE__, "LookupPrivilegeValue() error! GetLastError=[%d]",
                 s.error());
    return 0;
  }
  if (auto s = qma::platform::enable_shutdown_privilege(); !s.ok()) {
    QMA_LogError(func, kSrc, __LINE__, "AdjustTokenPrivileges() error! GetLastError=[%d]",
                 s.error());
    return 0;
  }
  QMCmnCopyField(res.InReplyTo, cmd->ReqInfo.MessageID);
  QMCmnCopyField(res.CommandCode, cmd->ReqInfo.CommandCode);
  qma::platform::Status requested = qma::platform::Status::success();
  if (code == 5) {
    requested = qma::platform::request_power_action(qma::platform::PowerAction::kReboot);
    QMA_LogInfo(func, kSrc, __LINE__, "ExitWindowsEx()!!(EWX_REBOOT)");
  } else {
    requested = qma::platform::request_power_action(qma::platform::PowerAction::kShutdown);
    QMA_LogInfo(func, kSrc, __LINE__, "ExitWindowsEx()!!(EWX_SHUTDOWN)");
  }
  if (requested.ok()) {
    QMCmnCopyField(res.Status, "600");
    QMA_LogInfo(func, kSrc, __LINE__, "QMA_ExecuteForSystemCommand() end.");
    return 1;
  }
  QMA_LogError(func, kSrc, __LINE__, "ExitWindowsEx() error!! GetLastError=[%d]",
               requested.error());
  QMCmnCopyField(res.Status, "900");
  return 0;
}

}  // namespace

int QMA_ExecuteForSystemCommand(CMDTbl* cmd) {
  if (cmd == nullptr) {
    QMA_LogError(__func__, kSrc, __LINE__, "Parameter error! pstCMDTbl=[%lld]",
                 qma::manager_if::pointer_number(cmd));
    return 0;
  }
  const ReqInfo& req = cmd->ReqInfo;
  QMA_LogInfo(__func__, kSrc, __LINE__,
              "Start QMA_ExecuteForSystemCommand(). MsgVer=[%s] MsgID=[%s] CmnCD=[%s] "
              "ModuleId=[%s]",
              req.MessageVersion, req.MessageID, req.CommandCode, req.QMMData.ModuleID);
  int code = qma::manager_if::decimal_value(req.CommandCode, sizeof req.CommandCode);
  // The whole answer part starts empty; the module list (code 1 only) is never set here.
  std::memset(&cmd->ResInfo, 0, sizeof cmd->ResInfo);
  switch (code) {
    case 0:
      return agent_information(cmd);
    case 5:
    case 6:
      return power_action(cmd, code);
    default:
      QMA_LogError(__func__, kSrc, __LINE__, "Unexpected command code. (CommandCode=%d)", code);
      return 0;
  }
}
