// qmareg: query, add and delete keys and values of the agent's registry file, as reg.exe does.
//
//   qmareg query  KEY [/v NAME | /ve] [/s]
//   qmareg add    KEY [/v NAME | /ve] [/t TYPE] [/d DATA] [/f]
//   qmareg delete KEY [/v NAME | /ve | /va] [/f]
//
// KEY is HKLM\... or HKEY_LOCAL_MACHINE\... . Without /f, replacing an existing
// value or deleting asks "(Yes/No)?" on standard input; when no answer can be
// read (standard input closed or not a terminal with nothing to read) the
// operation is cancelled, so scripts must pass /f.
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/control_text.h"
#include "platform/registry.h"
#include "platform/registry_text.h"

namespace {

namespace reg = qma::platform;
using reg::regtext::iequals;

constexpr char kNotFound[] =
    "ERROR: The system was unable to find the specified registry key or value.";
constexpr char kSuccess[] = "The operation completed successfully.";
constexpr char kIndent[] = "    ";

int syntax_error(std::string_view operation, std::string_view why = {}) {
  std::cerr << "ERROR: Invalid syntax.";
  if (!why.empty()) std::cerr << ' ' << why;
  std::cerr << "\nType \"qmareg " << (operation.empty() ? "" : std::string(operation) + " ")
            << "/?\" for usage.\n";
  return 1;
}

int usage(std::string_view operation) {
  if (operation.empty() || iequals(operation, "query"))
    std::cout << "qmareg query KEY [/v NAME | /ve] [/s]\n"
                 "  Lists the values of KEY and its sub-keys (/s: the whole tree), or one value.\n";
  if (operation.empty() || iequals(operation, "add"))
    std::cout
        << "qmareg add KEY [/v NAME | /ve] [/t TYPE] [/d DATA] [/f]\n"
           "  Creates KEY, or sets a value. TYPE: REG_SZ (default), REG_EXPAND_SZ, REG_DWORD,\n"
           "  REG_QWORD, REG_BINARY. DWORD and QWORD data: decimal or 0x hexadecimal; binary\n"
           "  data: hexadecimal digits. /f replaces an existing value without asking.\n";
  if (operation.empty() || iequals(operation, "delete"))
    std::cout << "qmareg delete KEY [/v NAME | /ve | /va] [/f]\n"
                 "  Deletes KEY with its sub-keys, one value, or (/va) all values of KEY.\n"
                 "  /f deletes without asking.\n";
  std::cout << "KEY: HKLM\\SUBKEY or HKEY_LOCAL_MACHINE\\SUBKEY. Registry file: "
            << reg::registry_file_path() << "\n";
  return 0;
}

/// The sub-key path of a KEY argument, or nothing for another hive.
std::optional<std::string> sub_key_of(std::string_view key) {
  for (std::string_view hive : {std::string_view("HKLM"), reg::kHkeyLocalMachine}) {
    if (key.size() < hive.size() || !iequals(key.substr(0, hive.size()), hive)) continue;
    std::string_view rest = key.substr(hive.size());
    if (rest.empty()) return std::string();
    if (rest.front() != '\\') continue;
    rest.remove_prefix(1);
    while (!rest.empty() && rest.back() == '\\') rest.remove_suffix(1);
    return std::string(rest);
  }
  return std::nullopt;
}

/// A name or text as it is shown: control characters are written as escapes (\n,
/// \r, \t, \xHH), as the agent's logs show them; backslashes stay as they are.
std::string shown(std::string_view text) {
  return qma::common::control_escaped(text);
}

std::string full_name(const std::string& sub_key) {
  std::string name(reg::kHkeyLocalMachine);
  if (!sub_key.empty()) name += "\\" + sub_key;
  return shown(name);
}

/// Problems of the registry file go to standard error, once per run.
void report_file_problem() {
  static bool reported = false;
  std::string problem = reg::registry_file_problem();
  if (problem.empty() || reported) return;
  reported = true;
  std::cerr << "WARNING: " << reg::registry_file_path() << ": " << problem << "\n";
}

int registry_failure(int rc) {
  report_file_problem();
  if (rc == reg::kErrorFileNotFound || rc == reg::kErrorKeyDeleted) {
    std::cerr << kNotFound << "\n";
  } else if (rc == reg::kErrorBadPathname || rc == reg::kErrorInvalidParameter) {
    std::cerr << "ERROR: Invalid key or value name.\n";
  } else if (rc == reg::kErrorAccessDenied) {
    std::cerr << "ERROR: Access is denied.\n";
  } else {
    std::string problem = reg::registry_file_problem();
    std::cerr << "ERROR: The registry file could not be used (error " << rc << ")"
              << (problem.empty() ? "" : ": " + problem) << ".\n";
  }
  return 1;
}

/// Asks on standard input; anything but yes, or no answer at all, is no.
bool confirm(const std::string& question) {
  std::cout << question << " (Yes/No)? " << std::flush;
  std::string answer;
  if (!std::getline(std::cin, answer)) {
    std::cout << "\n";
    std::cerr << "ERROR: No answer could be read; use /f to proceed without asking.\n";
    return false;
  }
  if (iequals(answer, "y") || iequals(answer, "yes")) return true;
  std::cout << "The operation was cancelled.\n";
  return false;
}

std::string display_data(const reg::RegistryValue& value) {
  const std::string& data = value.data;
  char buf[32];
  auto little_endian = [&](size_t n) {
    uint64_t v = 0;
    for (size_t i = n; i-- > 0;) v = (v << 8) | static_cast<unsigned char>(data[i]);
    return v;
  };
  switch (value.type) {
    case reg::kRegSz:
    case reg::kRegExpandSz:
      return shown(data.substr(0, data.find('\0')));
    case reg::kRegDword:
      if (data.size() == 4) {
        std::snprintf(buf, sizeof buf, "0x%x", static_cast<unsigned>(little_endian(4)));
        return buf;
      }
      break;
    case reg::kRegQword:
      if (data.size() == 8) {
        std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(little_endian(8)));
        return buf;
      }
      break;
    case reg::kRegMultiSz: {
      std::string text = data;
      while (!text.empty() && text.back() == '\0') text.pop_back();
      std::string out;
      for (char c : text) out += c == '\0' ? std::string("\\0") : shown(std::string_view(&c, 1));
      return out;
    }
    default:
      break;
  }
  std::string hex;
  for (unsigned char c : data) {
    std::snprintf(buf, sizeof buf, "%02X", c);
    hex += buf;
  }
  return hex;
}

