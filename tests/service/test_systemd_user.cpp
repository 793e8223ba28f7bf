// The systemd backend against a real systemd: a user manager that the test starts in a
// private mount namespace, with the helper service and with the real QMAgent.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdlib>
#include <filesystem>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "platform/service_manager.h"
#include "support/real_agent.h"
#include "support/user_manager.h"
#include "tools/http_receiver.h"

namespace {

namespace fs = std::filesystem;
namespace p = qma::platform;
using qma::test::ConsoleRun;
using qma::test::read_text;
using qma::test::TempRoots;
using qma::test::wait_until;

constexpr const char* kAgentUnit = "quillmend-agent.service";

class SystemdUserScope : public ::testing::Test {
 protected:
  void SetUp() override {
    // Counts as a failure, never as a pass, where the namespace cannot be had.
    std::string refused = qma::test::enter_private_systemd_namespace();
    ASSERT_EQ(refused, "") << "the systemd tests cannot run here: " << refused;
    unsetenv("QMA_SCM");  // the backend is chosen the way an installed agent chooses it
    setenv("QMA_SYSTEMD_SCOPE", "user", 1);
    std::string failed = manager_.start(roots_.base() / "user");
    ASSERT_EQ(failed, "");
    units_ = roots_.base() / "user" / "config" / "systemd" / "user";
  }
  void TearDown() override {
    manager_.stop();
    qma::test::reap_children();
    unsetenv("QMA_SYSTEMD_SCOPE");
  }

  std::unique_ptr<p::ServiceManager> open_manager() {
    auto manager = p::ServiceManager::open();
    EXPECT_TRUE(manager);
    if (!manager) return nullptr;
    EXPECT_EQ(manager.value()->backend_name(), "systemd");
    return std::move(manager.value());
  }
  uint32_t state(const std::string& name) { return qma::test::service_state(name); }
  pid_t main_pid(const std::string& unit) {
    return static_cast<pid_t>(std::atol(manager_.property(unit, "MainPID").c_str()));
  }

  // The agent's files in fresh roots. The library path it sets reaches the manager, which
  // hands its environment on to the services it starts.
  qma::test::RealAgent agent_{qma::test::RealAgent::kFilesOnly};
  TempRoots& roots_ = agent_.roots_;
  qma::test::UserManager manager_;
  fs::path bin_dir_ = fs::path(agent_.agent_path()).parent_path();
  fs::path units_;
};

// The platform backend with the helper service: start arguments, reported status, and a
// delete that waits for the running service to stop.
TEST_F(SystemdUserScope, HelperServiceRunsUnderTheUserManagerAndIsDeletedWhenItStops) {
  constexpr const char* kName = "QMA Test Service";
  auto manager = open_manager();
  ASSERT_NE(manager, nullptr);
  p::ServiceDefinition def;
  def.name = kName;
  def.display_name = "Test display";
  def.image_path = "\"" + (bin_dir_ / "qma_test_service").string() + "\" normal";
  auto created = manager->create_service(def);
  ASSERT_TRUE(created) << created.error();
  auto& service = created.value();
  EXPECT_TRUE(fs::exists(units_ / "qma-test-service.service"));

  ASSERT_TRUE(service->start({"-pkgstart"}));
  ASSERT_TRUE(wait_until([&] { return state(kName) == p::kServiceRunning; })) << manager_.log();
  EXPECT_EQ(read_text(roots_.state() / "helper-args.txt"), std::string(kName) + "\n-pkgstart\n");
  auto running = service->query_status();
  ASSERT_TRUE(running);
  EXPECT_EQ(running->controls_accepted, p::kServiceAcceptStop);  // as the helper reported it

  ASSERT_TRUE(service->remove());
  EXPECT_FALSE(fs::exists(units_ / "qma-test-service.service"));
  EXPECT_EQ(state(kName), p::kServiceRunning);  // still there while it runs
  auto twice = service->remove();
  ASSERT_FALSE(twice);
  EXPECT_EQ(twice.error(), p::kErrorServiceMarkedForDelete);
  auto reinstall = manager->create_service(def);
  ASSERT_FALSE(reinstall);
  EXPECT_EQ(reinstall.error(), p::kErrorServiceMarkedForDelete);

  ASSERT_TRUE(service->control(p::kServiceControlStop));
  ASSERT_TRUE(wait_until([&] { return !manager->open_service(kName); }));
  auto gone = manager->open_service(kName);
  ASSERT_FALSE(gone);
  EXPECT_EQ(gone.error(), p::kErrorServiceDoesNotExist);
  EXPECT_TRUE(manager->create_service(def));  // the name is free again
}

// ---- the real QMAgent ----

class AgentUnderSystemd : public SystemdUserScope {
 protected:
  void SetUp() override {
    SystemdUserScope::SetUp();
    if (HasFatalFailure()) return;
    roots_.write_host_file("etc/locale.conf", "LANG=en_US.UTF-8\n");
  }

