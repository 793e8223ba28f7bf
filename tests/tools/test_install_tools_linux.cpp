// The installation's console tools on Linux: QMZipControl started in a folder that is removed
// under it, and envpulse pushing
// the machine environment to systemd through a stand-in systemctl.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "support/temp_roots.h"
#include "tools/control_agents_fixture.h"
#include "tools/tool_runner.h"
#include "tools/zip_control_fixture.h"

namespace {

namespace fs = std::filesystem;
using qma::test::read_text;
using qma::test::run_tool;
using qma::test::ToolEnvironment;

using qma::test::ZipControl;

TEST_F(ZipControl, CurrentFolderGoneUnderIt) {
  fs::path gone = roots_.base() / "gone";
  fs::create_directories(gone);
  auto orphan = run_tool({"/bin/sh", "-c",
                          "cd '" + gone.string() + "' && rmdir '" + gone.string() + "' && exec '" +
                              QMZIPCONTROL_PATH + "' -u x.zip"});
  EXPECT_EQ(orphan.out, "GetCurrentDirectory error : 2\n");
  EXPECT_EQ(orphan.status, 4);
  EXPECT_EQ(read_text(log_), "");
}

using qma::test::write_script;

// ---- envpulse, with a recording systemctl in place of the real one ----

class EnvPulse : public ::testing::Test {
 protected:
  void SetUp() override {
    fake_bin_ = roots_.base() / "fakebin";
    fs::create_directories(fake_bin_);
    calls_ = roots_.base() / "systemctl.log";
    qma::platform::RegistryKey key;
    ASSERT_EQ(qma::platform::reg_create_key(
                  "SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment", key),
              0);
    const std::string path = "%AXIS2C_HOME%/bin:/usr/bin";
    ASSERT_EQ(qma::platform::reg_set_value(key, "Path", qma::platform::kRegExpandSz, path.c_str(),
                                           static_cast<uint32_t>(path.size() + 1)),
              0);
    const std::string home = roots_.home().string();
    ASSERT_EQ(qma::platform::reg_set_value(key, "AXIS2C_HOME", qma::platform::kRegSz, home.c_str(),
                                           static_cast<uint32_t>(home.size() + 1)),
              0);
  }
  void fake_systemctl(const std::string& body) {
    write_script(fake_bin_ / "systemctl", "echo \"$*\" >> '" + calls_.string() + "'\n" + body);
  }
  /// Runs envpulse with QMA_SCM=manager, the stand-in systemctl first on PATH and the
  /// caller's environment changed as given (QMA_SYSTEMD_SCOPE unset unless set there).
  qma::test::ToolResult pulse(const std::string& manager, ToolEnvironment environment = {}) {
    environment.set.emplace_back("QMA_SCM", manager);
    environment.set.emplace_back("PATH", fake_bin_.string() + ":/usr/bin:/bin");
    if (std::none_of(environment.set.begin(), environment.set.end(),
                     [](const auto& variable) { return variable.first == "QMA_SYSTEMD_SCOPE"; })) {
      environment.unset.push_back("QMA_SYSTEMD_SCOPE");
    }
    return run_tool({ENVPULSE_PATH}, roots_.base(), environment);
  }
  std::string pushed() const {
    return "set-environment PATH=" + roots_.home().string() +
           "/bin:/usr/bin AXIS2C_HOME=" + roots_.home().string() + "\n";
  }

  qma::test::TempRoots roots_;
  fs::path fake_bin_, calls_;
};

TEST_F(EnvPulse, PushesTheMachineEnvironmentToSystemd) {
  fake_systemctl("exit 0\n");
  auto result = pulse("systemd");
  EXPECT_EQ(result.out, "ENVPULSE...\n\nENVPULSE SUCCESS\n");
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(read_text(calls_), pushed());

  // The user's manager when the agent's service lives there.
  fs::remove(calls_);
  auto user = pulse("systemd", {{{"QMA_SYSTEMD_SCOPE", "user"}}, {}});
  EXPECT_EQ(user.out, "ENVPULSE...\n\nENVPULSE SUCCESS\n");
  EXPECT_EQ(read_text(calls_), "--user " + pushed());

  // Path's %AXIS2C_HOME% is the machine environment's, whatever the caller has.
  const ToolEnvironment callers[] = {{{}, {"AXIS2C_HOME"}}, {{{"AXIS2C_HOME", "/elsewhere"}}, {}}};
  for (const ToolEnvironment& caller : callers) {
    fs::remove(calls_);
    auto result = pulse("systemd", caller);
    EXPECT_EQ(result.out, "ENVPULSE...\n\nENVPULSE SUCCESS\n");
    EXPECT_EQ(read_text(calls_), pushed());
  }
}

TEST_F(EnvPulse, ErrorLineWithoutServiceManagerOrWhenSystemctlFails) {
  fake_systemctl("exit 0\n");
  auto standalone = pulse("standalone");
  EXPECT_EQ(standalone.out, "ENVPULSE...\n\nENVPULSE ERROR\n");
  EXPECT_EQ(standalone.status, 0);
  EXPECT_EQ(read_text(calls_), "");

  fake_systemctl("exit 1\n");
  auto refused = pulse("systemd");
  EXPECT_EQ(refused.out, "ENVPULSE...\n\nENVPULSE ERROR\n");
  EXPECT_EQ(refused.status, 0);

  fs::remove(fake_bin_ / "systemctl");
  auto absent = run_tool({ENVPULSE_PATH}, roots_.base(),
                         {{{"QMA_SCM", "systemd"}, {"PATH", fake_bin_.string()}}, {}});
  EXPECT_EQ(absent.out, "ENVPULSE...\n\nENVPULSE ERROR\n");
}

TEST_F(EnvPulse, HungServiceManagerIsAbandonedAfterItsTimeLimit) {
  fake_systemctl("exec sleep 60\n");
  auto start = std::chrono::steady_clock::now();
  auto result = pulse("systemd");
  auto seconds =
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start)
          .count();
  EXPECT_EQ(result.out, "ENVPULSE...\n\nENVPULSE ERROR\n");
  EXPECT_EQ(result.status, 0);
  EXPECT_LT(seconds, 30) << "the 60 s systemctl was waited for";
}

}  // namespace
