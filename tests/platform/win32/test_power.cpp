// Reboot and shutdown under a test host root are recorded and reach nothing.
#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/environment.h"
#include "platform/error.h"
#include "platform/power.h"
#include "test_roots.h"

namespace {

using qma::platform::PowerAction;

std::string read_text(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(Power, RequestsUnderATestRootAreOnlyRecorded) {
  qma::test::win32::TestRoots roots;
  // Anything else would end the whole session.
  ASSERT_FALSE(qma::platform::host_is_real());

  // The privilege steps are the real ones; taking a privilege changes nothing by itself.
  auto opened = qma::platform::open_process_token();
  ASSERT_TRUE(opened.ok()) << opened.error();
  auto looked_up = qma::platform::lookup_shutdown_privilege();
  ASSERT_TRUE(looked_up.ok()) << looked_up.error();
  auto enabled = qma::platform::enable_shutdown_privilege();
  ASSERT_TRUE(enabled.ok()) << enabled.error();

  const DWORD before = ::GetCurrentProcessId();
  auto reboot = qma::platform::request_power_action(PowerAction::kReboot);
  ASSERT_TRUE(reboot.ok()) << reboot.error();
  auto shutdown = qma::platform::request_power_action(PowerAction::kShutdown);
  ASSERT_TRUE(shutdown.ok()) << shutdown.error();
  EXPECT_EQ(read_text(roots.host() / "run" / "qmagent-power"), "reboot\nshutdown\n");
  // Still here, and still the same process.
  EXPECT_EQ(::GetCurrentProcessId(), before);
}

TEST(Power, ARecordThatCannotBeWrittenIsAFailure) {
  qma::test::win32::TestRoots roots;
  // A host root that is a file: no folder can be made in it.
  const auto file = roots.host() / "not-a-folder";
  std::ofstream(file) << "x";
  ASSERT_TRUE(qma::platform::set_env("QMA_HOST_ROOT", qma::test::win32::utf8(file)).ok());
  ASSERT_FALSE(qma::platform::host_is_real());
  auto refused = qma::platform::request_power_action(PowerAction::kReboot);
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error(), qma::platform::last_error());
  EXPECT_FALSE(std::filesystem::exists(file / "run"));
}

}  // namespace
