// The process-wide state of BmcGate and the parts it runs on.
#pragma once

#include <atomic>

#include "bmcgate/inventory_provider.h"
#include "bmcgate/ipmi_wmi_provider.h"
#include "platform/clock.h"
#include "platform/ipmi_device.h"

namespace qma::bmcgate {

struct LibraryState {
  std::atomic<bool> initialized{false};
  // IPMI: the transport is chosen once per process.
  std::atomic<bool> provider_searched{false};
  std::atomic<bool> use_wmi{false};
  /// The Microsoft_IPMI class object of the current call (the provider itself).
  std::atomic<IpmiWmiProvider*> class_object{nullptr};
  /// The in-parameters built by createParameter for the current call.
  IpmiInParameters in_parameters;
  bool in_parameters_valid = false;
  // Library log.
  std::atomic<int> log_enabled{1};
  std::atomic<int> log_lines{0};
};

LibraryState& state();

InventoryProvider& inventory_provider();
platform::IpmiDriver& ipmi_driver();
IpmiWmiProvider& ipmi_wmi_provider();
platform::Sleeper& sleeper();

/// The error-table message of a result code, logged with the system result code.
void log_error_code(int code, long hresult);

/// Runs the body of an export; an exception never leaves the library but becomes
/// the export's failure value.
template <typename Body>
int guarded(int fallback, Body body) {
  try {
    return body();
  } catch (...) {
    return fallback;
  }
}

}  // namespace qma::bmcgate
