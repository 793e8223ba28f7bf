// The owner of a kernel handle (Windows backend).
//
// This folder is the only place that may include OS headers. Nothing here logs.
#pragma once

#include <windows.h>

#include <utility>

namespace qma::platform::win32 {

/// Owns a kernel handle (process, thread, job, mutex...) and closes it once; an invalid
/// handle value is held as none.
class Handle {
 public:
  Handle() = default;
  explicit Handle(HANDLE h) : h_(h == INVALID_HANDLE_VALUE ? nullptr : h) {}
  Handle(Handle&& other) noexcept : h_(std::exchange(other.h_, nullptr)) {}
  Handle& operator=(Handle&& other) noexcept {
    if (this != &other) {
      reset();
      h_ = std::exchange(other.h_, nullptr);
    }
    return *this;
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle() { reset(); }

  void reset() {
    if (h_ != nullptr) ::CloseHandle(h_);
    h_ = nullptr;
  }
  HANDLE get() const { return h_; }
  HANDLE release() { return std::exchange(h_, nullptr); }
  explicit operator bool() const { return h_ != nullptr; }

 private:
  HANDLE h_ = nullptr;
};

}  // namespace qma::platform::win32
