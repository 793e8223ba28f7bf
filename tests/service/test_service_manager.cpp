// The service manager: the standalone backend with a real supervised service, the systemd
// backend against a fake systemctl, and status reports over a fake notify socket.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/event.h"
#include "platform/service_manager.h"
#include "support/service_support_linux.h"
#include "support/temp_roots.h"

namespace {

namespace fs = std::filesystem;
namespace p = qma::platform;
using qma::test::read_text;
using qma::test::TempRoots;
using qma::test::wait_until;

constexpr const char* kName = "QMA Test Service";

std::string helper_program() {
  auto self = p::current_program_path();
  return (fs::path(self.value()).parent_path() / "qma_test_service").string();
}

class StandaloneManager : public ::testing::Test {
 protected:
  void SetUp() override {
    qma::test::adopt_orphans();
    setenv("QMA_SCM", "standalone", 1);
    auto manager = p::ServiceManager::open();
    ASSERT_TRUE(manager);
    manager_ = std::move(manager.value());
    ASSERT_EQ(manager_->backend_name(), "standalone");
  }
  void TearDown() override {
    qma::test::kill_services(roots_);
    unsetenv("QMA_SCM");
  }

  std::unique_ptr<p::Service> install(const std::string& mode,
                                      const std::string& failure_script = "") {
    p::ServiceDefinition def;
    def.name = kName;
    def.display_name = "Test display";
    def.image_path = "\"" + helper_program() + "\" " + mode;
    auto service = manager_->create_service(def);
    EXPECT_TRUE(service) << service.error();
    if (!service) return nullptr;
    if (!failure_script.empty()) {
      std::ofstream(roots_.base() / "failure.sh") << failure_script;
      EXPECT_TRUE(service.value()->set_failure_command(
          "\"" + (roots_.base() / "failure.sh").string() + "\""));
    }
    return std::move(service.value());
  }
  uint32_t state() { return qma::test::service_state(kName); }

  TempRoots roots_;
  std::unique_ptr<p::ServiceManager> manager_;
};

TEST_F(StandaloneManager, DefinitionIsRecordedOnceAndOpenedByName) {
  auto service = install("normal");
  ASSERT_NE(service, nullptr);
  auto def = service->definition();
  ASSERT_TRUE(def);
  EXPECT_EQ(def->name, kName);
  EXPECT_EQ(def->display_name, "Test display");
  EXPECT_EQ(def->start_type, p::kServiceDemandStart);
  EXPECT_EQ(def->error_control, p::kServiceErrorNormal);
  EXPECT_EQ(def->image_path, "\"" + helper_program() + "\" normal");

  p::ServiceDefinition again;
  again.name = "qma test SERVICE";  // names compare without case
  auto duplicate = manager_->create_service(again);
  ASSERT_FALSE(duplicate);
  EXPECT_EQ(duplicate.error(), p::kErrorServiceExists);

  EXPECT_TRUE(manager_->open_service("qma TEST service"));
  auto missing = manager_->open_service("No Such Service");
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error(), p::kErrorServiceDoesNotExist);

  auto status = service->query_status();
  ASSERT_TRUE(status);
  EXPECT_EQ(status->current_state, p::kServiceStopped);
  auto control = service->control(p::kServiceControlStop);
  ASSERT_FALSE(control);
  EXPECT_EQ(control.error(), p::kErrorServiceNotActive);
}

