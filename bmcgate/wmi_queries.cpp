// The inventory exports: BIOS, product and OS values with the library's retry rules.
#include <cstring>
#include <string>
#include <string_view>

#include "bmcgate/bmcgate.h"
#include "bmcgate/inventory_provider.h"
#include "bmcgate/library_log.h"
#include "bmcgate/library_state.h"
#include "bmcgate/text_copy.h"

namespace qma::bmcgate {
namespace {

constexpr int kAttempts = 10;
constexpr uint32_t kRetryPauseMs = 100;
constexpr size_t kOsNameWorkSize = 520;

constexpr int kErrorBiosVersion = -20;
constexpr int kErrorProductName = -21;
constexpr int kErrorSerialNumber = -22;
constexpr int kErrorGuid = -23;
constexpr int kErrorOsValue = -25;
constexpr int kErrorOsSku = -26;

// The three legal signs that the OS caption may carry: trade mark, registered, copyright.
constexpr std::string_view kLegalSigns[] = {"\xE2\x84\xA2", "\xC2\xAE", "\xC2\xA9"};

PropertyValue property_of(const InventoryObject& object, std::string_view name) {
  auto found = object.find(name);
  if (found == object.end()) return PropertyValue::Failed(kWbemNotFound);
  return found->second;
}

// Runs the class query; on a failed stage logs it and returns its code.
bool run_query(std::string_view wmi_class, std::string_view property, QueryOutcome& outcome,
               int& result) {
  outcome = inventory_provider().query_for(wmi_class, property);
  if (outcome.stage_error != 0) {
    log_error_code(outcome.stage_error, outcome.hresult);
    result = outcome.stage_error;
    return false;
  }
  return true;
}

// One attempt at a text property of Win32_BIOS or Win32_ComputerSystemProduct.
int query_text(std::string_view wmi_class, char* buffer, size_t size, std::string_view property,
               int error_code) {
  QueryOutcome outcome;
  int result = 0;
  if (!run_query(wmi_class, property, outcome, result)) return result;
  for (const InventoryObject& object : outcome.objects) {
    const PropertyValue value = property_of(object, property);
    if (!value.read_ok) {
      library_log("== wbem_object->Get() error!! ==");
      log_error_code(error_code, value.hresult);
      return error_code;
    }
    std::memset(buffer, 0, size);
    if (!value.text) {
      library_log("== _com_util::ConvertBSTRToString() returned NULL!! ==");
      result = error_code;
      continue;
    }
    copy_to_buffer(buffer, size, *value.text);
    result = 0;
  }
  return result;
}

int getWin32_BIOS(char* buffer, size_t size, std::string_view property, int error_code) {
  return query_text("Win32_BIOS", buffer, size, property, error_code);
}

int getWin32_ComputerSystemProduct(char* buffer, size_t size, std::string_view property,
                                   int error_code) {
  return query_text("Win32_ComputerSystemProduct", buffer, size, property, error_code);
}

std::string without_legal_signs(std::string text) {
  for (std::string_view sign : kLegalSigns) {
    for (size_t at = text.find(sign); at != std::string::npos; at = text.find(sign, at)) {
      text.erase(at, sign.size());
    }
  }
  return text;
}

// The display name: caption up to "|", first "?" dropped, service pack appended.
int read_os_name(const InventoryObject& object, char* buffer, size_t size) {
  const PropertyValue name = property_of(object, "Name");
  if (!name.read_ok) {
    library_log("== wbem_object->Get()_1 error!! ==");
    log_error_code(kErrorOsValue, name.hresult);
    return kErrorOsValue;
  }
  std::memset(buffer, 0, size);
  if (!name.text) {
    library_log("== _com_util::ConvertBSTRToString() returned NULL!! ==");
    return kErrorOsValue;
  }
  const std::string cleaned = without_legal_signs(*name.text);

  const PropertyValue service_pack = property_of(object, "CSDVersion");
  std::string service_pack_text;
  if (!service_pack.read_ok) {
    library_log("== wbem_object->Get()_2 error!! ==");
  } else if (service_pack.text) {
    service_pack_text = *service_pack.text;
  }

  std::string display(cut_text(std::string_view(cleaned).substr(0, cleaned.find('|')), size - 1));
  if (const size_t mark = display.find('?'); mark != std::string::npos) display.erase(mark, 1);
  const size_t room = size - 1 - display.size();
  if (!service_pack_text.empty() && room > 1) {
    display += cut_text(" " + service_pack_text, room);
  }
  copy_to_buffer(buffer, size, display);
  return 0;
}

int read_os_sku(const InventoryObject& object, int* sku) {
  const PropertyValue value = property_of(object, "OperatingSystemSKU");
  if (!value.read_ok || !value.number) {
    *sku = 0;
    library_log("== wbem_object->Get() error!! (ERROR_GET_OSVALUE_SKU)==");
    log_error_code(kErrorOsSku, value.read_ok ? kWbemFailed : value.hresult);
    return kErrorOsSku;
  }
  *sku = static_cast<int>(*value.number);
  return 0;
}

// One attempt at Win32_OperatingSystem: the name (with_name) or the SKU.
int getWin32_OperatingSystem(char* buffer, size_t size, bool with_name, int* sku) {
  QueryOutcome outcome;
  int result = 0;
  if (!run_query("Win32_OperatingSystem", with_name ? "Name" : "OperatingSystemSKU", outcome,
                 result)) {
    return result;
  }
  for (const InventoryObject& object : outcome.objects) {
    // A property that cannot be read ends the walk; a name without text does not.
    if (with_name) {
      result = read_os_name(object, buffer, size);
      if (result != 0 && !property_of(object, "Name").read_ok) return result;
    } else {
      result = read_os_sku(object, sku);
      if (result != 0) return result;
    }
  }
  return result;
}

// Up to ten attempts, 100 ms apart, with the class's retry notes.
template <typename Attempt>
int with_retry(const char* query_function, Attempt attempt) {
  for (int i = 0; i < kAttempts; ++i) {
    if (attempt() == 0) return 0;
    sleeper().sleep(kRetryPauseMs);
    library_log("== Retry %s()!! ==", query_function);
  }
  library_log("== %s () Retry out!! ==", query_function);
  return -1;
}

// The common frame of the four text exports.
template <typename Attempt>
int text_export(const char* name, bool logs_parameter_errors, const char* query_function,
                char* buffer, int size, Attempt attempt) {
  library_log("== %s() start!! ==", name);
  if (buffer == nullptr || size <= 0) {
    if (logs_parameter_errors) {
      library_log("== %s() para_error%d end!! ==", name, buffer == nullptr ? 1 : 2);
    }
    return -1;
  }
  const int result = with_retry(query_function, [&] { return attempt(static_cast<size_t>(size)); });
  library_log("== %s() end!! ==", name);
  return result == 0 ? 0 : -1;
}

}  // namespace
}  // namespace qma::bmcgate

