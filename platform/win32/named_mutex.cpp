// Named mutexes in the system's Global\ namespace (Windows backend).
//
// This folder is the only place that may include OS headers. Nothing here logs.
//
// Global\, not the session's own namespace: the service runs in session 0 and a console
// program (QMAgent -install, a tool started by hand) in the user's session, and both must
// meet at one mutex.
#include "platform/named_mutex.h"

#include <windows.h>

#include <string>
#include <utility>

#include "platform/error.h"
#include "platform/win32/fail.h"
#include "platform/win32/handle.h"
#include "platform/win32/object_name.h"
#include "platform/win32/wide.h"

namespace qma::platform {

namespace {

constexpr size_t kNameMax = 200;

using win32::fail;

/// The names the portable callers use: plain words, never a path nor another namespace.
bool valid_name(std::string_view name) {
  return !name.empty() && name.size() <= kNameMax && name != "." && name != ".." &&
         name.find_first_of(std::string_view("/\\\0", 3)) == std::string_view::npos;
}

std::wstring system_name(std::string_view name) {
  return win32::widen("Global\\" + win32::state_tagged(name));
}

}  // namespace

struct NamedMutex::Impl {
  win32::Handle mutex;
};

NamedMutex::NamedMutex(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
NamedMutex::NamedMutex(NamedMutex&&) noexcept = default;
NamedMutex& NamedMutex::operator=(NamedMutex&&) noexcept = default;
NamedMutex::~NamedMutex() = default;

Result<NamedMutex> NamedMutex::open(std::string_view name) {
  if (!valid_name(name)) return fail<NamedMutex>(ERROR_INVALID_NAME);
  win32::Handle mutex(
      ::OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, system_name(name).c_str()));
  if (!mutex) return Result<NamedMutex>::failure(win32::record_last_error());
  auto impl = std::make_unique<Impl>();
  impl->mutex = std::move(mutex);
  return NamedMutex(std::move(impl));
}

Result<NamedMutex> NamedMutex::create(std::string_view name) {
  if (!valid_name(name)) return fail<NamedMutex>(ERROR_INVALID_NAME);
  win32::Handle mutex(::CreateMutexW(nullptr, FALSE, system_name(name).c_str()));
  if (!mutex) return Result<NamedMutex>::failure(win32::record_last_error());
  auto impl = std::make_unique<Impl>();
  impl->mutex = std::move(mutex);
  return NamedMutex(std::move(impl));
}

WaitStatus NamedMutex::wait(uint32_t timeout_ms) {
  if (!impl_) {
    set_last_error(ERROR_INVALID_HANDLE);
    return WaitStatus::kFailed;
  }
  switch (
      ::WaitForSingleObject(impl_->mutex.get(), timeout_ms == kInfinite ? INFINITE : timeout_ms)) {
    case WAIT_OBJECT_0:
      return WaitStatus::kSignaled;
    case WAIT_ABANDONED:
      // The owner ended holding it: this thread owns it now, once.
      return WaitStatus::kAbandoned;
    case WAIT_TIMEOUT:
      return WaitStatus::kTimeout;
    default:
      win32::record_last_error();
      return WaitStatus::kFailed;
  }
}

bool NamedMutex::release() {
  if (!impl_) {
    set_last_error(ERROR_INVALID_HANDLE);
    return false;
  }
  if (::ReleaseMutex(impl_->mutex.get())) return true;
  win32::record_last_error();
  return false;
}

}  // namespace qma::platform
