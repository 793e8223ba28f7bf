// Host facts on Windows against what other parts of the system say about the same host.
#include <gtest/gtest.h>

// clang-format off
#include <winsock2.h>
#include <windows.h>
// clang-format on

#include <cstdlib>
#include <string>

#include "platform/error.h"
#include "platform/host.h"
#include "test_roots.h"

namespace {

using qma::platform::kPlatformWin32Nt;

/// A text value of the system's own version key, "" when absent.
std::wstring current_version_text(const wchar_t* name) {
  wchar_t value[128] = {};
  DWORD size = sizeof value - sizeof(wchar_t);
  if (::RegGetValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", name,
                     RRF_RT_REG_SZ, nullptr, value, &size) != ERROR_SUCCESS) {
    return {};
  }
  return value;
}

TEST(Host, VersionRecordIsTheOneTheSystemKeepsInItsVersionKey) {
  qma::test::win32::TestRoots roots;
  auto version = qma::platform::os_version();
  ASSERT_TRUE(version.ok()) << version.error();
  EXPECT_EQ(version->platform_id, kPlatformWin32Nt);
  EXPECT_GE(version->major, 5u);
  EXPECT_NE(version->build, 0u);
  EXPECT_TRUE(version->product_type >= 1 && version->product_type <= 3)
      << static_cast<int>(version->product_type);
  // The version key holds the same build; its "major.minor" stopped at 6.3 when the
  // system started reporting 10.0, so it is compared only below that.
  const std::wstring build = current_version_text(L"CurrentBuildNumber");
  ASSERT_FALSE(build.empty());
  EXPECT_EQ(std::wcstoul(build.c_str(), nullptr, 10), version->build);
  if (version->major < 10) {
    const std::wstring number =
        std::to_wstring(version->major) + L"." + std::to_wstring(version->minor);
    EXPECT_EQ(current_version_text(L"CurrentVersion"), number);
  }
  // The SKU exists from version 6 on; R2 is a 5.2 edition only.
  if (version->major >= 6) {
    EXPECT_NE(qma::platform::os_product_sku(), 0);
  }
  if (version->major != 5 || version->minor != 2) {
    EXPECT_FALSE(qma::platform::os_is_server_r2());
  }
}

TEST(Host, BitnessIsTheProcessorsOfTheSystem) {
  SYSTEM_INFO native{};
  ::GetNativeSystemInfo(&native);
  const WORD arch = native.wProcessorArchitecture;
  const bool wide = arch == PROCESSOR_ARCHITECTURE_AMD64 || arch == PROCESSOR_ARCHITECTURE_IA64 ||
                    arch == 12 /* ARM64 */;
  EXPECT_EQ(qma::platform::os_is_64bit(), wide) << arch;
}

TEST(Host, NameIsWhatWinsockSays) {
  qma::test::win32::TestRoots roots;
  // Asked before this test starts Winsock itself: the platform starts it on its own.
  auto name = qma::platform::host_name();
  ASSERT_TRUE(name.ok()) << name.error();
  EXPECT_FALSE(name->empty());
  WSADATA data{};
  ASSERT_EQ(::WSAStartup(MAKEWORD(2, 2), &data), 0);
  char expected[256] = {};
  ASSERT_EQ(::gethostname(expected, sizeof expected), 0) << ::WSAGetLastError();
  ::WSACleanup();
  EXPECT_EQ(*name, expected);
  // The platform's own start outlives a caller's stop.
  auto again = qma::platform::host_name();
  ASSERT_TRUE(again.ok()) << again.error();
  EXPECT_EQ(*again, *name);
}

}  // namespace
