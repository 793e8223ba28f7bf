// Libraries bound at run time through LoadLibrary (Windows backend).
//
// This folder is the only place that may include OS headers. Nothing here logs.
#include "platform/dynlib.h"

#include <string>
#include <utility>

#include "platform/error.h"
#include "platform/win32/wide.h"

namespace qma::platform {

const char* const kXmlReaderLibraryName = "libxml2.dll";
const char* const kXmlSubLibraryName = "QMAgentSub.dll";
const char* const kMoxClientLibraryName = "moxclient.dll";

namespace {

Result<DynamicLibrary> failed(int error) {
  set_last_error(error);
  return Result<DynamicLibrary>::failure(error);
}

bool has_separator(std::string_view name) {
  return name.find_first_of("/\\:") != std::string_view::npos;
}

}  // namespace

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
  if (name.empty()) return failed(ERROR_INVALID_PARAMETER);
  // No error box for a library that cannot be bound: the caller reports it.
  DWORD previous = 0;
  ::SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &previous);
  // A bare name goes through the search order, whose first place is the program's folder;
  // a name with a separator is a path.
  HMODULE module = ::LoadLibraryW(win32::widen(name).c_str());
  const int error = module == nullptr ? win32::record_last_error() : 0;
  ::SetThreadErrorMode(previous, nullptr);
  if (module == nullptr) return Result<DynamicLibrary>::failure(error);
  return DynamicLibrary(reinterpret_cast<void*>(module));
}

Result<DynamicLibrary> DynamicLibrary::load_from_program_folder(std::string_view name) {
  if (name.empty() || has_separator(name)) return failed(ERROR_INVALID_PARAMETER);
  std::wstring self(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length =
        ::GetModuleFileNameW(nullptr, self.data(), static_cast<DWORD>(self.size()));
    if (length == 0) return Result<DynamicLibrary>::failure(win32::record_last_error());
    if (length < self.size()) {
      self.resize(length);
      break;
    }
    if (self.size() >= 32768) return failed(ERROR_FILENAME_EXCED_RANGE);
    self.resize(self.size() * 2);
  }
  const size_t slash = self.find_last_of(L"\\/");
  if (slash == std::wstring::npos) return failed(ERROR_INVALID_PARAMETER);
  self.resize(slash + 1);
  self.append(win32::widen(name));
  DWORD previous = 0;
  ::SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &previous);
  // With a full path the library's own dependencies are looked for beside it first.
  HMODULE module = ::LoadLibraryExW(self.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  const int error = module == nullptr ? win32::record_last_error() : 0;
  ::SetThreadErrorMode(previous, nullptr);
  if (module == nullptr) return Result<DynamicLibrary>::failure(error);
  return DynamicLibrary(reinterpret_cast<void*>(module));
}

void* DynamicLibrary::symbol(std::string_view name) const {
  if (handle_ == nullptr) {
    set_last_error(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  FARPROC address = ::GetProcAddress(static_cast<HMODULE>(handle_), std::string(name).c_str());
  if (address == nullptr) {
    win32::record_last_error();
    return nullptr;
  }
  return reinterpret_cast<void*>(address);
}

bool DynamicLibrary::unload() {
  if (handle_ == nullptr) return true;
  void* handle = std::exchange(handle_, nullptr);
  if (!::FreeLibrary(static_cast<HMODULE>(handle))) {
    win32::record_last_error();
    return false;
  }
  return true;
}

}  // namespace qma::platform