void print_value(const reg::RegistryValue& value) {
  std::cout << kIndent << (value.name.empty() ? "(Default)" : shown(value.name)) << kIndent
            << reg::reg_type_name(value.type) << kIndent << display_data(value) << "\n";
}

struct Options {
  std::string operation;
  std::string key;
  std::optional<std::string> value_name;  // /v NAME, or "" for /ve
  bool all_values = false;                // /va
  bool recursive = false;                 // /s
  bool force = false;                     // /f
  std::optional<std::string> type;        // /t
  std::optional<std::string> data;        // /d
};

int query_tree(const reg::RegistryKey& key, bool recursive) {
  std::vector<reg::RegistryValue> values;
  std::vector<std::string> sub_keys;
  if (int rc = reg::reg_enum_values(key, values); rc != 0) return registry_failure(rc);
  if (int rc = reg::reg_enum_subkeys(key, sub_keys); rc != 0) return registry_failure(rc);
  std::cout << "\n" << full_name(key.path) << "\n";
  for (const auto& value : values) print_value(value);
  if (!recursive) {
    if (!sub_keys.empty()) std::cout << "\n";
    for (const auto& sub : sub_keys)
      std::cout << full_name(key.path.empty() ? sub : key.path + "\\" + sub) << "\n";
    return 0;
  }
  for (const auto& sub : sub_keys) {
    reg::RegistryKey child;
    if (int rc = reg::reg_open_key(key.path.empty() ? sub : key.path + "\\" + sub, child); rc != 0)
      return registry_failure(rc);
    if (int rc = query_tree(child, true); rc != 0) return rc;
  }
  return 0;
}

