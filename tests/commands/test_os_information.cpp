// The OS information record and the choice of a package's command line for the running OS.
#include <gtest/gtest.h>

#include <string>

#include "commands/qma_commands.h"
#include "common/host/os_info_source.h"
#include "common/qma_config.h"
#include "manager_if/agent_harness.h"
#include "platform/error.h"

namespace {

using qma::platform::OsVersionInfo;
using qma::platform::Result;

OsVersionInfo windows(uint32_t major, uint32_t minor, uint32_t build, uint8_t product,
                      uint16_t sp_major = 0, uint16_t sp_minor = 0) {
  OsVersionInfo v;
  v.major = major;
  v.minor = minor;
  v.build = build;
  v.product_type = product;
  v.service_pack_major = sp_major;
  v.service_pack_minor = sp_minor;
  v.platform_id = qma::platform::kPlatformWin32Nt;
  return v;
}

class OsInformationTest : public ::testing::Test {
 protected:
  void use(const OsVersionInfo& v, int wow64 = 1) {
    qma::commands::set_os_version_source([v] { return Result<OsVersionInfo>(v); });
    qma::common::OsInfoSource source;
    source.version = [v](OsVersionInfo& out) {
      out = v;
      return true;
    };
    source.is_wow64 = [wow64] { return wow64; };
    source.os_name = [](char* buffer, int length) {
      std::snprintf(buffer, static_cast<size_t>(length), "Test OS");
      return 0;
    };
    source.os_product_info = [] { return 7; };
    qma::common::set_os_info_source(source);
    qma::commands::reset_os_information();
  }
  std::string record() {
    const QMA_SYSTEM_INFO& i = *g_QMAConfig.SystemInfo;
    return std::string(i.major) + "|" + i.minor + "|" + i.sp_major + "|" + i.sp_minor + "|" +
           i.arch;
  }

  qma::test::InProcessAgent agent_;  // roots, log, bound XML queries
};

TEST_F(OsInformationTest, VersionFieldsFollowTheServerBuildRule) {
  struct Row {
    const char* name;
    OsVersionInfo version;
    int wow64;
    const char* expected;
  };
  const Row rows[] = {
      {"server 10.0 build 14394", windows(10, 0, 14394, 3), 1, "10|14394|14394|0|x64"},
      {"server 10.0 build 14393", windows(10, 0, 14393, 3), 1, "10|0|14393|0|x64"},
      {"domain controller 10.0 build 17763", windows(10, 0, 17763, 2), 1, "10|17763|17763|0|x64"},
      {"workstation 10.0 build 19045", windows(10, 0, 19045, 1), 0, "10|0|19045|0|x86"},
      {"6.1 with service pack 1.0", windows(6, 1, 7601, 3, 1, 0), 1, "6|1|1|0|x64"},
      {"5.2 with service pack 2.1", windows(5, 2, 3790, 3, 2, 1), 0, "5|2|2|1|x86"},
  };
  for (const Row& row : rows) {
    use(row.version, row.wow64);
    ASSERT_EQ(QMA_GetOSInformation(), 1) << row.name;
    EXPECT_EQ(record(), row.expected) << row.name;
  }
}

TEST_F(OsInformationTest, RecordIsFilledOnceAndAFailedReadIsRetried) {
  qma::commands::set_os_version_source(
      [] { return Result<OsVersionInfo>::failure(qma::platform::kErrorAccessDenied); });
  qma::commands::reset_os_information();
  EXPECT_EQ(QMA_GetOSInformation(), 0);
  EXPECT_EQ(g_QMAConfig.SystemInfo->major[0], '\0');
  EXPECT_GE(agent_.count_in_log("GetVersionEx() error! GetLastError=[5]"), 1);
  use(windows(6, 3, 9600, 3));
  ASSERT_EQ(QMA_GetOSInformation(), 1);
  EXPECT_STREQ(g_QMAConfig.SystemInfo->product_type, "7");
  EXPECT_STREQ(g_QMAConfig.SystemInfo->os_name, "Test OS x64");
  qma::commands::set_os_version_source([] { return Result<OsVersionInfo>(windows(10, 0, 0, 1)); });
  ASSERT_EQ(QMA_GetOSInformation(), 1);
  EXPECT_EQ(record(), "6|3|0|0|x64") << "a filled record is never refreshed";
}

constexpr const char* kDescriptor = R"(<?xml version="1.0"?>
<quillmend_package>
  <supported_operating_systems>
    <windows_os major="10" minor="*" sp_major="*" sp_minor="*" arch="x86"><reference refid="r86"/></windows_os>
    <windows_os major="10" minor="*" sp_major="*" sp_minor="*"><reference refid="noarch"/></windows_os>
    <windows_os major="10" minor="*" sp_major="*" sp_minor="*" arch="x64"><reference refid="r64"/></windows_os>
    <windows_os major="1*" minor="*" sp_major="*" sp_minor="*" arch="x64"><reference refid="second"/></windows_os>
    <windows_os major="6" minor="1" sp_major="*" sp_minor="*" arch="*"><reference refid="any"/></windows_os>
  </supported_operating_systems>
  <usage refid="r64">
    <update_normal timeout="600">tool -u</update_normal>
    <install>tool -i</install>
    <un_install timeout="">tool -x</un_install>
    <get_ratio timeout="30"></get_ratio>
    <update_normal_ext timeout="60">tool -u #{id}</update_normal_ext>
  </usage>
  <usage refid="any">
    <update_normal timeout="5">other -u</update_normal>
  </usage>
</quillmend_package>
)";

