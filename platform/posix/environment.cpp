// Process environment and the state and host roots (POSIX backend).
//
// This folder is the only place that may include OS headers. Nothing here logs.
#include "platform/environment.h"

#include <cerrno>
#include <cstdlib>
#include <string>

#include "platform/error.h"

namespace qma::platform {

namespace {

constexpr const char* kDefaultStateDir = "/var/lib/qmagent";
constexpr const char* kDefaultHostRoot = "/";

std::string env_or(const char* name, const char* fallback) {
  const char* value = std::getenv(name);
  if (value == nullptr || *value == '\0') return fallback;
  return value;
}

}  // namespace

std::optional<std::string> get_env(std::string_view name) {
  const char* value = std::getenv(std::string(name).c_str());
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

std::optional<std::string> get_nonempty_env(std::string_view name) {
  std::optional<std::string> value = get_env(name);
  if (value && value->empty()) return std::nullopt;
  return value;
}

Status set_env(std::string_view name, std::string_view value) {
  if (name.empty() || name.find('=') != std::string_view::npos) {
    set_last_error(EINVAL);
    return Status::failure(EINVAL);
  }
  if (setenv(std::string(name).c_str(), std::string(value).c_str(), 1) != 0) {
    int error = errno;
    set_last_error(error);
    return Status::failure(error);
  }
  return Status::success();
}

Status unset_env(std::string_view name) {
  if (name.empty() || name.find('=') != std::string_view::npos) {
    set_last_error(EINVAL);
    return Status::failure(EINVAL);
  }
  if (unsetenv(std::string(name).c_str()) != 0) {
    int error = errno;
    set_last_error(error);
    return Status::failure(error);
  }
  return Status::success();
}

std::string state_dir() {
  return env_or("QMA_STATE_DIR", kDefaultStateDir);
}

std::string host_root() {
  return env_or("QMA_HOST_ROOT", kDefaultHostRoot);
}

std::string host_path(std::string_view relative) {
  std::string root = host_root();
  while (!relative.empty() && relative.front() == '/') relative.remove_prefix(1);
  if (root.empty() || root.back() != '/') root.push_back('/');
  root.append(relative);
  return root;
}

bool host_is_real() {
  std::string root = host_root();
  // "/", "//" and the like are all the real root.
  return root.find_first_not_of('/') == std::string::npos;
}

}  // namespace qma::platform
