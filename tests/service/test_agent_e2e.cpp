// QMAgent end to end under the standalone service manager: the real program installs,
// starts, stops and removes itself as a service in temporary roots.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdlib>
#include <filesystem>
#include <regex>
#include <string>

#include "platform/process.h"
#include "platform/registry.h"
#include "platform/service_manager.h"
#include "support/real_agent.h"

namespace {

namespace fs = std::filesystem;
namespace p = qma::platform;
using qma::test::ConsoleRun;
using qma::test::kMachineEnvironmentKey;
using qma::test::read_text;
using qma::test::TempRoots;
using qma::test::wait_until;

class AgentE2E : public ::testing::Test {
 protected:
  void SetUp() override { roots_.write_host_file("etc/locale.conf", "LANG=en_US.UTF-8\n"); }

  /// A value of the machine environment key, "<absent>" when it is not there.
  static std::string machine_environment(const char* name) {
    p::RegistryKey key;
    p::RegistryValue value;
    if (p::reg_open_key(kMachineEnvironmentKey, key) != 0 ||
        p::reg_get_value(key, name, value) != 0)
      return "<absent>";
    return std::string(value.data.c_str());
  }
  fs::path folder() const {
    return qma::test::service_folder(roots_, qma::test::RealAgent::kServiceName);
  }
  std::string help() const {
    return agent_.agent_path() +
           " [-install [auto] | -remove | -start | -stop]\n"
           "-install auto:Installation of the QMAgent service\xEF\xBC\x88set automatic-start on "
           "the next "
           "time\xEF\xBC\x89\n"
           "-install:Installation of the QMAgent service\xEF\xBC\x88set manual-start on the next "
           "time\xEF\xBC\x89\n"
           "-remove:Uninstallation of the QMAgent service\n"
           "-start:Start of the QMAgent service\n"
           "-stop:Stop of the QMAgent service\n"
           ":no parameter appointment:The indication of the help\n";
  }
  void start_running() {
    ConsoleRun started = agent_.console("-start");
    ASSERT_TRUE(std::regex_match(
        started.output,
        std::regex("Starting Quillmend Agent\\.\\.*\nQuillmend Agent started\\.\n")))
        << started.output;
  }

