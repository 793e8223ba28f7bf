// OS classification on Linux: this host's defaults come from os-release under the host root.
#include <gtest/gtest.h>

#include <string>

#include "common/host/os_info_source.h"
#include "common/host/qma_system.h"
#include "common/os_info_fixture.h"
#include "platform/host.h"
#include "tests/support/temp_roots.h"

namespace {

using qma::test::OsInfo;

TEST_F(OsInfo, ThisHostsDefaultsComeFromOsReleaseUnderTheHostRoot) {
  roots_.write_host_file("etc/os-release",
                         "NAME=\"Debian GNU/Linux\"\nVERSION_ID=\"12\"\nPRETTY_NAME=\"Debian "
                         "GNU/Linux 12 (bookworm)\"\n");
  int type = 0;
  char name[260] = {};
  ASSERT_EQ(QMA_GetOSInfo(&type, name), 1);
  EXPECT_EQ(type, qma::common::kLinuxOsSku);
  const bool is64 = qma::platform::os_is_64bit();
  EXPECT_EQ(QMA_IsWow64(), is64 ? 1 : 0);
  EXPECT_EQ(QMA_IsServerR2(), 0);
  EXPECT_EQ(std::string(name),
            std::string("Debian GNU/Linux 12 (bookworm)") + (is64 ? " x64" : ""));
}

TEST_F(OsInfo, ThisHostWithoutOsReleaseCannotBeClassified) {
  int type = 5;
  char name[260] = {};
  EXPECT_EQ(QMA_GetOSInfo(&type, name), 0);
  EXPECT_EQ(type, 5);
  char other[8] = {};
  EXPECT_EQ(qma::common::default_os_name(other, sizeof other), 0);
  EXPECT_STREQ(other, "");
}

TEST_F(OsInfo, OneAnswerReadsTheVersionOnceAndTheNextReadsItAgain) {
  auto major = [] {
    auto read = qma::common::system_os_version();
    return read.ok() ? static_cast<int>(read->major) : -1;
  };
  auto release = [this](const char* version) {
    roots_.write_host_file("etc/os-release", std::string("VERSION_ID=\"") + version + "\"\n");
  };
  {
    qma::common::OsVersionSnapshot answer;
    EXPECT_EQ(major(), -1) << "no os-release yet";
    release("11");
    EXPECT_EQ(major(), 11) << "a failed reading is not kept";
    release("12");
    {
      qma::common::OsVersionSnapshot nested;
      EXPECT_EQ(major(), 11) << "one answer, one reading";
    }
    EXPECT_EQ(major(), 11);
    int type = 0;
    char name[260] = {};
    ASSERT_EQ(QMA_GetOSInfo(&type, name), 1);
  }
  EXPECT_EQ(major(), 12) << "the next answer reads the system again";
  release("13");
  EXPECT_EQ(major(), 13);
}

}  // namespace
