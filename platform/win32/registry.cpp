// The machine registry under HKEY_LOCAL_MACHINE, 64-bit view (Windows backend).
//
// This folder is the only place that may include OS headers. Nothing here logs.
// Every call opens its key by path again and closes it before returning, so a key
// deleted meanwhile is reported as such. Text values cross this layer as UTF-8 bytes and
// are stored as UTF-16, as every other program reading the registry expects.
#include "platform/registry.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "platform/environment.h"
#include "platform/registry_text.h"
#include "platform/win32/wide.h"

namespace qma::platform {

namespace {

/// The key under HKEY_LOCAL_MACHINE that takes the place of the hive, for tests; "" when
/// the real hive is used.
std::string test_root() {
  std::optional<std::string> root = get_nonempty_env("QMA_REGISTRY_ROOT");
  if (!root) return {};
  std::string_view text = *root;
  while (!text.empty() && text.front() == '\\') text.remove_prefix(1);
  while (!text.empty() && text.back() == '\\') text.remove_suffix(1);
  return std::string(text);
}

/// The path under HKEY_LOCAL_MACHINE of a sub-key path of the agent.
std::wstring full_path(std::string_view path) {
  const std::string root = test_root();
  if (root.empty()) return win32::widen(path);
  if (path.empty()) return win32::widen(root);
  return win32::widen(root + "\\" + std::string(path));
}

int check_path(std::string_view sub_key, std::string& normal) {
  // A trailing separator is tolerated, as the Windows calls do.
  while (!sub_key.empty() && sub_key.back() == '\\') sub_key.remove_suffix(1);
  std::vector<std::string_view> parts;
  if (!regtext::split_key_path(sub_key, parts)) return kErrorBadPathname;
  normal = std::string(sub_key);
  return 0;
}

bool is_text_type(DWORD type) {
  return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

/// A key opened for one call and closed with it. The hive itself is never closed.
class OpenKey {
 public:
  OpenKey() = default;
  OpenKey(const OpenKey&) = delete;
  OpenKey& operator=(const OpenKey&) = delete;
  ~OpenKey() {
    if (handle_ != nullptr && handle_ != HKEY_LOCAL_MACHINE) ::RegCloseKey(handle_);
  }
  /// Opens the key a RegistryKey names; a key that is gone is kErrorKeyDeleted (the hive,
  /// or the test root standing in for it, is created when absent, as it always exists).
  int open(const RegistryKey& key, REGSAM access) {
    if (key.path.empty()) {
      const std::string root = test_root();
      if (root.empty()) {
        handle_ = HKEY_LOCAL_MACHINE;
        return 0;
      }
      return static_cast<int>(::RegCreateKeyExW(
          HKEY_LOCAL_MACHINE, win32::widen(root).c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
          access | KEY_WOW64_64KEY, nullptr, &handle_, nullptr));
    }
    const LSTATUS rc = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, full_path(key.path).c_str(), 0,
                                       access | KEY_WOW64_64KEY, &handle_);
    if (rc == ERROR_FILE_NOT_FOUND) return kErrorKeyDeleted;
    return static_cast<int>(rc);
  }
  HKEY get() const { return handle_; }

 private:
  HKEY handle_ = nullptr;
};

/// The value's type and bytes as the registry holds them; growing the buffer while another
/// process makes the value longer.
int read_raw(HKEY key, const std::wstring& name, DWORD& type, std::vector<BYTE>& bytes) {
  DWORD size = 0;
  LSTATUS rc = ::RegQueryValueExW(key, name.c_str(), nullptr, &type, nullptr, &size);
  while (rc == ERROR_SUCCESS || rc == ERROR_MORE_DATA) {
    bytes.resize(size);
    rc = ::RegQueryValueExW(key, name.c_str(), nullptr, &type,
                            bytes.empty() ? nullptr : bytes.data(), &size);
    if (rc == ERROR_SUCCESS) {
      bytes.resize(size);
      return 0;
    }
  }
  return static_cast<int>(rc);
}

/// The bytes the agent sees of stored bytes: text types as UTF-8 (terminators and the
/// separators of a multi-string kept as they are), every other type unchanged.
std::string agent_bytes(DWORD type, const std::vector<BYTE>& bytes) {
  if (!is_text_type(type)) return std::string(bytes.begin(), bytes.end());
  // A stray last byte (an odd size written by some other program) holds no character.
  std::wstring wide(bytes.size() / 2, L'\0');
  if (!wide.empty()) std::memcpy(wide.data(), bytes.data(), wide.size() * sizeof(wchar_t));
  return win32::narrow(wide);
}

}  // namespace

std::string registry_file_path() {
  // No file holds the registry here; log lines name the hive (or the test root) instead.
  const std::string root = test_root();
  return root.empty() ? std::string(kHkeyLocalMachine)
                      : std::string(kHkeyLocalMachine) + "\\" + root;
}

std::string registry_file_problem() {
  return {};
}

int reg_create_key(std::string_view sub_key, RegistryKey& key, bool* created) {
  std::string path;
  if (int rc = check_path(sub_key, path); rc != 0) return rc;
  if (created != nullptr) *created = false;
  if (path.empty() && test_root().empty()) {
    key.path.clear();
    return 0;
  }
  HKEY handle = nullptr;
  DWORD disposition = 0;
  const LSTATUS rc = ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, full_path(path).c_str(), 0, nullptr,
                                       REG_OPTION_NON_VOLATILE, KEY_QUERY_VALUE | KEY_WOW64_64KEY,
                                       nullptr, &handle, &disposition);
  if (rc != ERROR_SUCCESS) return static_cast<int>(rc);
  ::RegCloseKey(handle);
  key.path = path;
  if (created != nullptr) *created = disposition == REG_CREATED_NEW_KEY;
  return 0;
}

