// Replaceable parts of BmcGate, so tests can stand in for the host, the BMC and time.
#pragma once

#include "bmcgate/bmcgate.h"
#include "bmcgate/inventory_provider.h"
#include "bmcgate/ipmi_wmi_provider.h"
#include "platform/clock.h"
#include "platform/ipmi_device.h"

namespace qma::bmcgate {

/// Each setter takes effect for the whole process; nullptr restores the real part.
/// The caller keeps ownership and keeps the object alive while it is installed.
BMCGATE_API void set_inventory_provider(InventoryProvider* provider);
BMCGATE_API void set_ipmi_driver(platform::IpmiDriver* driver);
BMCGATE_API void set_ipmi_wmi_provider(IpmiWmiProvider* provider);
BMCGATE_API void set_sleeper(platform::Sleeper* sleeper);

/// One IPMI command under the mutex "ASyncMutexForIpmiCommand", judged by its
/// completion code (0, or 0xD5 for the few five-byte requests that allow it):
/// 0 or -1. getBmcFwRevision sends its request this way.
BMCGATE_API int serialised_ipmi_command(const unsigned char* request, unsigned int request_len,
                                        unsigned char* response, unsigned int response_size,
                                        unsigned int* received_len);

/// Forgets the transport choice, the initialised flag and the log line count and closes
/// the log file, as if the library had just been loaded into a new process.
BMCGATE_API void reset_process_state();

}  // namespace qma::bmcgate