TEST_F(StandaloneManager, StartRunStopWithArgumentsAndStatusReports) {
  auto service = install("normal", "echo ran > \"$QMA_STATE_DIR/failure-ran\"\n");
  ASSERT_NE(service, nullptr);
  ASSERT_TRUE(service->start({"-pkgstart"}));
  // The helper reports start-pending with its check point and wait hint first.
  ASSERT_TRUE(wait_until([&] { return state() == p::kServiceRunning; }));
  EXPECT_EQ(read_text(roots_.state() / "helper-args.txt"), std::string(kName) + "\n-pkgstart\n");
  EXPECT_EQ(service->definition()->last_start_arguments, std::vector<std::string>{"-pkgstart"});

  auto again = service->start({});
  ASSERT_FALSE(again);
  EXPECT_EQ(again.error(), p::kErrorServiceAlreadyRunning);

  auto interrogated = service->control(p::kServiceControlInterrogate);
  ASSERT_TRUE(interrogated);
  EXPECT_EQ(interrogated->current_state, p::kServiceRunning);
  EXPECT_EQ(interrogated->controls_accepted, p::kServiceAcceptStop);
  auto paused = service->control(p::kServiceControlPause);
  ASSERT_FALSE(paused);
  EXPECT_EQ(paused.error(), p::kErrorInvalidServiceControl);

  auto stopping = service->control(p::kServiceControlStop);
  ASSERT_TRUE(stopping);
  EXPECT_EQ(stopping->current_state, p::kServiceStopPending);
  EXPECT_EQ(stopping->check_point, 1u);
  EXPECT_EQ(stopping->wait_hint, 3000u);
  auto twice = service->control(p::kServiceControlStop);
  ASSERT_FALSE(twice);
  EXPECT_EQ(twice.error(), p::kErrorServiceCannotAcceptCtrl);

  ASSERT_TRUE(wait_until([&] { return state() == p::kServiceStopped; }));
  auto folder = qma::test::service_folder(roots_, kName);
  ASSERT_TRUE(wait_until([&] { return !fs::exists(folder / "host.pid"); }));
  EXPECT_EQ(service->query_status()->win32_exit_code, 0u);
  EXPECT_FALSE(fs::exists(roots_.state() / "failure-ran"));  // reported stopped: no failure

  // A second run starts without arguments.
  ASSERT_TRUE(service->start({}));
  ASSERT_TRUE(wait_until([&] { return state() == p::kServiceRunning; }));
  EXPECT_EQ(read_text(roots_.state() / "helper-args.txt"), std::string(kName) + "\n");
  ASSERT_TRUE(service->control(p::kServiceControlStop));
  ASSERT_TRUE(wait_until([&] { return state() == p::kServiceStopped; }));
}

TEST_F(StandaloneManager, CrashDuringStartIsStoppedAndRunsFailureCommand) {
  auto service = install("crash-in-start", "echo ran > \"$QMA_STATE_DIR/failure-ran\"\n");
  ASSERT_NE(service, nullptr);
  ASSERT_TRUE(service->start({}));
  ASSERT_TRUE(wait_until([&] { return fs::exists(roots_.state() / "failure-ran"); }));
  auto status = service->query_status();
  ASSERT_TRUE(status);
  EXPECT_EQ(status->current_state, p::kServiceStopped);
  EXPECT_EQ(status->win32_exit_code, static_cast<uint32_t>(p::kErrorProcessAborted));
}

TEST_F(StandaloneManager, EndWithoutStoppedReportRunsFailureCommand) {
  auto service = install("exit-while-running", "echo ran > \"$QMA_STATE_DIR/failure-ran\"\n");
  ASSERT_NE(service, nullptr);
  ASSERT_TRUE(service->start({}));
  ASSERT_TRUE(wait_until([&] { return fs::exists(roots_.state() / "failure-ran"); }));
  EXPECT_EQ(state(), p::kServiceStopped);
}

TEST_F(StandaloneManager, DeleteOfRunningServiceTakesEffectWhenItStops) {
  auto service = install("normal");
  ASSERT_NE(service, nullptr);
  ASSERT_TRUE(service->start({}));
  ASSERT_TRUE(wait_until([&] { return state() == p::kServiceRunning; }));
  ASSERT_TRUE(service->remove());
  auto twice = service->remove();
  ASSERT_FALSE(twice);
  EXPECT_EQ(twice.error(), p::kErrorServiceMarkedForDelete);
  p::ServiceDefinition def;
  def.name = kName;
  auto reinstall = manager_->create_service(def);
  ASSERT_FALSE(reinstall);
  EXPECT_EQ(reinstall.error(), p::kErrorServiceMarkedForDelete);
  EXPECT_EQ(state(), p::kServiceRunning);

  ASSERT_TRUE(service->control(p::kServiceControlStop));
  ASSERT_TRUE(wait_until([&] { return !manager_->open_service(kName); }));
  EXPECT_FALSE(fs::exists(qma::test::service_folder(roots_, kName)));
}

TEST_F(StandaloneManager, KilledSupervisorMeansStopped) {
  auto service = install("normal");
  ASSERT_NE(service, nullptr);
  ASSERT_TRUE(service->start({}));
  ASSERT_TRUE(wait_until([&] { return state() == p::kServiceRunning; }));
  qma::test::kill_services(roots_);
  EXPECT_EQ(state(), p::kServiceStopped);
  ASSERT_TRUE(service->remove());
  EXPECT_FALSE(manager_->open_service(kName));
}

