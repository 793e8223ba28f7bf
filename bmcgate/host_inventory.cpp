// Inventory objects from the host's files: DMI attributes, os-release and the mount table.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "bmcgate/inventory_provider.h"
#include "platform/environment.h"
#include "platform/file.h"

namespace qma::bmcgate {
namespace {

constexpr std::string_view kDmiFolder = "sys/class/dmi/id";

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// Length of the valid UTF-8 sequence at the start of text, or 0 when it is not one.
size_t utf8_sequence_length(std::string_view text) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80) return 1;
  size_t length = 0;
  uint32_t code = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    code = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    code = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    code = lead & 0x07;
  } else {
    return 0;
  }
  if (text.size() < length) return 0;
  for (size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return 0;
    code = (code << 6) | (byte(i) & 0x3F);
  }
  const bool overlong = (length == 3 && code < 0x800) || (length == 4 && code < 0x10000);
  const bool surrogate = code >= 0xD800 && code <= 0xDFFF;
  if (overlong || surrogate || code > 0x10FFFF) return 0;
  return length;
}

long hresult_from_errno(int error) {
  if (error == ENOENT || error == ENOTDIR) return kWbemNotFound;
  if (error == EACCES || error == EPERM) return kWbemAccessDenied;
  return kWbemFailed;
}

PropertyValue read_text_property(const std::string& path) {
  auto bytes = platform::read_file_cached(path);
  if (!bytes) return PropertyValue::Failed(hresult_from_errno(bytes.error()));
  return PropertyValue::Text(property_text_from_bytes(*bytes));
}

PropertyValue read_dmi(std::string_view attribute) {
  return read_text_property(
      platform::host_path(std::string(kDmiFolder) + "/" + std::string(attribute)));
}

bool has_dmi() {
  return platform::is_directory_as_named(platform::host_path(kDmiFolder));
}

/// Whether the last look found the DMI folder. It decides only which look comes first,
/// the folder's or the attribute file's, so that either kind of host costs one look per
/// attribute; what a query answers always comes from the looks it makes itself.
std::atomic<bool> g_dmi_seen{false};

/// The DMI reads of one query. A host without the folder has no instances of the classes,
/// as a machine without SMBIOS; a file missing in the folder is a failed property read.
class DmiReads {
 public:
  /// The attribute's value; nullopt when the host has no DMI folder.
  std::optional<PropertyValue> read(std::string_view attribute) {
    if (present_) return read_dmi(attribute);
    if (!g_dmi_seen.load(std::memory_order_relaxed)) {
      if (!present()) return std::nullopt;
      return read_dmi(attribute);
    }
    PropertyValue value = read_dmi(attribute);
    if (value.read_ok) {
      // A file read from the folder shows that the folder is there.
      looked_ = present_ = true;
      return value;
    }
    if (present()) return value;
    return std::nullopt;
  }
  /// Whether the folder exists, looked at once per query.
  bool present() {
    if (!looked_) {
      looked_ = true;
      present_ = has_dmi();
      g_dmi_seen.store(present_, std::memory_order_relaxed);
    }
    return present_;
  }

 private:
  bool looked_ = false;
  bool present_ = false;
};

/// Whether the caller reads that property (an empty `wanted` reads them all).
bool wants(std::string_view wanted, std::string_view property) {
  return wanted.empty() || wanted == property;
}

QueryOutcome bios(std::string_view wanted) {
  QueryOutcome outcome;
  DmiReads dmi;
  InventoryObject object;
  for (auto [property, attribute] : {std::pair{"SMBIOSBIOSVersion", "bios_version"},
                                     std::pair{"SerialNumber", "product_serial"}}) {
    if (!wants(wanted, property)) continue;
    std::optional<PropertyValue> value = dmi.read(attribute);
    if (!value) return outcome;
    object.emplace(property, std::move(*value));
  }
  if (!dmi.present()) return outcome;
  outcome.objects.push_back(std::move(object));
  return outcome;
}

QueryOutcome computer_system_product(std::string_view wanted) {
  QueryOutcome outcome;
  DmiReads dmi;
  InventoryObject object;
  if (wants(wanted, "Name")) {
    // The name carries the model code in brackets, the form the agent splits.
    std::optional<PropertyValue> name = dmi.read("product_name");
    if (!name) return outcome;
    if (name->text) {
      std::optional<PropertyValue> sku = dmi.read("product_sku");
      if (sku && sku->text && !sku->text->empty()) *name->text += " [" + *sku->text + "]";
    }
    object.emplace("Name", std::move(*name));
  }
  if (wants(wanted, "UUID")) {
    // Upper case, as the firmware tables are usually shown to administrators.
    std::optional<PropertyValue> uuid = dmi.read("product_uuid");
    if (!uuid) return outcome;
    if (uuid->text) {
      std::transform(uuid->text->begin(), uuid->text->end(), uuid->text->begin(),
                     [](char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; });
    }
    object.emplace("UUID", std::move(*uuid));
  }
  if (!dmi.present()) return outcome;
  outcome.objects.push_back(std::move(object));
  return outcome;
}