int run_query(const Options& o, const std::string& sub_key) {
  if (o.type || o.data || o.force || o.all_values) return syntax_error("query");
  reg::RegistryKey key;
  if (int rc = reg::reg_open_key(sub_key, key); rc != 0) return registry_failure(rc);
  report_file_problem();
  if (!o.value_name) return query_tree(key, o.recursive);
  reg::RegistryValue value;
  if (int rc = reg::reg_get_value(key, *o.value_name, value); rc != 0) return registry_failure(rc);
  std::cout << "\n" << full_name(key.path) << "\n";
  print_value(value);
  std::cout << "\n";
  return 0;
}

/// DWORD and QWORD data: decimal, or hexadecimal after 0x.
bool parse_number(const std::string& text, uint64_t max, uint64_t& out) {
  if (text.empty()) return false;
  bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  size_t start = hex ? 2 : 0;
  out = 0;
  for (size_t i = start; i < text.size(); ++i) {
    char c = text[i];
    int digit = (c >= '0' && c <= '9')          ? c - '0'
                : (hex && c >= 'a' && c <= 'f') ? c - 'a' + 10
                : (hex && c >= 'A' && c <= 'F') ? c - 'A' + 10
                                                : -1;
    if (digit < 0) return false;
    uint64_t base = hex ? 16 : 10;
    if (out > (max - static_cast<uint64_t>(digit)) / base) return false;
    out = out * base + static_cast<uint64_t>(digit);
  }
  return true;
}

int run_add(const Options& o, const std::string& sub_key) {
  if (o.recursive || o.all_values) return syntax_error("add");
  if (!o.value_name && (o.type || o.data)) return syntax_error("add", "/t and /d need /v or /ve.");
  reg::RegistryKey key;
  if (!o.value_name) {
    if (int rc = reg::reg_create_key(sub_key, key); rc != 0) return registry_failure(rc);
    report_file_problem();
    std::cout << kSuccess << "\n";
    return 0;
  }

  std::string type_name = o.type.value_or("REG_SZ");
  const std::string text = o.data.value_or("");
  uint32_t type = 0;
  std::string bytes;
  uint64_t number = 0;
  if (iequals(type_name, "REG_SZ") || iequals(type_name, "REG_EXPAND_SZ")) {
    type = iequals(type_name, "REG_SZ") ? reg::kRegSz : reg::kRegExpandSz;
    bytes = text + '\0';  // stored with its terminator, as reg.exe stores it
  } else if (iequals(type_name, "REG_DWORD") || iequals(type_name, "REG_QWORD")) {
    bool dword = iequals(type_name, "REG_DWORD");
    type = dword ? reg::kRegDword : reg::kRegQword;
    if (!o.data)
      number = 0;
    else if (!parse_number(text, dword ? 0xffffffffull : ~0ull, number))
      return syntax_error("add", "The data is not a number of this type.");
    for (size_t i = 0; i < (dword ? 4u : 8u); ++i)
      bytes.push_back(static_cast<char>((number >> (8 * i)) & 0xff));
  } else if (iequals(type_name, "REG_BINARY")) {
    type = reg::kRegBinary;
    if (text.size() % 2 != 0)
      return syntax_error("add", "Binary data needs pairs of hexadecimal digits.");
    for (size_t i = 0; i < text.size(); i += 2) {
      uint64_t byte = 0;
      std::string pair = "0x" + text.substr(i, 2);
      if (!parse_number(pair, 0xff, byte))
        return syntax_error("add", "Binary data needs hexadecimal digits.");
      bytes.push_back(static_cast<char>(byte));
    }
  } else {
    return syntax_error("add", "Unknown type " + type_name + ".");
  }

  if (int rc = reg::reg_create_key(sub_key, key); rc != 0) return registry_failure(rc);
  report_file_problem();
  reg::RegistryValue existing;
  if (!o.force && reg::reg_get_value(key, *o.value_name, existing) == 0) {
    std::string shown = o.value_name->empty() ? "(Default)" : *o.value_name;
    if (!confirm("Value " + shown + " exists, overwrite")) return 1;
  }
  if (int rc = reg::reg_set_value(key, *o.value_name, type, bytes.data(),
                                  static_cast<uint32_t>(bytes.size()));
      rc != 0)
    return registry_failure(rc);
  std::cout << kSuccess << "\n";
  return 0;
}