TEST_F(StandaloneManager, ServiceOutlivingItsSupervisorStillAnswersControls) {
  auto service = install("normal");
  ASSERT_NE(service, nullptr);
  ASSERT_TRUE(service->start({}));
  ASSERT_TRUE(wait_until([&] { return state() == p::kServiceRunning; }));
  auto folder = qma::test::service_folder(roots_, kName);
  pid_t host = qma::test::read_pid(folder / "host.pid");
  pid_t child = qma::test::read_pid(folder / "service.pid");
  ASSERT_EQ(::kill(host, SIGKILL), 0);
  ASSERT_TRUE(wait_until([&] { return !qma::test::process_alive(host); }));
  EXPECT_EQ(state(), p::kServiceRunning);
  ASSERT_TRUE(service->remove());  // takes effect once the service ends
  ASSERT_TRUE(service->control(p::kServiceControlStop));
  ASSERT_TRUE(wait_until([&] { return !qma::test::process_alive(child); }));
  qma::test::reap_children();
  EXPECT_FALSE(manager_->open_service(kName));
  EXPECT_FALSE(fs::exists(folder));
}

TEST(ServiceDispatcher, FailsWith1063OutsideAServiceManager) {
  unsetenv("QMA_SCM_SERVICE");
  unsetenv("QMA_SCM_BACKEND");
  auto result = p::run_service_dispatcher("Anything", [](uint32_t, char**) {});
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), p::kErrorFailedServiceControllerConnect);
  auto handle = p::register_service_handler("Anything", nullptr, nullptr);
  EXPECT_FALSE(handle);
}

// ---- systemd backend, against a fake systemctl and a fake notify socket ----

class SystemdManager : public ::testing::Test {
 protected:
  void SetUp() override {
    fake_bin_ = roots_.base() / "fakebin";
    units_ = roots_.base() / "units";
    run_ = roots_.base() / "run";
    fs::create_directories(fake_bin_);
    fs::create_directories(units_);
    std::ofstream(fake_bin_ / "systemctl") << "#!/bin/sh\n"
                                              "echo \"$*\" >> \"" +
                                                  (roots_.base() / "systemctl.log").string() +
                                                  "\"\n"
                                                  "if [ \"$1\" = show ]; then cat \"" +
                                                  (roots_.base() / "show.txt").string() +
                                                  "\"; fi\n";
    fs::permissions(fake_bin_ / "systemctl", fs::perms::owner_all);
    set_show("LoadState=loaded\nActiveState=inactive\nStatusText=\n");
    old_path_ = std::getenv("PATH") ? std::getenv("PATH") : "";
    setenv("PATH", (fake_bin_.string() + ":" + old_path_).c_str(), 1);
    setenv("QMA_SCM", "systemd", 1);
    setenv("QMA_SYSTEMD_UNIT_DIR", units_.c_str(), 1);
    setenv("QMA_SYSTEMD_RUN_DIR", run_.c_str(), 1);
    auto manager = p::ServiceManager::open();
    ASSERT_TRUE(manager);
    manager_ = std::move(manager.value());
    ASSERT_EQ(manager_->backend_name(), "systemd");
  }
  void TearDown() override {
    setenv("PATH", old_path_.c_str(), 1);
    for (const char* name : {"QMA_SCM", "QMA_SYSTEMD_UNIT_DIR", "QMA_SYSTEMD_RUN_DIR"})
      unsetenv(name);
  }
  void set_show(const std::string& text) { std::ofstream(roots_.base() / "show.txt") << text; }
  std::string calls() { return read_text(roots_.base() / "systemctl.log"); }

  TempRoots roots_;
  fs::path fake_bin_, units_, run_;
  std::string old_path_;
  std::unique_ptr<p::ServiceManager> manager_;
};