TEST_F(OsInformationTest, CommandLineAndTimeLimitComeFromTheMatchingEntry) {
  agent_.roots_.write_host_file("pkg/QuillInfo.xml", kDescriptor);
  std::string descriptor = (agent_.roots_.host() / "pkg" / "QuillInfo.xml").string();
  struct Row {
    const char* name;
    OsVersionInfo version;
    int wow64;
    const char* mode;
    int result;
    const char* command;
    const char* time_limit;
  };
  const Row rows[] = {
      {"x64 update", windows(10, 0, 14393, 3), 1, "update_normal", 1, "tool -u", "600"},
      {"option lookup name", windows(10, 0, 14393, 3), 1, "update_normal_ext", 1, "tool -u #{id}",
       "60"},
      {"no timeout attribute", windows(10, 0, 14393, 3), 1, "install", -1, "tool -i", ""},
      {"empty timeout", windows(10, 0, 14393, 3), 1, "un_install", 1, "tool -x", ""},
      {"empty mode element", windows(10, 0, 14393, 3), 1, "get_ratio", 0, nullptr, nullptr},
      {"mode not described", windows(10, 0, 14393, 3), 1, "update_force", 0, nullptr, nullptr},
      {"x86 reference without usage", windows(10, 0, 14393, 3), 0, "update_normal", 0, nullptr,
       nullptr},
      {"star pattern entry", windows(6, 1, 7601, 3, 1), 0, "update_normal", 1, "other -u", "5"},
      {"no entry matches", windows(6, 2, 9200, 3), 1, "update_normal", 0, nullptr, nullptr},
  };
  for (const Row& row : rows) {
    use(row.version, row.wow64);
    char command[260] = {};
    char time_limit[260] = {};
    EXPECT_EQ(QMA_GetCommandFromQuillInfo(descriptor.c_str(), row.mode, command, sizeof command,
                                          time_limit, sizeof time_limit),
              row.result)
        << row.name;
    if (row.command != nullptr) {
      EXPECT_STREQ(command, row.command) << row.name;
    }
    if (row.time_limit != nullptr) {
      EXPECT_STREQ(time_limit, row.time_limit) << row.name;
    }
  }
  char command[260] = {};
  char short_limit[3] = {};
  use(windows(10, 0, 14393, 3), 1);
  EXPECT_EQ(QMA_GetCommandFromQuillInfo(descriptor.c_str(), "update_normal", command,
                                        sizeof command, short_limit, sizeof short_limit),
            1);
  EXPECT_STREQ(short_limit, "60") << "cut to the buffer size minus one";
  EXPECT_EQ(QMA_GetCommandFromQuillInfo("/nonexistent/QuillInfo.xml", "update_normal", command,
                                        sizeof command, short_limit, sizeof short_limit),
            0);
}

TEST_F(OsInformationTest, CommandNeedsTheExactReferenceWhileTheTimeLimitTakesAPattern) {
  // The first usage's refid is a pattern that also covers "r64": it gives the time
  // limit, while the command line comes only from the usage named exactly "r64".
  agent_.roots_.write_host_file("pkg/QuillInfo.xml", R"(<?xml version="1.0"?>
<quillmend_package>
  <supported_operating_systems>
    <windows_os major="*" minor="*" sp_major="*" sp_minor="*" arch="*"><reference refid="r64"/></windows_os>
  </supported_operating_systems>
  <usage refid="r*">
    <update_normal timeout="9">star -u</update_normal>
    <update_force timeout="8">star -f</update_force>
  </usage>
  <usage refid="r64">
    <update_normal timeout="600">tool -u</update_normal>
  </usage>
</quillmend_package>
)");
  std::string descriptor = (agent_.roots_.host() / "pkg" / "QuillInfo.xml").string();
  use(windows(10, 0, 14393, 3), 1);
  char command[260] = {};
  char time_limit[260] = {};
  EXPECT_EQ(QMA_GetCommandFromQuillInfo(descriptor.c_str(), "update_normal", command,
                                        sizeof command, time_limit, sizeof time_limit),
            1);
  EXPECT_STREQ(command, "tool -u");
  EXPECT_STREQ(time_limit, "9");
  EXPECT_EQ(QMA_GetCommandFromQuillInfo(descriptor.c_str(), "update_force", command, sizeof command,
                                        time_limit, sizeof time_limit),
            0)
      << "a usage whose refid only matches as a pattern gives no command line";
}

}  // namespace
