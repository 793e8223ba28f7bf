// Agent information, reboot and shutdown as the system command handler fills the answer.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "commands/qma_commands.h"
#include "common/host/os_info_source.h"
#include "manager_if/agent_harness.h"
#include "platform/error.h"
#include "platform/host.h"

namespace {

using qma::platform::OsVersionInfo;
using qma::platform::Result;

class SystemCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::memset(&cmd_, 0, sizeof cmd_);
    std::strcpy(cmd_.ReqInfo.MessageVersion, "2.0");
    std::strcpy(cmd_.ReqInfo.MessageID, "S-1");
  }
  int run(const char* code) {
    std::strcpy(cmd_.ReqInfo.CommandCode, code);
    std::strcpy(cmd_.ResInfo.Status, "stale");  // the handler starts from an empty answer
    return QMA_ExecuteForSystemCommand(&cmd_);
  }

  qma::test::InProcessAgent agent_;
  CMDTbl cmd_;
};

TEST_F(SystemCommandTest, AgentInformationReportsTheSystemsOwnVersionNumbers) {
  OsVersionInfo v;
  v.major = 6;
  v.minor = 1;
  v.build = 7601;
  v.service_pack_major = 1;
  v.product_type = 3;
  v.platform_id = qma::platform::kPlatformWin32Nt;
  qma::commands::set_os_version_source([v] { return Result<OsVersionInfo>(v); });
  ASSERT_EQ(run("0"), 1);
  const ResInfo& r = cmd_.ResInfo;
  EXPECT_STREQ(r.InReplyTo, "S-1");
  EXPECT_STREQ(r.CommandCode, "0");
  EXPECT_STREQ(r.Status, "600");
  EXPECT_STREQ(r.AgentStatus, "normal");
  EXPECT_STREQ(r.AgentVersion, "3.1");
  EXPECT_EQ(std::string(r.HostName), qma::platform::host_name().value());
  EXPECT_STREQ(r.major, "6");
  EXPECT_STREQ(r.minor, "1");
  EXPECT_STREQ(r.sp_major, "1") << "the service pack, never the build number";
  EXPECT_STREQ(r.sp_minor, "0");
  EXPECT_STREQ(r.arch, "x64");
  EXPECT_STREQ(r.refid, "0");
  EXPECT_STREQ(r.model_name, "ServerModel X");
  EXPECT_STREQ(r.parent_n_code, "AB-1234");
  EXPECT_STREQ(r.child_n_code, "");
  EXPECT_STREQ(r.Guid, "33221100-5544-7766-8899-AABBCCDDEEFF");
  EXPECT_STREQ(r.Serial, "SN0042");
  int os_type = 0;
  char os_name[260] = {};
  ASSERT_EQ(QMA_GetOSInfo(&os_type, os_name), 1);
  EXPECT_EQ(std::string(r.product_type), std::to_string(os_type));
  EXPECT_STREQ(r.OSName, os_name);
}

TEST_F(SystemCommandTest, UnreadableVersionAnswers900WithoutTheRequestEcho) {
  qma::commands::set_os_version_source(
      [] { return Result<OsVersionInfo>::failure(qma::platform::kErrorAccessDenied); });
  EXPECT_EQ(run("0"), 0);
  EXPECT_STREQ(cmd_.ResInfo.Status, "900");
  EXPECT_STREQ(cmd_.ResInfo.InReplyTo, "");
  EXPECT_STREQ(cmd_.ResInfo.CommandCode, "");
}

TEST_F(SystemCommandTest, RebootAndShutdownAreOnlyRecordedUnderATestHostRoot) {
  ASSERT_EQ(run("5"), 1);
  EXPECT_STREQ(cmd_.ResInfo.Status, "600");
  EXPECT_STREQ(cmd_.ResInfo.InReplyTo, "S-1");
  ASSERT_EQ(run("6"), 1);
  EXPECT_STREQ(cmd_.ResInfo.CommandCode, "6");
  EXPECT_EQ(qma::test::read_text(agent_.roots_.host() / "run" / "qmagent-power"),
            "reboot\nshutdown\n");
  EXPECT_GE(agent_.count_in_log("ExitWindowsEx()!!(EWX_REBOOT)"), 1);
  EXPECT_GE(agent_.count_in_log("ExitWindowsEx()!!(EWX_SHUTDOWN)"), 1);
}

TEST_F(SystemCommandTest, RefusedPowerRequestAnswers900) {
  std::ofstream(agent_.roots_.host() / "run") << "a file where the folder should be";
  EXPECT_EQ(run("5"), 0);
  EXPECT_STREQ(cmd_.ResInfo.Status, "900");
  EXPECT_STREQ(cmd_.ResInfo.InReplyTo, "S-1");
  EXPECT_GE(agent_.count_in_log("ExitWindowsEx() error!! GetLastError="), 1);
}

TEST_F(SystemCommandTest, OtherCodesLeaveAnEmptyAnswer) {
  EXPECT_EQ(run("3"), 0);
  EXPECT_STREQ(cmd_.ResInfo.Status, "");
  EXPECT_GE(agent_.count_in_log("Unexpected command code. (CommandCode=3)"), 1);
  EXPECT_EQ(QMA_ExecuteForSystemCommand(nullptr), 0);
}

}  // namespace