TEST_F(SystemdManager, InstallWritesUnitAndEnablesAutomaticStart) {
  p::ServiceDefinition def;
  def.name = "Quillmend Agent";
  def.display_name = "Norvik Quillmend Agent";
  def.start_type = p::kServiceAutoStart;
  def.image_path = "\"/opt/qm/bin/QMAgent\"";
  auto service = manager_->create_service(def);
  ASSERT_TRUE(service) << service.error();
  ASSERT_TRUE(service.value()->set_failure_command("\"/opt/qm/bin/ServiceReStart.sh\""));
  std::string unit = read_text(units_ / "quillmend-agent.service");
  EXPECT_NE(unit.find("Description=Norvik Quillmend Agent\n"), std::string::npos);
  EXPECT_NE(unit.find("Type=notify\n"), std::string::npos);
  EXPECT_NE(
      unit.find("EnvironmentFile=-" + (run_ / "quillmend-agent.service.args").string() + "\n"),
      std::string::npos);
  EXPECT_NE(unit.find("ExecStart=\"/opt/qm/bin/QMAgent\"\n"), std::string::npos);
  // The agent exits with 1 after a reported stop: that end must not count as a failure.
  EXPECT_NE(unit.find("SuccessExitStatus=1\n"), std::string::npos);
  EXPECT_NE(unit.find("\"AXIS2C_HOME=" + roots_.home().string() + "\""), std::string::npos);
  EXPECT_NE(unit.find("\"QMA_STATE_DIR=" + roots_.state().string() + "\""), std::string::npos);
  EXPECT_NE(unit.find("\"QMA_HOST_ROOT=" + roots_.host().string() + "\""), std::string::npos);
  EXPECT_NE(
      unit.find("ExecStopPost=/bin/sh -c 'if [ \"$$SERVICE_RESULT\" != success ]; then /bin/sh "
                "\"/opt/qm/bin/ServiceReStart.sh\"; fi'\n"),
      std::string::npos)
      << unit;
  EXPECT_NE(calls().find("enable quillmend-agent.service\n"), std::string::npos);
  EXPECT_NE(calls().find("daemon-reload\n"), std::string::npos);

  auto definition = service.value()->definition();
  ASSERT_TRUE(definition);
  EXPECT_EQ(definition->name, "Quillmend Agent");
  EXPECT_EQ(definition->start_type, p::kServiceAutoStart);
  EXPECT_EQ(definition->failure_command, "\"/opt/qm/bin/ServiceReStart.sh\"");

  auto duplicate = manager_->create_service(def);
  ASSERT_FALSE(duplicate);
  EXPECT_EQ(duplicate.error(), p::kErrorServiceExists);
}

TEST_F(SystemdManager, ManualInstallIsNotEnabled) {
  p::ServiceDefinition def;
  def.name = "Quillmend Agent";
  def.image_path = "\"/opt/qm/bin/QMAgent\"";
  ASSERT_TRUE(manager_->create_service(def));
  EXPECT_EQ(calls().find("enable"), std::string::npos);
}

struct ShowRow {
  const char* name;
  const char* show;
  uint32_t state, controls, check_point, wait_hint, exit_code;
};