int run_delete(const Options& o, const std::string& sub_key) {
  if (o.recursive || o.type || o.data || (o.all_values && o.value_name))
    return syntax_error("delete");
  reg::RegistryKey key;
  if (int rc = reg::reg_open_key(sub_key, key); rc != 0) return registry_failure(rc);
  report_file_problem();
  if (o.value_name) {
    reg::RegistryValue existing;
    if (int rc = reg::reg_get_value(key, *o.value_name, existing); rc != 0)
      return registry_failure(rc);
    std::string shown = o.value_name->empty() ? "(Default)" : *o.value_name;
    if (!o.force && !confirm("Delete the registry value " + shown)) return 1;
    if (int rc = reg::reg_delete_value(key, *o.value_name); rc != 0) return registry_failure(rc);
  } else if (o.all_values) {
    if (!o.force && !confirm("Delete all values under the registry key " + full_name(key.path)))
      return 1;
    std::vector<reg::RegistryValue> values;
    if (int rc = reg::reg_enum_values(key, values); rc != 0) return registry_failure(rc);
    for (const auto& value : values)
      if (int rc = reg::reg_delete_value(key, value.name); rc != 0 && rc != reg::kErrorFileNotFound)
        return registry_failure(rc);
  } else {
    if (key.path.empty()) return registry_failure(reg::kErrorAccessDenied);
    if (!o.force && !confirm("Permanently delete the registry key " + full_name(key.path)))
      return 1;
    if (int rc = reg::reg_delete_key(key.path); rc != 0) return registry_failure(rc);
  }
  std::cout << kSuccess << "\n";
  return 0;
}

int run(int argc, char** argv) {
  if (argc < 2) return syntax_error("", "No operation given.");
  Options o;
  o.operation = argv[1];
  if (o.operation == "/?" || o.operation == "-?" || o.operation == "--help" || o.operation == "-h")
    return usage("");
  if (!iequals(o.operation, "query") && !iequals(o.operation, "add") &&
      !iequals(o.operation, "delete"))
    return syntax_error("", "Unknown operation " + o.operation + ".");
  if (argc < 3) return syntax_error(o.operation);
  if (std::string_view(argv[2]) == "/?") return usage(o.operation);
  o.key = argv[2];
  for (int i = 3; i < argc; ++i) {
    std::string_view arg = argv[i];
    auto next = [&](std::optional<std::string>& slot) {
      if (slot || i + 1 >= argc) return false;
      slot = argv[++i];
      return true;
    };
    if (iequals(arg, "/v")) {
      if (!next(o.value_name)) return syntax_error(o.operation);
    } else if (iequals(arg, "/ve")) {
      if (o.value_name) return syntax_error(o.operation);
      o.value_name = "";
    } else if (iequals(arg, "/va")) {
      o.all_values = true;
    } else if (iequals(arg, "/s")) {
      o.recursive = true;
    } else if (iequals(arg, "/f")) {
      o.force = true;
    } else if (iequals(arg, "/t")) {
      if (!next(o.type)) return syntax_error(o.operation);
    } else if (iequals(arg, "/d")) {
      if (!next(o.data)) return syntax_error(o.operation);
    } else if (arg == "/?") {
      return usage(o.operation);
    } else {
      return syntax_error(o.operation, "Unknown switch " + std::string(arg) + ".");
    }
  }
  std::optional<std::string> sub_key = sub_key_of(o.key);
  if (!sub_key) {
    std::cerr << "ERROR: Invalid key name. Only HKLM (HKEY_LOCAL_MACHINE) keys exist here.\n";
    return 1;
  }
  if (iequals(o.operation, "query")) return run_query(o, *sub_key);
  if (iequals(o.operation, "add")) return run_add(o, *sub_key);
  return run_delete(o, *sub_key);
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(argc, argv);
  } catch (const std::exception& e) {
    std::cerr << "ERROR: " << e.what() << "\n";
    return 1;
  }
}
