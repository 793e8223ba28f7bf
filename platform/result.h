// Result<T>: a value or a system error number, returned by every platform call that can fail.
#pragma once

#include <optional>
#include <utility>

namespace qma::platform {

/// A value, or the error number that explains why there is none.
/// Error numbers are Windows codes for emulated facilities and errno otherwise.
template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : value_(std::move(value)) {}  // NOLINT(google-explicit-constructor)
  static Result failure(int error) { return Result(error, 0); }

  bool ok() const { return value_.has_value(); }
  explicit operator bool() const { return ok(); }
  int error() const { return error_; }
  T& value() & { return *value_; }
  const T& value() const& { return *value_; }
  T&& value() && { return std::move(*value_); }
  T* operator->() { return &*value_; }
  const T* operator->() const { return &*value_; }
  T& operator*() & { return *value_; }

 private:
  Result(int error, int /*tag*/) : error_(error) {}
  std::optional<T> value_;
  int error_ = 0;
};

/// Success or an error number, for calls without a value.
class [[nodiscard]] Status {
 public:
  static Status success() { return Status(0); }
  static Status failure(int error) { return Status(error == 0 ? -1 : error); }
  bool ok() const { return error_ == 0; }
  explicit operator bool() const { return ok(); }
  int error() const { return error_; }

 private:
  explicit Status(int error) : error_(error) {}
  int error_;
};

}  // namespace qma::platform