int reg_open_key(std::string_view sub_key, RegistryKey& key) {
  std::string path;
  if (int rc = check_path(sub_key, path); rc != 0) return rc;
  if (!path.empty()) {
    HKEY handle = nullptr;
    const LSTATUS rc = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, full_path(path).c_str(), 0,
                                       KEY_QUERY_VALUE | KEY_WOW64_64KEY, &handle);
    if (rc != ERROR_SUCCESS) return static_cast<int>(rc);
    ::RegCloseKey(handle);
  }
  key.path = path;
  return 0;
}

int reg_get_value(const RegistryKey& key, std::string_view name, RegistryValue& value) {
  OpenKey open;
  if (int rc = open.open(key, KEY_QUERY_VALUE); rc != 0) return rc;
  DWORD type = REG_NONE;
  std::vector<BYTE> bytes;
  if (int rc = read_raw(open.get(), win32::widen(name), type, bytes); rc != 0) return rc;
  value.name = std::string(name);
  value.type = static_cast<uint32_t>(type);
  value.data = agent_bytes(type, bytes);
  return 0;
}

int reg_query_value(const RegistryKey& key, std::string_view name, uint32_t* type, void* data,
                    uint32_t* size) {
  if (data != nullptr && size == nullptr) return kErrorInvalidParameter;
  RegistryValue value;
  if (int rc = reg_get_value(key, name, value); rc != 0) return rc;
  if (type != nullptr) *type = value.type;
  // Sizes are those of the bytes the agent gets (UTF-8 for text), so a caller that asks for
  // the size first and then reads gets a buffer that fits.
  const auto needed = static_cast<uint32_t>(value.data.size());
  if (data != nullptr) {
    if (*size < needed) {
      *size = needed;
      return kErrorMoreData;
    }
    if (needed > 0) std::memcpy(data, value.data.data(), needed);
  }
  if (size != nullptr) *size = needed;
  return 0;
}

int reg_set_value(const RegistryKey& key, std::string_view name, uint32_t type, const void* data,
                  uint32_t size) {
  if ((data == nullptr && size != 0) || name.find('\0') != std::string_view::npos) {
    return kErrorInvalidParameter;
  }
  OpenKey open;
  if (int rc = open.open(key, KEY_SET_VALUE); rc != 0) return rc;
  std::string_view bytes(static_cast<const char*>(data), data == nullptr ? 0 : size);
  std::wstring wide;
  const BYTE* stored = reinterpret_cast<const BYTE*>(bytes.data());
  DWORD stored_size = static_cast<DWORD>(bytes.size());
  if (is_text_type(type)) {
    // Terminators and separators given are kept, and none are added: what is read back is
    // what was written.
    wide = win32::widen(bytes);
    stored_size = static_cast<DWORD>(wide.size() * sizeof(wchar_t));
    // The system counts a terminator the caller left out when the character past the given
    // size is one: a character that is none stands there, outside the size, so it is not.
    wide.push_back(L'\x1');
    stored = reinterpret_cast<const BYTE*>(wide.data());
  }
  return static_cast<int>(::RegSetValueExW(open.get(), win32::widen(name).c_str(), 0,
                                           static_cast<DWORD>(type),
                                           stored_size == 0 ? nullptr : stored, stored_size));
}