  // Not installed: the machine environment that the service main copies is left to the
  // installation.
  qma::test::RealAgent agent_{qma::test::RealAgent::kFilesOnly};
  TempRoots& roots_ = agent_.roots_;
};

TEST_F(AgentE2E, HelpTextForEveryOtherCommandLine) {
  const char* rows[] = {"-bogus", "-install manual", "-start now", "-install auto x", "-Start"};
  for (const char* arguments : rows) {
    SCOPED_TRACE(arguments);
    ConsoleRun run = agent_.console(arguments);
    EXPECT_EQ(run.output, help());
    EXPECT_EQ(run.exit_code, 1);
  }
  EXPECT_EQ(agent_.service(), nullptr);  // nothing was installed
}

TEST_F(AgentE2E, NoArgumentsFromConsolePrintsHelpAndLogsDispatcherFailure) {
  ConsoleRun run = agent_.console("");
  EXPECT_EQ(run.output, help());
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_NE(agent_.service_log().find("[ERROR::QMA_service_reg(QMAService("), std::string::npos);
  EXPECT_NE(
      agent_.service_log().find("StartServiceCtrlDispatcher() error! GetLastErreoe=[1063]-----"),
      std::string::npos);
}

TEST_F(AgentE2E, InstallRecordsIdentityAndSecondInstallOnlyLogs) {
  ConsoleRun run = agent_.console("-install");
  EXPECT_EQ(run.output, "");
  EXPECT_EQ(run.exit_code, 1);
  auto installed = agent_.service();
  ASSERT_NE(installed, nullptr);
  auto def = installed->definition();
  ASSERT_TRUE(def);
  EXPECT_EQ(def->display_name, "Norvik Quillmend Agent");
  EXPECT_EQ(def->start_type, p::kServiceDemandStart);
  EXPECT_EQ(def->service_type, p::kServiceWin32OwnProcess);
  EXPECT_EQ(def->error_control, p::kServiceErrorNormal);
  EXPECT_EQ(def->image_path, "\"" + agent_.agent_path() + "\"");
  EXPECT_EQ(def->failure_command, "\"" + (agent_.bin() / "ServiceReStart.sh").string() + "\"");

  ConsoleRun again = agent_.console("-install auto");
  EXPECT_EQ(again.output, "");
  EXPECT_NE(agent_.service_log().find("[ERROR::QMA_service_install(QMAService("),
            std::string::npos);
  EXPECT_NE(agent_.service_log().find("CreateService() error! GetLastError=[1073]"),
            std::string::npos);
  EXPECT_EQ(agent_.service()->definition()->start_type, p::kServiceDemandStart);

  EXPECT_EQ(agent_.console("-remove").output, "");
  EXPECT_EQ(agent_.service(), nullptr);
  roots_.write_host_file("etc/locale.conf", "LANG=\"ja_JP.UTF-8\"\n");
  agent_.console("-install auto");
  ASSERT_NE(agent_.service(), nullptr);
  EXPECT_EQ(agent_.service()->definition()->start_type, p::kServiceAutoStart);
  EXPECT_EQ(agent_.service()->definition()->display_name, "Quillmend Agent");
}

// The service refuses to start without Path and AXIS2C_HOME in the machine environment, so
// the installation records the installer's values where the key lacks them, and keeps any
// value an administrator set.
TEST_F(AgentE2E, InstallRecordsMissingMachineEnvironmentAndKeepsExistingValues) {
  ASSERT_EQ(machine_environment("Path"), "<absent>");
  agent_.console("-install");
  EXPECT_EQ(machine_environment("Path"), std::string(std::getenv("PATH")));
  EXPECT_EQ(machine_environment("AXIS2C_HOME"), roots_.home().string());
  p::RegistryKey key;
  p::RegistryValue path;
  ASSERT_EQ(p::reg_open_key(kMachineEnvironmentKey, key), 0);
  ASSERT_EQ(p::reg_get_value(key, "Path", path), 0);
  EXPECT_EQ(path.type, p::kRegExpandSz);
  EXPECT_NE(
      agent_.service_log().find("Machine environment AXIS2C_HOME : " + roots_.home().string()),
      std::string::npos);
  agent_.console("-remove");

  ASSERT_TRUE(qma::test::set_machine_environment("AXIS2C_HOME", p::kRegSz, "/opt/elsewhere"));
  agent_.console("-install");
  EXPECT_EQ(machine_environment("AXIS2C_HOME"), "/opt/elsewhere");
}

TEST_F(AgentE2E, StartQueryStopCycle) {
  agent_.console("-install");
  start_running();
  auto running = agent_.service()->query_status();
  ASSERT_TRUE(running);
  EXPECT_EQ(running->current_state, p::kServiceRunning);
  EXPECT_EQ(running->controls_accepted, 7u);
  EXPECT_EQ(running->check_point, 0u);
  EXPECT_EQ(running->wait_hint, 0u);
  EXPECT_TRUE(agent_.service()->definition()->last_start_arguments.empty());
  EXPECT_NE(agent_.service_log().find("Get Version from QMAgent.xml : 3.1.0.7"), std::string::npos);

  ConsoleRun again = agent_.console("-start");
  EXPECT_EQ(again.output, "");
  EXPECT_EQ(agent_.state(), p::kServiceRunning);

  ConsoleRun stopped = agent_.console("-stop");
  EXPECT_TRUE(std::regex_match(
      stopped.output, std::regex("Stopping Quillmend Agent\\.\\.*\nQuillmend Agent stopped\\.\n")))
      << stopped.output;
  EXPECT_EQ(stopped.exit_code, 1);
  EXPECT_EQ(agent_.state(), p::kServiceStopped);
  // The console's stop loop logs the end in the service log's line format.
  std::regex normal_end(
      "\\[\\d{5}\\]-\\d{4}/\\d{2}/\\d{2} "
      "\\d{2}:\\d{2}:\\d{2}\\.\\d{3}-<[^>]*>-\\[ERROR::QMA_service_stop\\(QMAService\\(\\d+\\)\\)"
      "\\]"
      "-----Quillmend Agent normal end\\.-----\n");
  EXPECT_TRUE(std::regex_search(agent_.service_log(), normal_end)) << agent_.service_log();
  EXPECT_NE(agent_.service_log().find("[WARNNING::QMA_service_main(QMAService("),
            std::string::npos);
  EXPECT_EQ(agent_.service()->query_status()->win32_exit_code, 0u);  // it reported stopped itself
  EXPECT_FALSE(wait_until([&] { return fs::exists(roots_.state() / "restart-ran"); }, 500));

  ConsoleRun not_started = agent_.console("-stop");
  EXPECT_EQ(not_started.output,
            "The service is not started. - 1062\nControlService(Stop) failed - 1062\n");
  EXPECT_NE(agent_.service_log().find("ControlService() error! GetLastError=[1062]"),
            std::string::npos);
}

TEST_F(AgentE2E, PkgstartPassesExactlyOneStartArgument) {
  agent_.console("-install");
  ConsoleRun run = agent_.console("-pkgstart");
  EXPECT_TRUE(std::regex_match(
      run.output, std::regex("Starting Quillmend Agent\\.\\.*\nQuillmend Agent started\\.\n")))
      << run.output;
  EXPECT_EQ(agent_.service()->definition()->last_start_arguments,
            std::vector<std::string>{"-pkgstart"});
  agent_.console("-stop");
  start_running();
  EXPECT_TRUE(agent_.service()->definition()->last_start_arguments.empty());
  agent_.console("-stop");
}

TEST_F(AgentE2E, RemoveOfRunningServiceStopsItAndDeletesWithoutWaiting) {
  agent_.console("-install");
  start_running();
  pid_t pid = qma::test::read_pid(folder() / "service.pid");
  ASSERT_TRUE(qma::test::process_alive(pid));
  ConsoleRun removed = agent_.console("-remove");
  EXPECT_EQ(removed.output, "");
  ASSERT_TRUE(wait_until([&] { return !qma::test::process_alive(pid); }));
  ASSERT_TRUE(wait_until([&] { return agent_.service() == nullptr; }));
  EXPECT_FALSE(fs::exists(folder()));
}

TEST_F(AgentE2E, KilledServiceIsStoppedAndFailureCommandRuns) {
  agent_.console("-install");
  start_running();
  pid_t pid = qma::test::read_pid(folder() / "service.pid");
  ASSERT_GT(pid, 0);
  ASSERT_EQ(::kill(pid, SIGKILL), 0);
  ASSERT_TRUE(wait_until([&] { return fs::exists(roots_.state() / "restart-ran"); }));
  auto status = agent_.service()->query_status();
  ASSERT_TRUE(status);
  EXPECT_EQ(status->current_state, p::kServiceStopped);
  EXPECT_EQ(status->win32_exit_code, static_cast<uint32_t>(p::kErrorProcessAborted));
  EXPECT_EQ(read_text(roots_.state() / "restart-ran"), "restart\n");
}

// The status sequence of one service run, as the service reports it to systemd: start
// pending with its wait hint, running, stop pending on SIGTERM, stopped.
TEST_F(AgentE2E, StatusSequenceUnderSystemd) {
  // Started directly, without an installation: the machine environment is set here.
  ASSERT_TRUE(qma::test::write_machine_environment(roots_));
  qma::test::NotifySocket notify(roots_.base() / "notify.sock");
  ASSERT_TRUE(notify.ok());
  fs::create_directories(roots_.base() / "units");
  setenv("QMA_SCM", "systemd", 1);
  setenv("QMA_SYSTEMD_UNIT_DIR", (roots_.base() / "units").c_str(), 1);
  auto process = agent_.start_service_process(notify);
  unsetenv("QMA_SYSTEMD_UNIT_DIR");
  setenv("QMA_SCM", "standalone", 1);
  ASSERT_TRUE(process);

  std::vector<std::string> messages;
  auto receive = [&](const std::string& until) {
    return wait_until([&] {
      for (std::string& message : notify.receive()) messages.push_back(std::move(message));
      return !messages.empty() && messages.back().find(until) != std::string::npos;
    });
  };
  bool ready = receive("READY=1");
  if (ready) ::kill(static_cast<pid_t>(process->id()), SIGTERM);
  bool stopped = ready && receive("STATUS=qma 16 1 ");
  EXPECT_EQ(process->wait(15000), p::WaitStatus::kSignaled);
  if (process->exit_code() == 259) (void)process->kill_tree();
  ASSERT_TRUE(ready);
  ASSERT_TRUE(stopped);
  EXPECT_EQ(process->exit_code(), 1u);
  const std::vector<std::string> expected = {
      "EXTEND_TIMEOUT_USEC=30000000\nSTATUS=qma 16 2 0 0 0 0 30000\n",
      "READY=1\nSTATUS=qma 16 4 7 0 0 0 0\n",
      "STOPPING=1\nEXTEND_TIMEOUT_USEC=30000000\nSTATUS=qma 16 3 7 0 0 0 30000\n",
      "STATUS=qma 16 1 7 0 0 0 30000\n",
  };
  EXPECT_EQ(messages, expected);
}

}  // namespace
