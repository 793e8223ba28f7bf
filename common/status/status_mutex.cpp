// Mutex functions of the status files and the get-version lock: recursive, timed, named or unnamed.
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

#include "common/log/qma_log.h"
#include "common/status/qma_status.h"
#include "platform/error.h"
#include "platform/named_mutex.h"

namespace {
constexpr const char* kSrc = "QMACommon";
constexpr int kCreateTries = 5;
}  // namespace

/// Owner-recursive like a Windows mutex: the owning thread may lock it again,
/// and only the owner can release it.
struct QMA_CmnMutex {
  std::optional<qma::platform::NamedMutex> named;

  std::mutex guard;
  std::condition_variable cv;
  std::thread::id owner;
  unsigned depth = 0;

  qma::platform::WaitStatus wait(unsigned long timeout_ms) {
    if (named) return named->wait(static_cast<uint32_t>(timeout_ms));
    std::unique_lock<std::mutex> lock(guard);
    auto self = std::this_thread::get_id();
    auto free_or_mine = [&] { return depth == 0 || owner == self; };
    if (timeout_ms == qma::platform::kInfinite) {
      cv.wait(lock, free_or_mine);
    } else if (!cv.wait_for(lock, std::chrono::milliseconds(timeout_ms), free_or_mine)) {
      return qma::platform::WaitStatus::kTimeout;
    }
    owner = self;
    ++depth;
    return qma::platform::WaitStatus::kSignaled;
  }

  bool release() {
    if (named) return named->release();
    std::lock_guard<std::mutex> lock(guard);
    if (depth == 0 || owner != std::this_thread::get_id()) return false;
    if (--depth == 0) {
      owner = std::thread::id();
      cv.notify_one();
    }
    return true;
  }
};

extern "C" {

int QMA_Cmn_CreateMutex(QMA_CMN_MUTEX_HANDLE* holder, const char* name) {
  if (holder == nullptr) {
    QMA_LogError(__func__, kSrc, __LINE__, "MutexHandle argument is null !!");
    return 0;
  }
  if (*holder != nullptr) {
    QMA_LogError(__func__, kSrc, __LINE__, "MutexHandle is not null !!");
    return 0;
  }
  if (name == nullptr) {
    *holder = new (std::nothrow) QMA_CmnMutex();
    if (*holder != nullptr) return 1;
    QMA_LogError(__func__, kSrc, __LINE__, "CreateMutex() error! (errcd=[%d])", 8);
    return 0;
  }
  int error = 0;
  for (int i = 0; i < kCreateTries; ++i) {
    auto made = qma::platform::NamedMutex::create(name);
    if (made) {
      auto* mutex = new (std::nothrow) QMA_CmnMutex();
      if (mutex == nullptr) {
        error = 8;  // not enough memory
        continue;
      }
      mutex->named.emplace(std::move(made.value()));
      *holder = mutex;
      return 1;
    }
    error = made.error();
  }
  QMA_LogError(__func__, kSrc, __LINE__, "CreateMutex() error! (errcd=[%d])", error);
  return 0;
}

void QMA_Cmn_FreeMutex(QMA_CMN_MUTEX_HANDLE handle) {
  if (handle == nullptr) {
    QMA_LogError(__func__, kSrc, __LINE__, "MutexHandle argument is null !!");
    return;
  }
  delete handle;
}

int QMA_Cmn_LockMutex(QMA_CMN_MUTEX_HANDLE handle, unsigned long timeout_ms) {
  if (handle == nullptr) {
    QMA_LogError(__func__, kSrc, __LINE__, "MutexHandle argument is null !!");
    return 0;
  }
  switch (handle->wait(timeout_ms)) {
    case qma::platform::WaitStatus::kSignaled:
    case qma::platform::WaitStatus::kAbandoned:
      return 1;
    case qma::platform::WaitStatus::kTimeout:
      QMA_LogError(__func__, kSrc, __LINE__, "WaitForSingleObject() is timeout!! (time=[%lu]ms)",
                   timeout_ms);
      return 0;
    default:
      QMA_LogError(__func__, kSrc, __LINE__, "WaitForSingleObject() error! (errcd=[%d])",
                   qma::platform::last_error());
      return 0;
  }
}

void QMA_Cmn_UnlockMutex(QMA_CMN_MUTEX_HANDLE handle) {
  if (handle == nullptr) {
    QMA_LogError(__func__, kSrc, __LINE__, "MutexHandle argument is null !!");
    return;
  }
  (void)handle->release();
}

}  // extern "C"
