// The action control table: counters of running actions, the exclusion matrix and their lock.
#include "manager_if/action_control.h"

#include <atomic>
#include <new>

#include "common/log/qma_log.h"
#include "platform/error.h"
#include "platform/named_mutex.h"

namespace qma::manager_if {

// Row r: the command codes that a running action of code r keeps out.
const int32_t kActCtrlMatrix[QMA_ACTCTRL_CODES][QMA_ACTCTRL_CODES] = {
    {0, 0, 0, 0, 0, 0, 0, 0},  // 0 agent information
    {0, 0, 1, 1, 0, 0, 0, 0},  // 1 get version
    {0, 1, 1, 1, 0, 0, 0, 0},  // 2 repository registration
    {0, 0, 1, 1, 0, 0, 0, 0},  // 3 update
    {0, 0, 1, 1, 1, 0, 0, 0},  // 4 update progress
    {1, 1, 1, 1, 1, 1, 1, 1},  // 5 reboot
    {1, 1, 1, 1, 1, 1, 1, 1},  // 6 shutdown
    {0, 0, 0, 0, 0, 0, 0, 1},  // 7 log collection
};

namespace {

constexpr const char* kSrc = "QMAActCtrl";
constexpr uint32_t kLockWaitMs = 15;
constexpr int kLockAttempts = 5;

// Counter c: the number of running actions that keep command code c out. Read and
// written only with the named mutex owned.
int32_t g_QMAActCtrlTable[QMA_ACTCTRL_CODES] = {};

bool valid_code(int code) {
  return code >= 0 && code < QMA_ACTCTRL_CODES;
}

}  // namespace

void action_control_counters(int32_t out[QMA_ACTCTRL_CODES]) {
  for (int i = 0; i < QMA_ACTCTRL_CODES; ++i) out[i] = g_QMAActCtrlTable[i];
}

void reset_action_control() {
  for (auto& counter : g_QMAActCtrlTable) counter = 0;
}

}  // namespace qma::manager_if

using qma::manager_if::g_QMAActCtrlTable;
using qma::manager_if::kActCtrlMatrix;
using qma::platform::NamedMutex;
using qma::platform::WaitStatus;

int QMA_ActCtrlTbl_CreateMutex(QMA_ACTCTRL_MUTEX* slot) {
  if (slot == nullptr) {
    QMA_LogError(__func__, qma::manager_if::kSrc, __LINE__, "MutexHandle argument is null !!");
    return 0;
  }
  if (*slot != nullptr) {
    QMA_LogError(__func__, qma::manager_if::kSrc, __LINE__, "MutexHandle is not null !!");
    return 0;
  }
  auto opened = NamedMutex::open(QMA_ACTCTRLTBL_MUTEX_NAME);
  if (!opened.ok()) {
    if (opened.error() != qma::platform::kErrorFileNotFound) {
      QMA_LogError(__func__, qma::manager_if::kSrc, __LINE__, "OpenMutex() error! (errcd=[%d])",
                   opened.error());
      return 0;
    }
    opened = NamedMutex::create(QMA_ACTCTRLTBL_MUTEX_NAME);
    if (!opened.ok()) {
      QMA_LogError(__func__, qma::manager_if::kSrc, __LINE__, "CreateMutex() error! (errcd=[%d])",
                   opened.error());
      return 0;
    }
  }
  *slot = new (std::nothrow) NamedMutex(std::move(opened.value()));
  if (*slot == nullptr) {
    QMA_LogError(__func__, qma::manager_if::kSrc, __LINE__, "CreateMutex() error! (errcd=[%d])",
                 qma::platform::kErrorInsufficientBuffer);
    return 0;
  }
  return 1;
}

int QMA_ActCtrlTbl_Lock(QMA_ACTCTRL_MUTEX handle) {
  using qma::manager_if::kLockAttempts;
  using qma::manager_if::kLockWaitMs;
  if (handle == nullptr) {
    QMA_LogError(__func__, qma::manager_if::kSrc, __LINE__, "hActCtrlTbl_Mutex is null !!");
    return 0;
  }
  for (int attempt = 1; attempt <= kLockAttempts; ++attempt) {
    WaitStatus status = handle->wait(kLockWaitMs);
    if (status == WaitStatus::kSignaled || status == WaitStatus::kAbandoned) return 1;
    if (status != WaitStatus::kTimeout) {
      QMA_LogError(__func__, qma::manager_if::kSrc, __LINE__,
                   "WaitForSingleObject() error! (errcd=[%d])", qma::platform::last_error());
      return 0;
    }
    QMA_LogError(__func__, qma::manager_if::kSrc, __LINE__,
                 "WaitForSingleObject() is timeout!! (time=[%d],count=[%d/%d])",
                 static_cast<int>(kLockWaitMs), attempt, kLockAttempts);
  }
  QMA_LogInfo(__func__, qma::manager_if::kSrc, __LINE__, "WaitForSingleObject() retry over!");
  return 0;
}

void QMA_ActCtrlTbl_Unlock(QMA_ACTCTRL_MUTEX handle) {
  if (handle != nullptr) handle->release();
}

void QMA_ActCtrlTbl_CloseMutex(QMA_ACTCTRL_MUTEX handle) {
  delete handle;
}

int QMA_UpdateForActCtrlTbl(QMA_ACTCTRL_MUTEX handle, int mode, int command_code) {
  if (QMA_ActCtrlTbl_Lock(handle) == 0) return 0;
  // A code outside the table has no row; it is admitted and released without a trace.
  if (qma::manager_if::valid_code(command_code)) {
    for (int i = 0; i < QMA_ACTCTRL_CODES; ++i) {
      if (mode == 1) {
        g_QMAActCtrlTable[i] += kActCtrlMatrix[command_code][i];
      } else {
        g_QMAActCtrlTable[i] -= kActCtrlMatrix[command_code][i];
        if (g_QMAActCtrlTable[i] < 0) g_QMAActCtrlTable[i] = 0;
      }
    }
  }
  int32_t copy[QMA_ACTCTRL_CODES];
  qma::manager_if::action_control_counters(copy);
  QMA_ActCtrlTbl_Unlock(handle);
  QMA_LogInfo(__func__, qma::manager_if::kSrc, __LINE__,
              "ActCtrlTbl Update end!! (bmode=[%d], iCommandCode=[%d], "
              "[%d][%d][%d][%d][%d][%d][%d][%d])",
              mode, command_code, copy[0], copy[1], copy[2], copy[3], copy[4], copy[5], copy[6],
              copy[7]);
  return 1;
}

int QMA_CheckForActCtrlTbl(QMA_ACTCTRL_MUTEX handle, int command_code, int* reason) {
  int ignored = 0;
  if (reason == nullptr) reason = &ignored;
  *reason = 1;
  if (QMA_ActCtrlTbl_Lock(handle) == 0) {
    *reason = 0;
    return 0;
  }
  int32_t copy[QMA_ACTCTRL_CODES];
  qma::manager_if::action_control_counters(copy);
  QMA_ActCtrlTbl_Unlock(handle);
  int32_t counter = qma::manager_if::valid_code(command_code) ? copy[command_code] : 0;
  QMA_LogInfo(__func__, qma::manager_if::kSrc, __LINE__,
              "Check of QMAActCtrlTbl LockOFF!! (wk_QMAActCtrlTable[%d]=[%d])", command_code,
              counter);
  return counter == 0 ? 1 : 0;
}
