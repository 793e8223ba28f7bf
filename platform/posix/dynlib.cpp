// Shared libraries bound at run time through dlopen (POSIX backend).
//
// This folder is the only place that may include OS headers. Nothing here logs.
#include "platform/dynlib.h"

#include <dlfcn.h>

#include <cerrno>
#include <string>
#include <utility>

#include "platform/error.h"

namespace qma::platform {

const char* const kXmlReaderLibraryName = "libxml2.so.2";
const char* const kXmlSubLibraryName = "libQMAgentSub.so";
const char* const kMoxClientLibraryName = "libmoxclient.so";

DynamicLibrary::DynamicLibrary(DynamicLibrary&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)) {}

DynamicLibrary& DynamicLibrary::operator=(DynamicLibrary&& other) noexcept {
  if (this != &other) {
    unload();
    handle_ = std::exchange(other.handle_, nullptr);
  }
  return *this;
}

DynamicLibrary::~DynamicLibrary() {
  unload();
}

Result<DynamicLibrary> DynamicLibrary::load(std::string_view name) {
  if (name.empty()) {
    set_last_error(EINVAL);
    return Result<DynamicLibrary>::failure(EINVAL);
  }
  // dlopen searches the library path for a bare name and takes a name with a
  // slash as a path, which is the rule the interface promises.
  void* handle = dlopen(std::string(name).c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr && name.find('/') == std::string_view::npos) {
    // The programs' run path names their own folder ($ORIGIN). A dlopen that reaches
    // the loader through an interposed wrapper (the sanitizers' runtimes) is seen as
    // called from the wrapper's library and loses that run path, so the folder is
    // searched here explicitly as well.
    auto beside = load_from_program_folder(name);
    if (beside.ok()) return beside;
  }
  if (handle == nullptr) {
    // dlopen gives no errno of its own; a library that cannot be bound is "not found".
    set_last_error(ENOENT);
    return Result<DynamicLibrary>::failure(ENOENT);
  }
  return DynamicLibrary(handle);
}

void* DynamicLibrary::symbol(std::string_view name) const {
  if (handle_ == nullptr) {
    set_last_error(EINVAL);
    return nullptr;
  }
  dlerror();
  void* address = dlsym(handle_, std::string(name).c_str());
  if (address == nullptr) set_last_error(ENOENT);
  return address;
}

bool DynamicLibrary::unload() {
  if (handle_ == nullptr) return true;
  void* handle = std::exchange(handle_, nullptr);
  if (dlclose(handle) != 0) {
    set_last_error(EINVAL);
    return false;
  }
  return true;
}

}  // namespace qma::platform