// The value of KEY in os-release text, unquoted; nullopt when absent.
std::optional<std::string> os_release_value(std::string_view text, std::string_view key) {
  std::optional<std::string> found;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    start = end + 1;
    while (!line.empty() && is_space(line.front())) line.remove_prefix(1);
    while (!line.empty() && is_space(line.back())) line.remove_suffix(1);
    if (line.size() <= key.size() || line.substr(0, key.size()) != key || line[key.size()] != '=') {
      continue;
    }
    std::string_view raw = line.substr(key.size() + 1);
    std::string value;
    if (!raw.empty() && (raw.front() == '"' || raw.front() == '\'')) {
      const char quote = raw.front();
      for (size_t i = 1; i < raw.size() && raw[i] != quote; ++i) {
        if (quote == '"' && raw[i] == '\\' && i + 1 < raw.size()) ++i;
        value += raw[i];
      }
    } else {
      value = std::string(raw);
    }
    found = std::move(value);
  }
  return found;
}

// The device mounted at "/" in a mount table (the last such line wins).
std::string root_device(std::string_view mounts) {
  std::string device;
  size_t start = 0;
  while (start < mounts.size()) {
    size_t end = mounts.find('\n', start);
    if (end == std::string_view::npos) end = mounts.size();
    std::string_view line = mounts.substr(start, end - start);
    start = end + 1;
    const size_t first_gap = line.find(' ');
    if (first_gap == std::string_view::npos) continue;
    const size_t second_gap = line.find(' ', first_gap + 1);
    if (line.substr(first_gap + 1, second_gap - first_gap - 1) != "/") continue;
    // Decode the table's octal escapes (\040 for a space).
    std::string_view raw = line.substr(0, first_gap);
    device.clear();
    for (size_t i = 0; i < raw.size(); ++i) {
      const auto octal = [&](size_t at, char high) { return raw[at] >= '0' && raw[at] <= high; };
      if (raw[i] == '\\' && i + 3 < raw.size() && octal(i + 1, '3') && octal(i + 2, '7') &&
          octal(i + 3, '7')) {
        device += static_cast<char>(((raw[i + 1] - '0') << 6) | ((raw[i + 2] - '0') << 3) |
                                    (raw[i + 3] - '0'));
        i += 3;
      } else {
        device += raw[i];
      }
    }
  }
  return property_text_from_bytes(device);
}

/// The device mounted at "/" under the host root, read from its mount table once per
/// process and host root: the root file system is not mounted anew while the system runs.
/// A table that cannot be read gives an empty device and is tried again next time.
std::string root_device_of_host() {
  static auto* guard = new std::mutex;
  static auto* known = new std::map<std::string, std::string, std::less<>>;
  const std::string root = platform::host_root();
  {
    std::lock_guard lock(*guard);
    if (auto found = known->find(root); found != known->end()) return found->second;
  }
  auto mounts = platform::read_file(platform::host_path("proc/mounts"));
  if (!mounts) return {};
  std::string device = root_device(*mounts);
  std::lock_guard lock(*guard);
  known->emplace(root, device);
  return device;
}

QueryOutcome operating_system(std::string_view wanted) {
  QueryOutcome outcome;
  InventoryObject object;
  if (wants(wanted, "Name")) {
    auto release = platform::read_file_cached(platform::host_path("etc/os-release"));
    if (!release) release = platform::read_file_cached(platform::host_path("usr/lib/os-release"));
    if (!release) {
      object.emplace("Name", PropertyValue::Failed(hresult_from_errno(release.error())));
    } else {
      std::optional<std::string> pretty = os_release_value(*release, "PRETTY_NAME");
      if (!pretty) pretty = os_release_value(*release, "NAME");
      if (!pretty) pretty = "Linux";
      // Caption, system folder and boot device, as the name property carries them.
      object.emplace("Name", PropertyValue::Text(property_text_from_bytes(*pretty) + "|/|" +
                                                 root_device_of_host()));
    }
  }
  object.emplace("CSDVersion", PropertyValue::Null());
  object.emplace("OperatingSystemSKU", PropertyValue::Number(kLinuxOperatingSystemSku));
  outcome.objects.push_back(std::move(object));
  return outcome;
}

}  // namespace

std::string property_text_from_bytes(std::string_view bytes) {
  bytes = bytes.substr(0, bytes.find('\0'));
  while (!bytes.empty() && is_space(bytes.back())) bytes.remove_suffix(1);
  std::string text;
  text.reserve(bytes.size());
  while (!bytes.empty()) {
    const size_t length = utf8_sequence_length(bytes);
    if (length == 0) {
      text += '?';
      bytes.remove_prefix(1);
    } else {
      text.append(bytes.substr(0, length));
      bytes.remove_prefix(length);
    }
  }
  return text;
}

QueryOutcome HostInventoryProvider::query(std::string_view wmi_class) {
  return query_for(wmi_class, {});
}

QueryOutcome HostInventoryProvider::query_for(std::string_view wmi_class,
                                              std::string_view property) {
  if (wmi_class == "Win32_BIOS") return bios(property);
  if (wmi_class == "Win32_ComputerSystemProduct") return computer_system_product(property);
  if (wmi_class == "Win32_OperatingSystem") return operating_system(property);
  QueryOutcome invalid;
  invalid.stage_error = -13;
  invalid.hresult = 0x80041010L;  // invalid class
  return invalid;
}

}  // namespace qma::bmcgate
