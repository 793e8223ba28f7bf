// Update-tool process control and results: start a module's tool, wait for it, look for the
// result file a tool left behind, set the final statuses of an update, remove a file.
#pragma once

#include "common/qma_records.h"

namespace qma::platform {
class Process;
}  // namespace qma::platform

/// A started tool's process handle. The invalid-handle value is null; the owner closes a
/// valid handle with QMA_CloseProcHandle (closing never kills the tool).
using QMA_PROC_HANDLE = qma::platform::Process*;

/// The three values of the package information file that the self-update check hands to
/// QMA_CheckResultFile: result file name, the tool's process id and its time limit, as text.
struct QMA_PKG_INFO_VALUES {
  char ResultFileName[QMA_LEN_PATH];
  char ProcessId[QMA_LEN_PATH];
  char TimeLimit[QMA_LEN_PATH];
};

/// Starts dir/program with the command line "\"program\" parameters" in dir (own process
/// group, no shell, no inherited descriptors). *phproc is set to null first and receives the
/// handle on success; *pid (when given) the process id. 1 started, 0 not (logged).
int QMA_ExecuteProcess(const char* dir, const char* program, const char* parameters,
                       QMA_PROC_HANDLE* phproc, int* pid);

namespace qma::commands {
struct ToolRequest;
/// QMA_ExecuteProcess for the tool of an update: the request is recorded with the started tool.
int execute_update_tool(const char* dir, const char* program, const char* parameters,
                        QMA_PROC_HANDLE* phproc, int* pid, const ToolRequest& request);
}  // namespace qma::commands
/// Waits for the process: 1 ended, -1 still running after wait_seconds (1..65535), 0 on a
/// parameter or wait error. The handle stays open.
int QMA_WaitForProcTerm(QMA_PROC_HANDLE hproc, int wait_seconds);
/// 1 when dir/values->ResultFileName can be read, else 0. With raw 0 (the agent's own
/// information file layout) it first waits for the recorded process, at most 500 seconds.
int QMA_CheckResultFile(int raw, const char* dir, const QMA_PKG_INFO_VALUES* values);
/// Final module and agent status of an update: success gives module status 1 (reboot "true" in
/// the descriptor, agent status reboot) or 0; failure gives 2 unless the tool declined; the
/// agent leaves busy either way.
void QMA_SetModuleStatus(const CMDTbl* cmd, int success, int declined, const char* descriptor);
/// Deletes a file; a missing file is only noted in the log.
void QMA_RemoveFile(const char* path);

/// Closes the handle in *phproc (the process runs on and is reaped once it ends) and clears it.
void QMA_CloseProcHandle(QMA_PROC_HANDLE* phproc);
/// Ends the tool at once, and with it every process it started; 1 done, 0 failed (logged).
int QMA_TerminateProcess(QMA_PROC_HANDLE hproc);

namespace qma::commands {
/// Ends the tool at once with every process it started, as QMA_TerminateProcess does, without
/// logging: 0 when done, else -1 with the error number in *error.
int kill_tool(QMA_PROC_HANDLE hproc, int* error);
/// The result code of a refusal word: "NotInstalled" 771, "DownGrade" 772, "Depend" 773,
/// "AlreadyInstalled" 774, "Duplex" 775; null for any other word.
const char* refusal_code(const char* word);
/// The result code of a tool's final answer: "600" for "Complete" (success), 771 to 775 for a
/// refusal (declined); null for any other word, which the caller reports as "900".
const char* final_result_code(const char* word, bool* success, bool* declined);
/// Seconds the self-update check waits for the recorded tool: the recorded time limit (decimal
/// text, as atoi reads it), capped at 500; a negative value waits 500.
int recorded_tool_wait_seconds(const char* time_limit);
}  // namespace qma::commands
