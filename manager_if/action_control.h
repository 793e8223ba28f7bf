// The action control table: which running commands keep which new commands out.
#pragma once

#include <stdint.h>  // NOLINT(modernize-deprecated-headers)

namespace qma::platform {
class NamedMutex;
}  // namespace qma::platform

/// The handle of the table's named mutex; null when none.
typedef qma::platform::NamedMutex* QMA_ACTCTRL_MUTEX;

/// The name of the mutex over the counters, shared by every agent process of one state folder.
#define QMA_ACTCTRLTBL_MUTEX_NAME "QMA_ACTCTRLTBL_MUTEX"
/// Number of command codes the table knows (0 to 7).
#define QMA_ACTCTRL_CODES 8

/// Opens (or creates) the mutex into an empty slot; 1 when the slot holds a usable handle.
int QMA_ActCtrlTbl_CreateMutex(QMA_ACTCTRL_MUTEX* slot);
/// 1 when the mutex is owned (5 waits of 15 ms at most), else 0.
int QMA_ActCtrlTbl_Lock(QMA_ACTCTRL_MUTEX handle);
void QMA_ActCtrlTbl_Unlock(QMA_ACTCTRL_MUTEX handle);
void QMA_ActCtrlTbl_CloseMutex(QMA_ACTCTRL_MUTEX handle);
/// Mode 1 registers a running action of the code, mode 0 releases it. 1, or 0
/// when the lock could not be taken. Codes outside 0..7 change nothing.
int QMA_UpdateForActCtrlTbl(QMA_ACTCTRL_MUTEX handle, int mode, int command_code);
/// 1 when the command may start; otherwise 0 with *reason 1 (excluded) or 0
/// (table not locked). A code outside 0..7 is admitted without reading the
/// counters; the dispatcher drops it afterwards.
int QMA_CheckForActCtrlTbl(QMA_ACTCTRL_MUTEX handle, int command_code, int* reason);

namespace qma::manager_if {
/// The 8 x 8 exclusion matrix: row = running action, column = excluded code.
extern const int32_t kActCtrlMatrix[QMA_ACTCTRL_CODES][QMA_ACTCTRL_CODES];
/// A copy of the eight counters.
void action_control_counters(int32_t out[QMA_ACTCTRL_CODES]);
/// Sets every counter back to 0 (a fresh process; tests).
void reset_action_control();
}  // namespace qma::manager_if
