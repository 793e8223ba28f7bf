// Where the inventory queries get their objects: the host's facts, or a test's.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bmcgate/bmcgate.h"

namespace qma::bmcgate {

/// Result codes of the query source, as the library log prints them.
inline constexpr long kWbemFailed = 0x80041001L;
inline constexpr long kWbemNotFound = 0x80041002L;
inline constexpr long kWbemAccessDenied = 0x80041003L;

/// One property read of one object.
struct PropertyValue {
  bool read_ok = true;  ///< false: reading the property failed (with hresult).
  long hresult = 0;
  bool is_null = false;             ///< The property holds no value.
  std::optional<std::string> text;  ///< A string value, UTF-8.
  std::optional<int64_t> number;    ///< An integer value.

  static PropertyValue Text(std::string value) {
    PropertyValue v;
    v.text = std::move(value);
    return v;
  }
  static PropertyValue Number(int64_t value) {
    PropertyValue v;
    v.number = value;
    return v;
  }
  static PropertyValue Null() {
    PropertyValue v;
    v.is_null = true;
    return v;
  }
  static PropertyValue Failed(long hresult) {
    PropertyValue v;
    v.read_ok = false;
    v.hresult = hresult;
    return v;
  }
};

/// One instance of a class: its properties by name. A property that is not
/// listed reads as failed with kWbemNotFound.
using InventoryObject = std::map<std::string, PropertyValue, std::less<>>;

/// The answer to "Select * From <class>".
struct QueryOutcome {
  int stage_error = 0;  ///< 0, or -10 (locator), -11 (connect), -13 (query).
  long hresult = 0;     ///< The failing stage's result code.
  std::vector<InventoryObject> objects;
};

/// A source of inventory objects for the classes Win32_BIOS,
/// Win32_ComputerSystemProduct and Win32_OperatingSystem.
class InventoryProvider {
 public:
  virtual ~InventoryProvider() = default;
  virtual QueryOutcome query(std::string_view wmi_class) = 0;
  /// The same objects for a caller that reads `property` of them (the OS name query also
  /// reads CSDVersion): a source may leave out properties that cost it a read and that
  /// the caller does not read. By default every property is there.
  virtual QueryOutcome query_for(std::string_view wmi_class, std::string_view property) {
    (void)property;
    return query(wmi_class);
  }
};

/// The OS SKU that the host provider reports for Linux, so that the OS type of a
/// Linux host is non-zero and tells Linux from every Windows edition.
inline constexpr int64_t kLinuxOperatingSystemSku = 0x100;

/// The host's facts under the host root: sys/class/dmi/id for the BIOS and the
/// product, etc/os-release and proc/mounts for the operating system. The files are read
/// through the platform's checked copies (read_file_cached), and the root device is read
/// once per process and host root.
class BMCGATE_API HostInventoryProvider final : public InventoryProvider {
 public:
  QueryOutcome query(std::string_view wmi_class) override;
  QueryOutcome query_for(std::string_view wmi_class, std::string_view property) override;
};

/// Turns file bytes into the text a property holds: cut at the first NUL,
/// trailing white space dropped, every byte that is not part of valid UTF-8
/// replaced by "?".
BMCGATE_API std::string property_text_from_bytes(std::string_view bytes);

}  // namespace qma::bmcgate
