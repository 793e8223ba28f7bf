// The IPMI WMI provider of a host that has none: every step reports the class missing.
#include "bmcgate/inventory_provider.h"
#include "bmcgate/ipmi_wmi_provider.h"

namespace qma::bmcgate {

long AbsentIpmiWmiProvider::open_class(int* stage) {
  *stage = -12;
  return kWbemNotFound;
}

long AbsentIpmiWmiProvider::first_instance_name(std::string* /*name*/, int* stage) {
  *stage = -18;
  return kWbemNotFound;
}

long AbsentIpmiWmiProvider::get_method() {
  return kWbemNotFound;
}

long AbsentIpmiWmiProvider::request_response(const std::string& /*object_path*/,
                                             const IpmiInParameters& /*in*/,
                                             std::vector<uint8_t>* /*response_data*/, int* stage) {
  *stage = -16;
  return kWbemNotFound;
}

}  // namespace qma::bmcgate
