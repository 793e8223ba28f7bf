// The machine registry (keys under HKEY_LOCAL_MACHINE) with the Win32 calling rules.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/error.h"

namespace qma::platform {

/// Value types, numbered as Windows numbers them.
inline constexpr uint32_t kRegNone = 0;
inline constexpr uint32_t kRegSz = 1;
inline constexpr uint32_t kRegExpandSz = 2;
inline constexpr uint32_t kRegBinary = 3;
inline constexpr uint32_t kRegDword = 4;
inline constexpr uint32_t kRegMultiSz = 7;
inline constexpr uint32_t kRegQword = 11;

/// Windows error codes the registry calls return beside those of error.h
/// (0 success, 2 key or value absent, 234 buffer too small).
inline constexpr int kErrorInvalidParameter = 87;
inline constexpr int kErrorBadPathname = 161;
inline constexpr int kErrorRegistryIoFailed = 1016;
inline constexpr int kErrorKeyDeleted = 1018;

/// The one hive the agent uses; every sub-key path is relative to it.
inline constexpr std::string_view kHkeyLocalMachine = "HKEY_LOCAL_MACHINE";

/// An open key. Holds the key's path as stored (with the case it was first
/// created with, sub-keys separated by '\', "" for the hive itself). Closing is
/// dropping the object. Every call on a key reads the registry afresh, so a key
/// deleted by another process after it was opened reports kErrorKeyDeleted.
struct RegistryKey {
  std::string path;
};

/// One value: name as stored ("" is the key's default value), type and the
/// exact bytes (a REG_DWORD is 4 little-endian bytes when well formed, but any
/// size is kept as written).
struct RegistryValue {
  std::string name;
  uint32_t type = kRegNone;
  std::string data;
};

/// Opens a key, creating it and its missing parents first (RegCreateKeyEx).
/// `created` (optional) tells whether the key was new. Sub-key paths use '\'
/// and compare without case; a leading '\' or an empty component is
/// kErrorBadPathname.
[[nodiscard]] int reg_create_key(std::string_view sub_key, RegistryKey& key,
                                 bool* created = nullptr);

/// Opens an existing key (RegOpenKeyEx); kErrorFileNotFound when it is absent.
[[nodiscard]] int reg_open_key(std::string_view sub_key, RegistryKey& key);

/// Reads a value (RegQueryValueEx). `type` may be null. With `data` null the
/// needed size is stored in *size and 0 returned; with a buffer smaller than
/// the value, kErrorMoreData is returned and *size holds the needed size
/// (nothing is copied); otherwise the bytes are copied and *size is their
/// count. A string value is returned as stored, without an added terminator.
/// kErrorFileNotFound when the value is absent; kErrorInvalidParameter when
/// `data` is given without `size`.
[[nodiscard]] int reg_query_value(const RegistryKey& key, std::string_view name, uint32_t* type,
                                  void* data, uint32_t* size);

/// Reads a whole value; kErrorFileNotFound when it is absent.
[[nodiscard]] int reg_get_value(const RegistryKey& key, std::string_view name,
                                RegistryValue& value);

/// Writes a value with its type and exact byte size (RegSetValueEx), creating
/// it or replacing it. The name keeps the case it was first written with.
[[nodiscard]] int reg_set_value(const RegistryKey& key, std::string_view name, uint32_t type,
                                const void* data, uint32_t size);

/// Removes a value; kErrorFileNotFound when it is absent.
[[nodiscard]] int reg_delete_value(const RegistryKey& key, std::string_view name);

/// Removes a key with all its values and sub-keys (as `reg delete KEY` does);
/// kErrorFileNotFound when it is absent, kErrorAccessDenied for the hive itself.
[[nodiscard]] int reg_delete_key(std::string_view sub_key);

/// The key's values in stored order.
[[nodiscard]] int reg_enum_values(const RegistryKey& key, std::vector<RegistryValue>& values);

/// The names (last component, as stored) of the key's direct sub-keys.
[[nodiscard]] int reg_enum_subkeys(const RegistryKey& key, std::vector<std::string>& names);

/// "REG_SZ", "REG_DWORD", ... for a type; "REG_0x%x"-style text for unnamed types.
std::string reg_type_name(uint32_t type);

/// The registry file: $QMA_STATE_DIR/registry.reg (its lock file is the same
/// path with ".lock" appended).
std::string registry_file_path();

/// What was wrong with the registry file at this thread's last registry call
/// (lines that could not be parsed, and so were skipped and kept verbatim);
/// empty when the file was clean. Values that parsed are used either way, so a
/// caller only logs this.
std::string registry_file_problem();

}  // namespace qma::platform
