// Named mutexes shared between processes, with abandoned-owner detection.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "platform/result.h"

namespace qma::platform {

/// How a wait on a mutex, event or process ended, as a Windows wait reports it.
enum class WaitStatus { kSignaled, kAbandoned, kTimeout, kFailed };

inline constexpr uint32_t kInfinite = 0xFFFFFFFFu;

/// A mutex known by name to every process of the same state folder.
/// Recursive per thread; an owner that dies while holding it makes the next wait
/// return kAbandoned (and own it). On Linux: a robust process-shared mutex in a
/// small file under $QMA_STATE_DIR/mutex/.
/// On Windows: Global\ namespace; creating needs SeCreateGlobalPrivilege (services, admins).
class NamedMutex {
 public:
  NamedMutex(NamedMutex&&) noexcept;
  NamedMutex& operator=(NamedMutex&&) noexcept;
  ~NamedMutex();

  /// Opens an existing mutex; fails with kErrorFileNotFound when none has that name.
  [[nodiscard]] static Result<NamedMutex> open(std::string_view name);
  /// Opens the mutex, creating it unowned when it does not exist yet.
  [[nodiscard]] static Result<NamedMutex> create(std::string_view name);

  /// Waits at most timeout_ms (kInfinite: no limit) to own the mutex.
  [[nodiscard]] WaitStatus wait(uint32_t timeout_ms);
  /// Gives up one level of ownership; false when this thread does not own it.
  bool release();

 private:
  struct Impl;
  explicit NamedMutex(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace qma::platform