int reg_delete_value(const RegistryKey& key, std::string_view name) {
  OpenKey open;
  if (int rc = open.open(key, KEY_SET_VALUE); rc != 0) return rc;
  return static_cast<int>(::RegDeleteValueW(open.get(), win32::widen(name).c_str()));
}

int reg_delete_key(std::string_view sub_key) {
  std::string path;
  if (int rc = check_path(sub_key, path); rc != 0) return rc;
  if (path.empty()) return kErrorAccessDenied;
  const std::wstring full = full_path(path);
  HKEY handle = nullptr;
  LSTATUS rc = ::RegOpenKeyExW(
      HKEY_LOCAL_MACHINE, full.c_str(), 0,
      DELETE | KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_WOW64_64KEY, &handle);
  if (rc != ERROR_SUCCESS) return static_cast<int>(rc);
  // Everything below the key first, then the key itself in the same (64-bit) view.
  rc = ::RegDeleteTreeW(handle, nullptr);
  ::RegCloseKey(handle);
  if (rc != ERROR_SUCCESS) return static_cast<int>(rc);
  return static_cast<int>(::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, full.c_str(), KEY_WOW64_64KEY, 0));
}

int reg_enum_values(const RegistryKey& key, std::vector<RegistryValue>& values) {
  values.clear();
  OpenKey open;
  if (int rc = open.open(key, KEY_QUERY_VALUE); rc != 0) return rc;
  DWORD name_max = 0;
  DWORD data_max = 0;
  LSTATUS rc = ::RegQueryInfoKeyW(open.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                  nullptr, &name_max, &data_max, nullptr, nullptr);
  if (rc != ERROR_SUCCESS) return static_cast<int>(rc);
  std::wstring name(name_max + 1, L'\0');
  std::vector<BYTE> data(data_max);
  for (DWORD index = 0;;) {
    DWORD name_size = static_cast<DWORD>(name.size());
    DWORD data_size = static_cast<DWORD>(data.size());
    DWORD type = REG_NONE;
    rc = ::RegEnumValueW(open.get(), index, name.data(), &name_size, nullptr, &type,
                         data.empty() ? nullptr : data.data(), &data_size);
    if (rc == ERROR_NO_MORE_ITEMS) return 0;
    if (rc == ERROR_MORE_DATA) {
      // A value grew after the sizes were taken: the same index again with room for it.
      name.resize(std::max<size_t>(name.size() * 2, 16384 + 1));
      data.resize(std::max<size_t>(data.size() * 2, data_size));
      continue;
    }
    if (rc != ERROR_SUCCESS) return static_cast<int>(rc);
    data.resize(std::max<size_t>(data.size(), data_size));
    RegistryValue value;
    value.name = win32::narrow(std::wstring_view(name.data(), name_size));
    value.type = static_cast<uint32_t>(type);
    value.data = agent_bytes(type, std::vector<BYTE>(data.begin(), data.begin() + data_size));
    values.push_back(std::move(value));
    ++index;
  }
}

int reg_enum_subkeys(const RegistryKey& key, std::vector<std::string>& names) {
  names.clear();
  OpenKey open;
  if (int rc = open.open(key, KEY_ENUMERATE_SUB_KEYS)) return rc;
  // Key names are at most 255 characters.
  wchar_t name[256];
  for (DWORD index = 0;; ++index) {
    DWORD name_size = static_cast<DWORD>(std::size(name));
    const LSTATUS rc =
        ::RegEnumKeyExW(open.get(), index, name, &name_size, nullptr, nullptr, nullptr, nullptr);
    if (rc == ERROR_NO_MORE_ITEMS) return 0;
    if (rc != ERROR_SUCCESS) return static_cast<int>(rc);
    names.push_back(win32::narrow(std::wstring_view(name, name_size)));
  }
}

}  // namespace qma::platform