  void start_running() {
    ConsoleRun started = agent_.console("-start");
    ASSERT_TRUE(std::regex_match(
        started.output,
        std::regex("Starting Quillmend Agent\\.\\.*\nQuillmend Agent started\\.\n")))
        << started.output << manager_.log();
  }
};

TEST_F(AgentUnderSystemd, InstallEnableStartQueryStop) {
  EXPECT_EQ(agent_.console("-install").output, "");
  std::string unit = read_text(units_ / kAgentUnit);
  EXPECT_NE(unit.find("ExecStart=\"" + agent_.agent_path() + "\"\n"), std::string::npos) << unit;
  EXPECT_NE(unit.find("WantedBy=default.target\n"), std::string::npos) << unit;
  std::string enabled;
  manager_.systemctl(std::string("is-enabled ") + kAgentUnit, &enabled);
  EXPECT_EQ(enabled, "disabled\n");
  EXPECT_EQ(agent_.console("-remove").output, "");
  EXPECT_FALSE(fs::exists(units_ / kAgentUnit));

  EXPECT_EQ(agent_.console("-install auto").output, "");
  manager_.systemctl(std::string("is-enabled ") + kAgentUnit, &enabled);
  EXPECT_EQ(enabled, "enabled\n");

  // -start returns once the agent told systemd it is ready: the unit is active and
  // carries the running report that came with READY=1.
  start_running();
  EXPECT_EQ(manager_.property(kAgentUnit, "ActiveState"), "active");
  EXPECT_EQ(manager_.property(kAgentUnit, "StatusText"), "qma 16 4 7 0 0 0 0");
  auto running = agent_.service()->query_status();
  ASSERT_TRUE(running);
  EXPECT_EQ(running->current_state, p::kServiceRunning);
  EXPECT_EQ(running->controls_accepted, 7u);
  EXPECT_NE(agent_.service_log().find("Get Version from QMAgent.xml : 3.1.0.7"), std::string::npos);
  EXPECT_EQ(agent_.console("-start").output, "");  // running: nothing to do

  ConsoleRun stopped = agent_.console("-stop");
  EXPECT_TRUE(std::regex_match(
      stopped.output, std::regex("Stopping Quillmend Agent\\.\\.*\nQuillmend Agent stopped\\.\n")))
      << stopped.output;
  EXPECT_NE(agent_.service_log().find("-----Quillmend Agent normal end.-----"), std::string::npos);
  EXPECT_EQ(agent_.state(), p::kServiceStopped);
  EXPECT_EQ(manager_.property(kAgentUnit, "Result"), "success");
  EXPECT_EQ(agent_.service()->query_status()->win32_exit_code, 0u);
  // A clean stop is no failure: the failure command stays unrun.
  EXPECT_FALSE(wait_until([&] { return fs::exists(roots_.state() / "restart-ran"); }, 1000));

  ConsoleRun not_started = agent_.console("-stop");
  EXPECT_EQ(not_started.output,
            "The service is not started. - 1062\nControlService(Stop) failed - 1062\n");
}

// A killed agent is started again by the unit's own restart setting, after its failure command
// ran; a third crash within the minute leaves it failed, and an explicit start still works.
TEST_F(AgentUnderSystemd, KilledAgentIsStartedAgainAFewTimesAtMost) {
  agent_.console("-install");
  start_running();
  auto unit_state = [&] {
    return manager_.property(kAgentUnit, "ActiveState") + "/" +
           manager_.property(kAgentUnit, "Result") + "/" +
           manager_.property(kAgentUnit, "NRestarts");
  };
  std::string expected_runs;
  for (int crash = 1; crash <= 3; ++crash) {
    pid_t pid = main_pid(kAgentUnit);
    ASSERT_GT(pid, 0) << "crash " << crash;
    ASSERT_EQ(::kill(pid, SIGKILL), 0);
    expected_runs += "restart\n";
    ASSERT_TRUE(wait_until([&] {
      return read_text(roots_.state() / "restart-ran") == expected_runs;
    })) << "crash "
        << crash << manager_.log();
    if (crash < 3) {
      ASSERT_TRUE(wait_until(
          [&] {
            pid_t now = main_pid(kAgentUnit);
            return now > 0 && now != pid && agent_.state() == p::kServiceRunning;
          },
          20000))
          << "crash " << crash << " " << unit_state() << manager_.log();
    } else {
      // The restart that would pass the limit is refused: the unit stays failed.
      ASSERT_TRUE(wait_until(
          [&] { return manager_.property(kAgentUnit, "ActiveState") == "failed"; }, 20000))
          << unit_state() << manager_.log();
      std::this_thread::sleep_for(std::chrono::seconds(3));
      EXPECT_EQ(manager_.property(kAgentUnit, "ActiveState"), "failed") << unit_state();
      EXPECT_EQ(main_pid(kAgentUnit), 0);
      auto status = agent_.service()->query_status();
      ASSERT_TRUE(status);
      EXPECT_EQ(status->current_state, p::kServiceStopped);
    }
  }
  start_running();  // an explicit start is not bound by the restart limit
}

TEST_F(AgentUnderSystemd, ARestartAfterAPackageStartRunsNoSecondHandOver) {
  agent_.console("-install");
  ConsoleRun started = agent_.console("-pkgstart");
  ASSERT_TRUE(std::regex_match(
      started.output, std::regex("Starting Quillmend Agent\\.\\.*\nQuillmend Agent started\\.\n")))
      << started.output << manager_.log();
  ASSERT_TRUE(wait_until([&] { return agent_.count("QMA_CheckQMAUpdateByPKG() start.") == 1; }));
  ASSERT_TRUE(wait_until([&] { return agent_.count("QMA_pipeListen() start.") >= 1; }));
  pid_t first = main_pid(kAgentUnit);
  // The service manager restarts the service by itself, as an administrator's restart does.
  EXPECT_EQ(manager_.systemctl(std::string("restart ") + kAgentUnit), 0) << manager_.log();
  ASSERT_TRUE(wait_until([&] { return agent_.count("imode : ") == 2; })) << agent_.log();
  EXPECT_NE(main_pid(kAgentUnit), first);
  EXPECT_EQ(agent_.count("imode : 1"), 1);
  EXPECT_EQ(agent_.count("imode : 0"), 1) << "the restart ran as a plain start";
  EXPECT_EQ(agent_.count("QMA_CheckQMAUpdateByPKG() start."), 1);
  EXPECT_TRUE(agent_.service()->definition()->last_start_arguments.empty());
  agent_.console("-stop");
}

TEST_F(AgentUnderSystemd, RemoveOfTheRunningAgentTakesEffectWhenItStops) {
  agent_.console("-install auto");
  start_running();
  pid_t pid = main_pid(kAgentUnit);
  ASSERT_GT(pid, 0);
  EXPECT_EQ(agent_.console("-remove").output, "");
  EXPECT_FALSE(fs::exists(units_ / kAgentUnit));
  ASSERT_TRUE(wait_until([&] { return !qma::test::process_alive(pid); }));
  ASSERT_TRUE(wait_until([&] { return agent_.service() == nullptr; }));
  EXPECT_EQ(manager_.property(kAgentUnit, "LoadState"), "not-found");
  std::string enabled;
  EXPECT_NE(manager_.systemctl(std::string("is-enabled ") + kAgentUnit, &enabled), 0) << enabled;
  EXPECT_FALSE(fs::exists(roots_.state() / "restart-ran"));
}

// kill -9 of the agent under systemd after an update's first answer and then before one: each
// time systemd starts it again within seconds, the accepted update gets exactly one notice,
// the unanswered one fails, and no tool of a killed run is left.
TEST_F(AgentUnderSystemd, KilledDuringAnUpdateTheRestartedAgentLeavesNothingBehind) {
  qma::test::write_test_host(roots_);  // the OS facts that choose the tool's command line
  qma::test::HttpReceiver receiver{qma::test::ReceiverMode::kAnswerOk};
  const fs::path module = agent_.package_root() / "01000000";
  fs::create_directories(module);
  fs::create_symlink(QMA_TEST_UPDATE_TOOL, module / "tool");
  std::ofstream(agent_.bin() / "moxService.xml")
      << "<parameter><serviceName>moxServicePlain</serviceName></parameter>";
  std::ofstream(module / "QuillInfo.xml")
      << "<quillmend_package><module_id>01000000</module_id><version>2.0.0</version>"
         "<reboot>false</reboot><supported_operating_systems><windows_os major=\"*\" "
         "minor=\"*\" sp_major=\"*\" sp_minor=\"*\" arch=\"*\"><reference refid=\"all\"/>"
         "</windows_os></supported_operating_systems><usage refid=\"all\"><update_normal "
         "timeout=\"10\">tool plan.txt</update_normal></usage></quillmend_package>\n";
  auto plan = [&](const std::string& steps) { std::ofstream(module / "plan.txt") << steps; };
  auto update = [&](const std::string& id) {
    return qma::test::request_xml(
        "3", id, "2.0",
        "<ModuleID>01000000</ModuleID><PackageID>P</PackageID><Mode>update_normal</Mode>"
        "<ReplyToAddress>127.0.0.1"
        "</ReplyToAddress><ReplyToPort>" +
            std::to_string(receiver.port()) + "</ReplyToPort>");
  };
  auto status_of = [](const std::string& answer) {
    size_t at = answer.find("<Status>");
    return at == std::string::npos ? std::string() : answer.substr(at + 8, 3);
  };
  auto pid_in = [&](const char* name) { return qma::test::read_pid(module / name); };
  auto serving_again = [&](pid_t old) {
    bool up = wait_until(
        [&] {
          pid_t now = main_pid(kAgentUnit);
          return now > 0 && now != old && agent_.state() == p::kServiceRunning;
        },
        20000);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    return up && status_of(qma::test::first_answer(qma::test::request_xml("0"))) == "600";
  };
  agent_.console("-install");
  start_running();
  ASSERT_TRUE(wait_until([] { return fs::exists(p::local_pipe_path(QMA_PIPE_NAME)); }));

  // After the first answer: the tool outlives the agent and answers once it is gone.
  plan(
      "pidfile tool.pid\nwrite Update_normal.xml OK\nwait-gone Update_normal.xml 20000\n"
      "wait-parent-gone 20000\nsleep 1500\nwrite Update_normal.xml Complete\n");
  EXPECT_EQ(status_of(qma::test::first_answer(update("SD-1"))), "601");
  pid_t agent = main_pid(kAgentUnit);
  ASSERT_EQ(::kill(agent, SIGKILL), 0);
  ASSERT_TRUE(receiver.wait_for(1, 30000)) << agent_.log() << manager_.log();
  EXPECT_NE(receiver.requests()[0].body.find("<InReplyTo>SD-1</InReplyTo>"), std::string::npos);
  EXPECT_NE(receiver.requests()[0].body.find("<Status>600</Status>"), std::string::npos);
  ASSERT_TRUE(serving_again(agent)) << manager_.log();
  EXPECT_TRUE(wait_until([&] { return !qma::test::process_alive(pid_in("tool.pid")); }));
  EXPECT_EQ(read_text(module / "ModuleStatus"), "0\n");
  EXPECT_FALSE(fs::exists(agent_.bin() / "QMAPKG_UpdateInfo.txt"));

  // Before the first answer: the tool and its helper go with the killed run.
  fs::remove(module / "tool.pid");
  plan("pidfile tool.pid\ndaemon 60000 helper.pid\nsleep 4000\nwrite Update_normal.xml OK\n");
  std::thread request([&] { (void)qma::test::first_answer(update("SD-2"), 20000); });
  ASSERT_TRUE(wait_until([&] { return pid_in("tool.pid") > 0 && pid_in("helper.pid") > 0; }));
  const pid_t tool = pid_in("tool.pid");
  const pid_t helper = pid_in("helper.pid");
  agent = main_pid(kAgentUnit);
  ASSERT_EQ(::kill(agent, SIGKILL), 0);
  request.join();
  ASSERT_TRUE(serving_again(agent)) << manager_.log();
  EXPECT_TRUE(wait_until([&] { return !qma::test::process_alive(tool); }));
  EXPECT_TRUE(wait_until([&] { return !qma::test::process_alive(helper); }));
  EXPECT_EQ(read_text(module / "ModuleStatus"), "2\n");
  std::this_thread::sleep_for(std::chrono::milliseconds(4500));
  EXPECT_FALSE(fs::exists(module / "Update_normal.xml")) << "no stale answer";
  EXPECT_EQ(receiver.requests().size(), 1u) << "exactly one notice, for the accepted update";

  // The next update of the module goes through as any other.
  plan(
      "write Update_normal.xml OK\nwait-gone Update_normal.xml 20000\n"
      "write Update_normal.xml Complete\n");
  EXPECT_EQ(status_of(qma::test::first_answer(update("SD-3"))), "601");
  ASSERT_TRUE(receiver.wait_for(2, 20000)) << agent_.log();
  EXPECT_NE(receiver.requests()[1].body.find("<InReplyTo>SD-3</InReplyTo>"), std::string::npos);
  EXPECT_NE(receiver.requests()[1].body.find("<Status>600</Status>"), std::string::npos);
}

}  // namespace
