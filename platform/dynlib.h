// Libraries bound by name at run time.
#pragma once

#include <cerrno>
#include <string_view>

#include "platform/result.h"

namespace qma::platform {

/// The file names, as this system names them, of the libraries the agent binds by
/// name: the XML reader, the XML query library QMAgentSub and the communication
/// client.
extern const char* const kXmlReaderLibraryName;
extern const char* const kXmlSubLibraryName;
extern const char* const kMoxClientLibraryName;
/// The last error after symbol() found no such export: ERROR_PROC_NOT_FOUND (127) on Windows,
/// ENOENT elsewhere.
#ifdef _WIN32
inline constexpr int kErrorSymbolMissing = 127;
#else
inline constexpr int kErrorSymbolMissing = ENOENT;
#endif

/// A loaded shared library. Unloads when destroyed unless released.
class DynamicLibrary {
 public:
  DynamicLibrary(DynamicLibrary&&) noexcept;
  DynamicLibrary& operator=(DynamicLibrary&&) noexcept;
  ~DynamicLibrary();

  /// Loads by name through the library search path (or a path when it has a separator).
  [[nodiscard]] static Result<DynamicLibrary> load(std::string_view name);
  /// Loads a library file from the folder of the running program (the first place a Windows
  /// program looks). On Linux this is needed where a sanitizer's interception of the loader
  /// hides the program's own run path from a load by name.
  [[nodiscard]] static Result<DynamicLibrary> load_from_program_folder(std::string_view name);
  /// The address of an exported symbol, or nullptr.
  void* symbol(std::string_view name) const;
  /// Unloads now; false when the system refused.
  bool unload();
  /// Keeps the library loaded for the rest of the process.
  void release() { handle_ = nullptr; }

 private:
  explicit DynamicLibrary(void* handle) : handle_(handle) {}
  void* handle_ = nullptr;
};

}  // namespace qma::platform
