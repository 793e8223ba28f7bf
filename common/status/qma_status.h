// Agent status and module status files, and the mutex functions they share with the get-version
// lock.
#pragma once

extern "C" {

/// Agent states as stored in QMAgentStatus.
enum {
  QMA_AGTSTAT_NORMAL = 0,
  QMA_AGTSTAT_BUSY = 1,
  QMA_AGTSTAT_REBOOT = 2,
  QMA_AGTSTAT_DISABLED = 3,
};

/// Module status numbers stored in ModuleStatus (-1 only ever comes from the reader).
enum {
  QMA_MODSTAT_NONE = -1,
  QMA_MODSTAT_OK = 0,
  QMA_MODSTAT_REBOOT = 1,
  QMA_MODSTAT_FAILED = 2,
  QMA_MODSTAT_NODEVICE = 3,
  QMA_MODSTAT_BUSY = 4,
  QMA_MODSTAT_NOTINSTALL = 5,
  QMA_MODSTAT_GETVERERR = 6,
};

/// Writes "state reboot-pending" to $AXIS2C_HOME/bin/QMAgentStatus.
void QMA_Cmn_QMAgentStatus_PutFile(int state, int reboot_pending);
/// Reads the agent status file; both outputs are 0 unless the file was valid.
void QMA_Cmn_QMAgentStatus_GetFile(int* state, int* reboot_pending);
/// Start-up after a reboot: normal (disabled when the flag is 0), nothing pending.
void QMA_Cmn_AgentStatus_Reset(int agent_effect);
/// Start-up without a reboot: takes the state over from the file.
void QMA_Cmn_AgentStatus_Restore(int agent_effect);
/// Applies the transition table to a requested state and writes the file.
void QMA_Cmn_AgentStatus_Change(int request);
/// The current state word ("normal", "busy", "reboot", "disabled"), cut to size - 1.
void QMA_Cmn_AgentStatus_GetString(char* buffer, int size);

/// The module's status (or the option's, when option_id is not null), -1 when none.
int QMA_Cmn_Get_ModuleStatus(const char* module_id, const char* option_id);
/// Stores a module or option status, unless the stored one is 1, 2 or the same.
void QMA_Cmn_Set_ModuleStatus(const char* module_id, int status, const char* option_id);
/// After a reboot: every module folder of the package root gets a fresh "0" file.
void QMA_Cmn_ModuleStatus_ResetAll(void);
/// Deletes stale update-tool result files in every entry of the package root. The update
/// answers of `kept_module` (may be null) stay: its update, answered by the previous run, is
/// finished by this start, and its tool may have written the final answer while no agent ran.
void QMA_Cmn_SweepResultFiles(const char* package_root, const char* kept_module);

/// A mutex as the status files and the get-version lock use it: unnamed (this
/// process only) or named (shared with other processes).
typedef struct QMA_CmnMutex* QMA_CMN_MUTEX_HANDLE;

/// Creates a mutex into an empty holder; 1 on success, 0 on failure.
int QMA_Cmn_CreateMutex(QMA_CMN_MUTEX_HANDLE* holder, const char* name);
void QMA_Cmn_FreeMutex(QMA_CMN_MUTEX_HANDLE handle);
/// 1 when the calling thread owns the mutex (also after an abandoned owner), else 0.
int QMA_Cmn_LockMutex(QMA_CMN_MUTEX_HANDLE handle, unsigned long timeout_ms);
void QMA_Cmn_UnlockMutex(QMA_CMN_MUTEX_HANDLE handle);

/// The package root the module status functions use: the PKG_SAVEPATH in effect
/// (g_QMAConfig.PkgSavePath).
const char* QMA_Cmn_GetPackageRoot(void);
}

namespace qma::status {
/// Forgets the agent status file path resolved by the first write, so the next
/// write resolves it from AXIS2C_HOME again (tests use fresh roots).
void forget_agent_status_path();
/// Sets the in-memory agent status without touching the file.
void set_agent_status_for_test(int state, int reboot_pending);
/// The in-memory agent status.
void agent_status(int* state, int* reboot_pending);
}  // namespace qma::status