TEST_F(SystemdManager, QueryMapsUnitStateAndReportedStatus) {
  p::ServiceDefinition def;
  def.name = "Quillmend Agent";
  def.image_path = "\"/opt/qm/bin/QMAgent\"";
  auto service = manager_->create_service(def);
  ASSERT_TRUE(service);
  const ShowRow rows[] = {
      {"inactive", "ActiveState=inactive\n", p::kServiceStopped, 0, 0, 0, 0},
      {"failed", "ActiveState=failed\n", p::kServiceStopped, 0, 0, 0, 1067},
      {"activating_with_report", "ActiveState=activating\nStatusText=qma 16 2 0 0 0 0 30000\n",
       p::kServiceStartPending, 0, 0, 30000, 0},
      {"active_with_report", "ActiveState=active\nStatusText=qma 16 4 7 0 0 0 0\n",
       p::kServiceRunning, 7, 0, 0, 0},
      {"active_without_report", "ActiveState=active\nStatusText=\n", p::kServiceRunning, 1, 0, 0,
       0},
      {"stale_report_ignored", "ActiveState=deactivating\nStatusText=qma 16 4 7 0 0 0 0\n",
       p::kServiceStopPending, 0, 0, 0, 0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    set_show(std::string("LoadState=loaded\n") + row.show);
    auto status = service.value()->query_status();
    ASSERT_TRUE(status);
    EXPECT_EQ(status->current_state, row.state);
    EXPECT_EQ(status->controls_accepted, row.controls);
    EXPECT_EQ(status->wait_hint, row.wait_hint);
    EXPECT_EQ(status->win32_exit_code, row.exit_code);
  }
}

TEST_F(SystemdManager, StartStopAndRemoveGoThroughSystemctl) {
  p::ServiceDefinition def;
  def.name = "Quillmend Agent";
  def.image_path = "\"/opt/qm/bin/QMAgent\"";
  auto created = manager_->create_service(def);
  ASSERT_TRUE(created);
  auto& service = created.value();

  ASSERT_TRUE(service->start({"-pkgstart"}));
  EXPECT_EQ(read_text(run_ / "quillmend-agent.service.args"), "QMA_SCM_START_ARGS=-pkgstart\n");
  EXPECT_NE(calls().find("start --no-block quillmend-agent.service\n"), std::string::npos);
  EXPECT_EQ(service->definition()->last_start_arguments, std::vector<std::string>{"-pkgstart"});

  set_show("LoadState=loaded\nActiveState=active\nStatusText=qma 16 4 7 0 0 0 0\n");
  auto again = service->start({});
  ASSERT_FALSE(again);
  EXPECT_EQ(again.error(), p::kErrorServiceAlreadyRunning);
  ASSERT_TRUE(service->control(p::kServiceControlStop));
  EXPECT_NE(calls().find("stop --no-block quillmend-agent.service\n"), std::string::npos);

  set_show("LoadState=loaded\nActiveState=inactive\n");
  auto stopped = service->control(p::kServiceControlStop);
  ASSERT_FALSE(stopped);
  EXPECT_EQ(stopped.error(), p::kErrorServiceNotActive);

  ASSERT_TRUE(service->remove());
  EXPECT_FALSE(fs::exists(units_ / "quillmend-agent.service"));
  EXPECT_NE(calls().find("disable quillmend-agent.service\n"), std::string::npos);
  EXPECT_FALSE(manager_->open_service("Quillmend Agent"));
}

// The service side under systemd: status reports become notify datagrams, SIGTERM the stop control.

TEST(SystemdDispatcher, ReportsThroughNotifySocketAndStopsOnSigterm) {
  TempRoots roots;
  std::string socket_path = (roots.base() / "notify.sock").string();
  int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(fd, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strcpy(address.sun_path, socket_path.c_str());
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  setenv("NOTIFY_SOCKET", socket_path.c_str(), 1);
  setenv("QMA_SCM_SERVICE", "Quillmend Agent", 1);
  setenv("QMA_SCM_BACKEND", "systemd", 1);
  setenv("QMA_SCM_START_ARGS", "-pkgstart", 1);

  static p::ServiceStatusHandle handle = nullptr;
  static p::Event stop(true, false);
  static std::vector<std::string> args;
  static bool marks_inherited = true;
  auto main = [](uint32_t argc, char** argv) {
    for (uint32_t i = 0; i < argc; ++i) args.push_back(argv[i]);
    // Programs the service starts must not find the marks of the service run.
    marks_inherited =
        std::getenv("QMA_SCM_SERVICE") != nullptr || std::getenv("QMA_SCM_START_ARGS") != nullptr;
    auto registered = p::register_service_handler(
        "Quillmend Agent",
        [](uint32_t control, uint32_t, void*, void*) -> uint32_t {
          if (control == p::kServiceControlStop) stop.set();
          return 0;
        },
        nullptr);
    if (!registered) return;
    handle = registered.value();
    p::ServiceStatus status;
    status.service_type = p::kServiceWin32OwnProcess;
    status.current_state = p::kServiceStartPending;
    status.wait_hint = 30000;
    (void)p::set_service_status(handle, status);
    status.current_state = p::kServiceRunning;
    status.controls_accepted = 7;
    status.wait_hint = 0;
    (void)p::set_service_status(handle, status);
    ::kill(::getpid(), SIGTERM);  // blocked here; the dispatcher reads it
    (void)stop.wait(p::kInfinite);
    status.current_state = p::kServiceStopped;
    (void)p::set_service_status(handle, status);
  };
  auto result = p::run_service_dispatcher("quillmend agent", main);
  for (const char* name :
       {"NOTIFY_SOCKET", "QMA_SCM_SERVICE", "QMA_SCM_BACKEND", "QMA_SCM_START_ARGS"}) {
    unsetenv(name);
  }
  ASSERT_TRUE(result) << result.error();
  EXPECT_EQ(args, (std::vector<std::string>{"quillmend agent", "-pkgstart"}));
  EXPECT_FALSE(marks_inherited);

  std::vector<std::string> messages;
  char buffer[512];
  for (;;) {
    ssize_t n = ::recv(fd, buffer, sizeof(buffer), MSG_DONTWAIT);
    if (n <= 0) break;
    messages.emplace_back(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  ASSERT_EQ(messages.size(), 3u);
  EXPECT_EQ(messages[0], "EXTEND_TIMEOUT_USEC=30000000\nSTATUS=qma 16 2 0 0 0 0 30000\n");
  EXPECT_EQ(messages[1], "READY=1\nSTATUS=qma 16 4 7 0 0 0 0\n");
  EXPECT_EQ(messages[2], "STATUS=qma 16 1 7 0 0 0 0\n");
}

}  // namespace
