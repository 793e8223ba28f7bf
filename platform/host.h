// Facts about the host: name, OS version record, bitness.
#pragma once

#include <cstdint>
#include <string>

#include "platform/result.h"

namespace qma::platform {

/// The host name; fails with errno. On Windows: gethostname after the process's one
/// WSAStartup, failing with WSAGetLastError().
[[nodiscard]] Result<std::string> host_name();

/// The extended OS version record the agent classifies.
/// On Linux: major/minor from VERSION_ID of etc/os-release (or usr/lib/os-release)
/// under the host root ("12" is 12.0, "22.04" is 22.4, none is 0.0), build 0, no
/// service pack, product type server (3), suite mask 0, platform id kPlatformLinux.
/// Fails only when there is no os-release file.
/// On Windows: the kernel's own record (RtlGetVersion), whatever the program's manifest says.
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
/// True when the operating system is 64-bit. On Windows a 32-bit program asks IsWow64Process.
bool os_is_64bit();
/// The operating system's SKU as the version tables number it; 0 when it cannot be told.
/// On Windows: GetProductInfo (0 before version 6). On Linux: 0x100, the code of its own
/// that the inventory library reports too.
int os_product_sku();
/// True on a Server 2003 R2 edition (SM_SERVERR2). On Linux: false.
bool os_is_server_r2();

}  // namespace qma::platform
