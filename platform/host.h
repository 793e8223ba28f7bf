// Facts about the host: name, OS version record, bitness.
#pragma once

#include <cstdint>
#include <string>

#include "platform/result.h"

namespace qma::platform {

/// The host name; fails with errno.
[[nodiscard]] Result<std::string> host_name();

/// The extended OS version record the agent classifies.
/// On Linux: major/minor from VERSION_ID of etc/os-release (or usr/lib/os-release)
/// under the host root ("12" is 12.0, "22.04" is 22.4, none is 0.0), build 0, no
/// service pack, product type server (3), suite mask 0, platform id kPlatformLinux.
/// Fails only when there is no os-release file.
struct OsVersionInfo {
  uint32_t major = 0;
  uint32_t minor = 0;
  uint32_t build = 0;
  uint32_t platform_id = 0;
  uint16_t service_pack_major = 0;
  uint16_t service_pack_minor = 0;
  uint16_t suite_mask = 0;
  uint8_t product_type = 0;
};
inline constexpr uint32_t kPlatformWin32Nt = 2;
inline constexpr uint32_t kPlatformLinux = 0x100;

[[nodiscard]] Result<OsVersionInfo> os_version();
/// True when the operating system is 64-bit.
bool os_is_64bit();

}  // namespace qma::platform
