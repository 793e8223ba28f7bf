// The IPMI WMI provider (class Microsoft_IPMI in root\WMI), behind an interface.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qma::bmcgate {

/// The in-parameters of the method RequestResponse.
struct IpmiInParameters {
  uint8_t network_function = 0;
  uint8_t lun = 0;
  uint8_t responder_address = 0;
  uint8_t command = 0;
  int32_t request_data_size = 0;
  bool has_request_data = false;
  std::vector<uint8_t> request_data;
};

/// A failed step reports its result code; 0 is success.
class IpmiWmiProvider {
 public:
  virtual ~IpmiWmiProvider() = default;
  /// Connects to root\WMI and gets the class Microsoft_IPMI. On failure *stage is
  /// -10 (locator), -11 (connect) or -12 (class).
  virtual long open_class(int* stage) = 0;
  /// InstanceName of the first Microsoft_IPMI object. *stage is -13 (query),
  /// -18 (no object) or -19 (property).
  virtual long first_instance_name(std::string* name, int* stage) = 0;
  /// The in-parameter definition of RequestResponse (-14 on failure).
  virtual long get_method() = 0;
  /// Executes RequestResponse; *stage is -16 (execution) or -17 (ResponseData).
  virtual long request_response(const std::string& object_path, const IpmiInParameters& in,
                                std::vector<uint8_t>* response_data, int* stage) = 0;
};

/// The provider of a host without Microsoft_IPMI: on Linux the class never exists.
class AbsentIpmiWmiProvider final : public IpmiWmiProvider {
 public:
  long open_class(int* stage) override;
  long first_instance_name(std::string* name, int* stage) override;
  long get_method() override;
  long request_response(const std::string& object_path, const IpmiInParameters& in,
                        std::vector<uint8_t>* response_data, int* stage) override;
};

}  // namespace qma::bmcgate
