// Where the OS classification takes its facts from: the platform and the inventory library.
#pragma once

#include <functional>

#include "platform/host.h"

namespace qma::common {

/// The facts QMA_GetOSInfo, QMA_IsWow64 and QMA_IsServerR2 read. A member left
/// empty uses its default: the platform's OS version record, bitness, R2 flag and
/// SKU (kLinuxOsSku on Linux), and for the name PRETTY_NAME of etc/os-release under
/// the host root (none on Windows, which names itself through the inventory library). The service
/// replaces `os_name` and `os_product_info` with the inventory library's wrappers once that library
/// is bound; tests inject Windows facts.
struct OsInfoSource {
  /// The extended OS version record; false when it cannot be read.
  std::function<bool(platform::OsVersionInfo& info)> version;
  /// 1 when the OS is 64-bit, else 0.
  std::function<int()> is_wow64;
  /// 1 on a Server 2003 R2 edition, else 0.
  std::function<int()> is_server_r2;
  /// The OS display name into buffer (length bytes), as QMA_getOSNameString: 0 or -1.
  std::function<int(char* buffer, int length)> os_name;
  /// The OS SKU number, as QMA_getOSProductInfo (-1 or 0 when it could not be read).
  std::function<int()> os_product_info;
};

/// The SKU the default source reports for Linux (the inventory library reports
/// the same), so that every Linux version classifies as a non-zero OS type.
inline constexpr int kLinuxOsSku = 0x100;

/// Replaces the source; call before the worker threads start (not synchronised).
void set_os_info_source(OsInfoSource source);

/// The system's OS version record (platform::os_version). While an OsVersionSnapshot lives
/// on the calling thread, the system is asked once and later calls answer from that
/// reading, so that the parts of one answer agree with each other.
platform::Result<platform::OsVersionInfo> system_os_version();

/// Scope of one answer that reads the OS version more than once (agent information: the
/// version fields, then the classification). Nested scopes share the outermost reading.
class OsVersionSnapshot {
 public:
  OsVersionSnapshot();
  ~OsVersionSnapshot();
  OsVersionSnapshot(const OsVersionSnapshot&) = delete;
  OsVersionSnapshot& operator=(const OsVersionSnapshot&) = delete;
};

/// The default name provider: PRETTY_NAME of etc/os-release (or usr/lib/os-release)
/// under the host root, cut to length - 1; an empty buffer when there is none.
int default_os_name(char* buffer, int length);

}  // namespace qma::common
