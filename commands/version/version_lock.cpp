// The get-version lock table: one lazily made mutex per module key 0 to 9999, kept for the life
// of the agent, so that two get-version runs of one module do not overlap.
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "commands/version/qma_get_version.h"
#include "common/log/qma_log.h"
#include "common/status/qma_status.h"

namespace {

constexpr const char* kSrc = "QMAProc";
constexpr int kSlots = 10000;
constexpr unsigned long kLockWaitMs = 5000;

QMA_CMN_MUTEX_HANDLE g_VersionLockTbl[kSlots];
// Two requests may reach a new slot at once; the slot is made under this guard so that both
// get the same mutex.
std::mutex g_slot_guard;

// The key of a module id: its first four characters read as a base-10 number. -1 when
// characters remain after the number or it is outside 0 to 9999 (logged with the characters).
int lock_key(const char* func, const char* module_id) {
  char wkbuf[5] = {};
  if (module_id != nullptr) std::strncpy(wkbuf, module_id, 4);
  char* end = nullptr;
  long key = std::strtol(wkbuf, &end, 10);
  if (*end != '\0' || key < 0 || key >= kSlots) {
    QMA_LogError(func, kSrc, __LINE__, "Invalid argument wkbuf=[%s]", wkbuf);
    return -1;
  }
  return static_cast<int>(key);
}

}  // namespace

int QMA_getVersionLock(const char* module_id) {
  QMA_LogInfo(__func__, kSrc, __LINE__, "QMA_getVersionLock() start.");
  int key = lock_key(__func__, module_id);
  if (key < 0) return 0;
  QMA_CMN_MUTEX_HANDLE slot = nullptr;
  {
    std::lock_guard<std::mutex> guard(g_slot_guard);
    if (g_VersionLockTbl[key] == nullptr &&
        QMA_Cmn_CreateMutex(&g_VersionLockTbl[key], nullptr) != 1) {
      return 0;
    }
    slot = g_VersionLockTbl[key];
  }
  QMA_LogInfo(__func__, kSrc, __LINE__, "QMA_getVersionLock() end.");
  return QMA_Cmn_LockMutex(slot, kLockWaitMs);
}

void QMA_getVersionUnlock(const char* module_id) {
  QMA_LogInfo(__func__, kSrc, __LINE__, "QMA_getVersionUnlock() start.");
  int key = lock_key(__func__, module_id);
  if (key >= 0) {
    QMA_CMN_MUTEX_HANDLE slot = nullptr;
    {
      std::lock_guard<std::mutex> guard(g_slot_guard);
      slot = g_VersionLockTbl[key];
    }
    QMA_Cmn_UnlockMutex(slot);
  }
  QMA_LogInfo(__func__, kSrc, __LINE__, "QMA_getVersionUnlock() end.");
}
