// BmcGate's process-wide state, its set-up and tear-down, and its replaceable parts.
#include "bmcgate/library_state.h"

#include "bmcgate/bmcgate.h"
#include "bmcgate/bmcgate_seams.h"
#include "bmcgate/library_log.h"
#include "common/cmn/qmcmn.h"

namespace qma::bmcgate {
namespace {

std::atomic<InventoryProvider*> g_inventory{nullptr};
std::atomic<platform::IpmiDriver*> g_driver{nullptr};
std::atomic<IpmiWmiProvider*> g_ipmi_wmi{nullptr};
std::atomic<platform::Sleeper*> g_sleeper{nullptr};

struct ErrorMessage {
  int code;
  const char* format;
};
constexpr ErrorMessage kErrorMessages[] = {
    {-10, "[ERROR] CoCreateInstance() : %lx"},
    {-11, "[ERROR] ConnectServer() : %lx"},
    {-12, "[ERROR] GetObject() : %lx"},
    {-13, "[ERROR] ExecQuery() : %lx"},
    {-14, "[ERROR] GetMethod() : %lx"},
    {-15, "[ERROR] CreateParameter Put() : %lx"},
    {-16, "[ERROR] ExecMethod() : %lx"},
    {-17, "[ERROR] ExecMethod Get() : %lx"},
    {-18, "[ERROR] pEnumerator->Next() : %lx"},
    {-19, "[ERROR] pClassInstance->Get() : %lx"},
    {-20, "[ERROR] wbem_object->Get() ERROR_GET_BIOS_VERSION : %lx"},
    {-21, "[ERROR] wbem_object->Get() ERROR_GET_SYSTEM_PRODUCT_NAME : %lx"},
    {-22, "[ERROR] wbem_object->Get() ERROR_GET_SERIAL_NUMBER : %lx"},
    {-23, "[ERROR] wbem_object->Get() ERROR_GET_GUID : %lx"},
    {-25, "[ERROR] wbem_object->Get() ERROR_GET_OSVALUE : %lx"},
    {-26, "[ERROR] wbem_object->Get() ERROR_GET_OSVALUE_SKU : %lx"},
};

}  // namespace

LibraryState& state() {
  static LibraryState instance;
  return instance;
}

InventoryProvider& inventory_provider() {
  static HostInventoryProvider host;
  InventoryProvider* injected = g_inventory.load();
  return injected != nullptr ? *injected : host;
}

platform::IpmiDriver& ipmi_driver() {
  static platform::IpmiDriver real;
  platform::IpmiDriver* injected = g_driver.load();
  return injected != nullptr ? *injected : real;
}

IpmiWmiProvider& ipmi_wmi_provider() {
  static AbsentIpmiWmiProvider absent;
  IpmiWmiProvider* injected = g_ipmi_wmi.load();
  return injected != nullptr ? *injected : absent;
}

platform::Sleeper& sleeper() {
  static platform::Sleeper real;
  platform::Sleeper* injected = g_sleeper.load();
  return injected != nullptr ? *injected : real;
}

void log_error_code(int code, long hresult) {
  for (const ErrorMessage& entry : kErrorMessages) {
    if (entry.code == code) {
      library_log(entry.format, static_cast<unsigned long>(hresult) & 0xFFFFFFFFUL);
      return;
    }
  }
}

void set_inventory_provider(InventoryProvider* provider) {
  g_inventory.store(provider);
}
void set_ipmi_driver(platform::IpmiDriver* driver) {
  g_driver.store(driver);
}
void set_ipmi_wmi_provider(IpmiWmiProvider* provider) {
  g_ipmi_wmi.store(provider);
}
void set_sleeper(platform::Sleeper* sleeper) {
  g_sleeper.store(sleeper);
}

void reset_process_state() {
  LibraryState& st = state();
  st.initialized = false;
  st.provider_searched = false;
  st.use_wmi = false;
  st.class_object = nullptr;
  st.in_parameters = {};
  st.in_parameters_valid = false;
  st.log_enabled = 1;
  st.log_lines = 0;
  close_library_log();
}

}  // namespace qma::bmcgate

using qma::bmcgate::library_log;
using qma::bmcgate::state;

extern "C" int init(void) {
  try {
    if (QMCmnRefreshEnvironment() != 0) return -1;
    if (state().initialized.exchange(true)) return 0;
    library_log("==dll initialize==");
    // COM needs no set-up on this platform: both calls succeed by definition.
    return 0;
  } catch (...) {
    return -1;
  }
}

extern "C" void finish(void) {
  try {
    state().class_object = nullptr;
    state().initialized = false;
    qma::bmcgate::close_library_log();
  } catch (...) {
  }
}
