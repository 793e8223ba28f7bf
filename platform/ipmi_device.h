// The IPMI driver device: one request to the BMC's system interface, one reply back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/result.h"

namespace qma::platform {

/// An open IPMI driver device. Closed when destroyed.
class IpmiDevice {
 public:
  virtual ~IpmiDevice() = default;

  /// Sends one request (byte 0: network function shifted left by 2 with the LUN in
  /// the low bits; byte 1: command; then the request data) to the BMC and waits at
  /// most wait_ms for its reply. The reply is laid out as the request's byte 0, the
  /// request's command, the completion code and the response data, cut to
  /// response_size bytes; the result is the number of bytes stored.
  /// On Linux: asynchronous events and replies to other requests are skipped;
  /// a wait that runs out fails with ETIMEDOUT. On Windows: the driver's I/O control
  /// 0x810C2004 fills the reply itself; a wait that runs out fails with kErrorSemTimeout.
  [[nodiscard]] virtual Result<size_t> exchange(const uint8_t* request, size_t request_len,
                                                uint8_t* response, size_t response_size,
                                                uint32_t wait_ms) = 0;
};

/// Finds and opens the IPMI driver device. Tests replace it with a fake BMC.
class IpmiDriver {
 public:
  virtual ~IpmiDriver() = default;
  /// On Linux: the first of dev/ipmi0, dev/ipmi/0, dev/ipmidev/0 under the host
  /// root that opens; fails with the errno of the first candidate otherwise.
  /// On Windows: \\.\IPMIDEV, which no host root moves; fails with GetLastError().
  [[nodiscard]] virtual Result<std::unique_ptr<IpmiDevice>> open();
};

}  // namespace qma::platform