using namespace qma::bmcgate;  // NOLINT(google-build-using-namespace)

extern "C" int getBiosVersion(char* buffer, int size) {
  return guarded(-1, [&] {
    return text_export("getBiosVersion", true, "getWin32_BIOS", buffer, size, [&](size_t n) {
      return getWin32_BIOS(buffer, n, "SMBIOSBIOSVersion", kErrorBiosVersion);
    });
  });
}

extern "C" int getSerialNumber(char* buffer, int size) {
  return guarded(-1, [&] {
    return text_export("getSerialNumber", true, "getWin32_BIOS", buffer, size, [&](size_t n) {
      return getWin32_BIOS(buffer, n, "SerialNumber", kErrorSerialNumber);
    });
  });
}

extern "C" int getProductName(char* buffer, int size) {
  return guarded(-1, [&] {
    return text_export(
        "getProductName", false, "getWin32_ComputerSystemProduct", buffer, size, [&](size_t n) {
          return getWin32_ComputerSystemProduct(buffer, n, "Name", kErrorProductName);
        });
  });
}

extern "C" int getGUID(char* buffer, int size) {
  return guarded(-1, [&] {
    return text_export(
        "getGUID", true, "getWin32_ComputerSystemProduct", buffer, size,
        [&](size_t n) { return getWin32_ComputerSystemProduct(buffer, n, "UUID", kErrorGuid); });
  });
}

extern "C" int getOSNameString(char* buffer, int size) {
  return guarded(0, [&] {
    library_log("== getOSNameString() start!! ==");
    if (buffer == nullptr || size <= 0) {
      library_log("== getOSNameString() para_error%d end!! ==", buffer == nullptr ? 1 : 2);
      return 0;
    }
    char work[kOsNameWorkSize] = {};
    int unused_sku = 0;
    const int result = with_retry("getWin32_OperatingSystem", [&] {
      return getWin32_OperatingSystem(work, sizeof(work), true, &unused_sku);
    });
    std::memset(buffer, 0, static_cast<size_t>(size));
    if (result == 0) copy_to_buffer(buffer, static_cast<size_t>(size), work);
    library_log("== getOSNameString() end!! ==");
    return 0;
  });
}

extern "C" int getOSProductInfo(int /*reserved*/) {
  return guarded(-1, [&] {
    library_log("== getOSProductInfo() start!! ==");
    int sku = -1;
    (void)with_retry("getWin32_OperatingSystem",
                     [&] { return getWin32_OperatingSystem(nullptr, 0, false, &sku); });
    library_log("== getOSProductInfo() end!! ==");
    return sku;
  });
}
