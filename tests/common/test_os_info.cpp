// OS classification: every row of the OS type table and the name rules. This host's defaults
// from os-release are tried in test_os_info_linux.cpp.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "common/host/os_info_source.h"
#include "common/host/qma_system.h"
#include "common/log/qma_log.h"
#include "common/os_info_fixture.h"
#include "platform/host.h"
#include "tests/support/temp_roots.h"

namespace {

using qma::common::OsInfoSource;
using qma::platform::kPlatformLinux;
using qma::platform::kPlatformWin32Nt;
using qma::test::OsInfo;
using qma::test::path_text;

constexpr uint8_t kWs = 1, kDc = 2, kSrv = 3;
constexpr uint16_t kEnt = 0x0002, kDatacenter = 0x0080, kPersonal = 0x0200, kBlade = 0x0400,
                   kStorage = 0x2000;

struct Row {
  const char* name;
  uint32_t major, minor, platform;
  uint8_t product;
  uint16_t suite;
  int x64, r2;
  std::string os_name;
  int sku;
  int want_type;
  std::string want_name;
};

OsInfoSource source_for(const Row& row) {
  OsInfoSource source;
  source.version = [row](qma::platform::OsVersionInfo& info) {
    info = {};
    info.major = row.major;
    info.minor = row.minor;
    info.platform_id = row.platform;
    info.product_type = row.product;
    info.suite_mask = row.suite;
    return true;
  };
  source.is_wow64 = [row] { return row.x64; };
  source.is_server_r2 = [row] { return row.r2; };
  source.os_name = [row](char* buffer, int length) {
    std::memset(buffer, 0, static_cast<size_t>(length));
    std::strncpy(buffer, row.os_name.c_str(), static_cast<size_t>(length - 1));
    return 0;
  };
  source.os_product_info = [row] { return row.sku; };
  return source;
}

TEST_F(OsInfo, EveryRowOfTheClassificationTable) {
  const std::string w2k = "Microsoft Windows 2000", xp = "Microsoft Windows XP",
                    w2k3 = "Windows Server 2003";
  const std::string long255(255, 'n'), long256(256, 'n'), long257(257, 'n');
  const Row rows[] = {
      {"2000 workstation", 5, 0, kPlatformWin32Nt, kWs, 0, 0, 0, w2k, 0, 1, w2k},
      {"2000 server enterprise", 5, 0, kPlatformWin32Nt, kSrv, kEnt, 0, 0, w2k, 0, 3, w2k},
      {"2000 domain controller datacenter", 5, 0, kPlatformWin32Nt, kDc, kDatacenter, 0, 0, w2k, 0,
       4, w2k},
      {"2000 server other", 5, 0, kPlatformWin32Nt, kSrv, kBlade, 0, 0, w2k, 0, 2, w2k},
      {"2000 unexpected product type", 5, 0, kPlatformWin32Nt, 7, kEnt, 0, 0, w2k, 0, 0, "Unknown"},
      {"XP with personal", 5, 1, kPlatformWin32Nt, kWs, kPersonal, 0, 0, xp, 0, 5, xp},
      {"XP without personal", 5, 1, kPlatformWin32Nt, kWs, 0, 0, 0, xp, 0, 6, xp},
      {"XP server product type", 5, 1, kPlatformWin32Nt, kSrv, 0, 0, 0, xp, 0, 0, "Unknown"},
      {"2003 enterprise", 5, 2, kPlatformWin32Nt, kSrv, kEnt, 0, 0, w2k3, 0, 8, w2k3},
      {"2003 R2 enterprise", 5, 2, kPlatformWin32Nt, kSrv, kEnt, 0, 1, w2k3, 0, 12, w2k3 + " R2"},
      {"2003 R2 enterprise named R2", 5, 2, kPlatformWin32Nt, kSrv, kEnt, 0, 1, w2k3 + " R2 Ent", 0,
       12, w2k3 + " R2 Ent"},
      {"2003 enterprise before datacenter", 5, 2, kPlatformWin32Nt, kDc, kEnt | kDatacenter, 0, 0,
       w2k3, 0, 8, w2k3},
      {"2003 datacenter", 5, 2, kPlatformWin32Nt, kSrv, kDatacenter, 0, 0, w2k3, 0, 9, w2k3},
      {"2003 R2 datacenter", 5, 2, kPlatformWin32Nt, kSrv, kDatacenter, 0, 1, w2k3, 0, 13,
       w2k3 + " R2"},
      {"2003 storage server", 5, 2, kPlatformWin32Nt, kSrv, kStorage, 0, 0, w2k3, 0, 10, w2k3},
      {"2003 R2 storage server", 5, 2, kPlatformWin32Nt, kSrv, kStorage, 0, 1, w2k3, 0, 14,
       w2k3 + " R2"},
      {"2003 blade", 5, 2, kPlatformWin32Nt, kSrv, kBlade, 0, 0, w2k3, 0, 15, w2k3},
      {"2003 R2 blade stays 15", 5, 2, kPlatformWin32Nt, kSrv, kBlade, 0, 1, w2k3, 0, 15,
       w2k3 + " R2"},
      {"2003 standard", 5, 2, kPlatformWin32Nt, kSrv, 0, 0, 0, w2k3, 0, 7, w2k3},
      {"2003 R2 standard", 5, 2, kPlatformWin32Nt, kSrv, 0, 0, 1, w2k3, 0, 11, w2k3 + " R2"},
      {"2003 x64 R2 standard", 5, 2, kPlatformWin32Nt, kSrv, 0, 1, 1, w2k3, 0, 11,
       w2k3 + " x64 R2"},
      {"XP x64 workstation", 5, 2, kPlatformWin32Nt, kWs, 0, 1, 0, xp, 0, 6, xp + " x64"},
      {"XP x64 already named x64", 5, 2, kPlatformWin32Nt, kWs, 0, 1, 0, "XP x64 Edition", 0, 6,
       "XP x64 Edition"},
      {"5.2 workstation personal", 5, 2, kPlatformWin32Nt, kWs, kPersonal, 0, 0, xp, 0, 5, xp},
      {"5.2 other product type", 5, 2, kPlatformWin32Nt, 0, kEnt, 1, 1, w2k3, 0, 0, "Unknown"},
      {"6.0 passes the SKU", 6, 0, kPlatformWin32Nt, kSrv, 0, 1, 0, "Windows Server 2008", 10, 10,
       "Windows Server 2008 x64"},
      {"10.0 passes the SKU", 10, 0, kPlatformWin32Nt, kWs, 0, 0, 0, "Windows 10", 48, 48,
       "Windows 10"},
      {"6+ failed inventory gives -1", 6, 1, kPlatformWin32Nt, kSrv, 0, 0, 0, "Windows 7", -1, -1,
       "Windows 7"},
      {"6+ SKU 0 is unknown", 6, 1, kPlatformWin32Nt, kSrv, 0, 0, 0, "Windows 7", 0, 0, "Unknown"},
      {"4.0 is unknown", 4, 0, kPlatformWin32Nt, kSrv, 0, 0, 0, "NT 4", 0, 0, "Unknown"},
      {"5.3 is unknown", 5, 3, kPlatformWin32Nt, kSrv, 0, 0, 0, "odd", 0, 0, "Unknown"},
      {"not the NT family", 5, 1, 1, kWs, 0, 0, 0, xp, 0, 0, "Unknown"},
      {"empty name", 5, 2, kPlatformWin32Nt, kSrv, 0, 0, 0, "", 0, 7, "Unknown"},
      {"linux takes the SKU", 12, 0, kPlatformLinux, kSrv, 0, 1, 0,
       "Debian GNU/Linux 12 (bookworm)", 0x100, 0x100, "Debian GNU/Linux 12 (bookworm) x64"},
      {"linux numbered below 5", 3, 18, kPlatformLinux, kSrv, 0, 0, 0, "Alpine Linux v3.18", 0x100,
       0x100, "Alpine Linux v3.18"},
      {"x64 fits exactly", 5, 2, kPlatformWin32Nt, kSrv, 0, 1, 0, long255, 0, 7, long255 + " x64"},
      {"no room for x64", 5, 2, kPlatformWin32Nt, kSrv, 0, 1, 0, long256, 0, 7, long256},
      {"R2 fits exactly", 5, 2, kPlatformWin32Nt, kSrv, 0, 0, 1, long256, 0, 11, long256 + " R2"},
      {"no room for R2", 5, 2, kPlatformWin32Nt, kSrv, 0, 0, 1, long257, 0, 11, long257},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    qma::common::set_os_info_source(source_for(row));
    int type = 12345;
    char name[260] = {};
    ASSERT_EQ(QMA_GetOSInfo(&type, name), 1);
    EXPECT_EQ(type, row.want_type);
    EXPECT_EQ(std::string(name), row.want_name);
    EXPECT_EQ(QMA_IsWow64(), row.x64);
    EXPECT_EQ(QMA_IsServerR2(), row.r2);
  }
}

TEST_F(OsInfo, TheAgentLogShowsTheFactsAndTheResult) {
  ASSERT_EQ(QMA_InitializeForLogFile(path_text(roots_.bin()).c_str(), 10000, &log_), 1);
  Row row{"", 5, 2, kPlatformWin32Nt, kSrv, kEnt, 0, 1, "Windows Server 2003", 0, 12, ""};
  qma::common::set_os_info_source(source_for(row));
  int type = 0;
  char name[260] = {};
  ASSERT_EQ(QMA_GetOSInfo(&type, name), 1);
  std::string log = qma::test::read_text(roots_.bin() / "QMAgent.log");
  EXPECT_NE(log.find("GetVersionInfo::dwMajorVersion=[0x00000005] dwMinorVersion=[0x00000002] "
                     "wProductType=[0x00000003] wSuiteMask=[0x00000002] IsX64=[0] IsR2=[1]"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("pOSName=[Windows Server 2003 R2] iWkOSNameLen=[22] iWkOSType=[12]"),
            std::string::npos)
      << log;
}

TEST_F(OsInfo, AnUnreadableVersionLeavesTheOutputsUntouched) {
  OsInfoSource source;
  source.version = [](qma::platform::OsVersionInfo&) { return false; };
  qma::common::set_os_info_source(source);
  int type = 77;
  char name[260] = "before";
  EXPECT_EQ(QMA_GetOSInfo(&type, name), 0);
  EXPECT_EQ(type, 77);
  EXPECT_STREQ(name, "before");
}

}  // namespace
