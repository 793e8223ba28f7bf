// The agent as a Windows service: QMAgent.exe installs itself with the system's service
// manager, starts, answers qmactl.exe over its named pipe, stops and removes itself. Every
// name it registers carries the tag of the test's state folder, and its configuration goes
// under the test's own registry key.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/environment.h"
#include "platform/local_pipe.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "platform/service_manager.h"
#include "support/plain_receiver.h"
#include "support/service_support.h"
#include "support/temp_roots.h"
#include "tools/tool_runner.h"
#include "tools/zip_builder.h"

namespace {

namespace fs = std::filesystem;
using qma::test::read_text;
using qma::test::run_tool;
using qma::test::ToolResult;

constexpr const char* kServiceName = "Quillmend Agent";
constexpr int kErrorServiceDoesNotExist = 1060;

class WindowsService : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::copy(QMA_TEST_INSTALL, roots_.home(),
             fs::copy_options::recursive | fs::copy_options::overwrite_existing);
    // As an installation sets it: the programs' folder on the machine's Path, so that the
    // tools the agent starts from module folders find the libraries there.
    qma::platform::RegistryKey environment;
    ASSERT_EQ(qma::platform::reg_create_key(
                  "SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment", environment),
              0);
    const std::string path =
        qma::test::path_text(bin()) + ";" + qma::platform::get_env("PATH").value_or("");
    ASSERT_EQ(qma::platform::reg_set_value(environment, "Path", qma::platform::kRegExpandSz,
                                           path.c_str(), static_cast<uint32_t>(path.size() + 1)),
              0);
  }
  void TearDown() override {
    // Nothing of the test stays registered, whatever it got to.
    if (state() != 0) {
      (void)agent({"-stop"});
      (void)agent({"-remove"});
    }
  }

  fs::path bin() const { return roots_.home() / "bin"; }
  ToolResult agent(std::initializer_list<std::string> words) const {
    std::vector<std::string> argv{qma::test::path_text(bin() / "QMAgent.exe")};
    argv.insert(argv.end(), words);
    return run_tool(argv, bin());
  }
  ToolResult qmactl(const std::string& word) const {
    return run_tool({qma::test::path_text(bin() / "qmactl.exe"), word}, bin());
  }
  /// The service's current state as the service manager reports it; 0 when it has none.
  uint32_t state(int* error = nullptr) const {
    auto manager = qma::platform::ServiceManager::open();
    if (!manager.ok()) return 0;
    auto service = manager.value()->open_service(kServiceName);
    if (error != nullptr) *error = service.ok() ? 0 : service.error();
    if (!service.ok()) return 0;
    auto status = service.value()->query_status();
    return status.ok() ? status->current_state : 0;
  }
  bool state_becomes(uint32_t wanted) const {
    return qma::test::wait_until([&] { return state() == wanted; }, 30000);
  }
  std::string agent_version() const {
    const std::string xml = read_text(bin() / "AgentFolder" / "QMAgent" / "QMAgent.xml");
    const size_t open = xml.find("<version>");
    const size_t close = xml.find("</version>");
    if (open == std::string::npos || close == std::string::npos) return "";
    return xml.substr(open + 9, close - open - 9);
  }

  /// Installed with automatic start and running.
  void start_service() {
    ASSERT_EQ(agent({"-install", "auto"}).status, 1);
    ASSERT_EQ(agent({"-start"}).status, 1);
    ASSERT_TRUE(state_becomes(qma::platform::kServiceRunning));
  }
  /// qmactl with the words, retried while the pipe is not there yet.
  ToolResult ask(std::initializer_list<std::string> words) const {
    std::vector<std::string> argv{qma::test::path_text(bin() / "qmactl.exe")};
    argv.insert(argv.end(), words);
    ToolResult result;
    const uint64_t start = qma::platform::monotonic_ms();
    do {
      result = run_tool(argv, bin());
    } while (result.status == 3 && qma::platform::monotonic_ms() - start < 20000);
    return result;
  }

  /// Module `id` whose update_normal runs `command` with the time limit `timeout`, at
  /// version 1.0.0, with notices going out over plain HTTP; its folder.
  fs::path add_module(const std::string& command, const std::string& timeout,
                      const std::string& id = "01000000", const std::string& usage = "") const {
    // The communication service's name selects the plain request function.
    std::ofstream(bin() / "moxService.xml")
        << "<parameter><serviceName>moxServicePlain</serviceName></parameter>";
    const fs::path module = bin() / "QMA_PKGROOT" / id;
    fs::create_directories(module);
    std::ofstream(module / "QuillInfo.xml")
        << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<quillmend_package><module_id>" << id
        << "</module_id><version>2.0.0</version><reboot>false</reboot><supported_operating_systems>"
           "<windows_os major=\"*\" minor=\"*\" sp_major=\"*\" sp_minor=\"*\" arch=\"*\">"
           "<reference refid=\"all\"/></windows_os></supported_operating_systems>"
           "<usage refid=\"all\"><update_normal timeout=\""
        << timeout << "\">" << command << "</update_normal>" << usage
        << "</usage>"
           "<output_messages><message_list status_code=\"Complete\"><message "
           "lang=\"ja\">完了しました"
           "</message><message lang=\"en\">Completed</message></message_list></output_messages>"
           "</quillmend_package>\n";
    std::ofstream(module / "CurrentVersion.xml")
        << "<Response><result_code>OK</result_code><data><version>1.0.0</version></data>"
           "</Response>";
    return module;
  }

  qma::test::TempRoots roots_;
};

TEST_F(WindowsService, InstalledStartedAnsweredStoppedAndRemovedThroughTheServiceManager) {
  // Any other command line shows the help, the options in the documented words.
  ToolResult help = agent({"-help"});
  EXPECT_NE(help.out.find("\n-install auto:Installation of the QMAgent service"), std::string::npos)
      << help.out;
  EXPECT_NE(help.out.find("\n-stop:Stop of the QMAgent service\n"), std::string::npos) << help.out;

  ToolResult installed = agent({"-install", "auto"});
  EXPECT_EQ(installed.status, 1) << installed.out << installed.err;
  {
    auto manager = qma::platform::ServiceManager::open();
    ASSERT_TRUE(manager.ok());
    auto service = manager.value()->open_service(kServiceName);
    ASSERT_TRUE(service.ok()) << "error " << service.error();
    auto definition = service.value()->definition();
    ASSERT_TRUE(definition.ok());
    // The system's own tool sees it under its (tagged) key name.
    ToolResult query =
        run_tool({"C:\\windows\\system32\\sc.exe", "query", definition->name}, bin());
    EXPECT_NE(query.out.find("STOPPED"), std::string::npos) << query.out;
    EXPECT_EQ(definition->start_type, qma::platform::kServiceAutoStart);
    EXPECT_EQ(definition->image_path, "\"" + qma::test::path_text(bin() / "QMAgent.exe") + "\"");
  }
  EXPECT_EQ(state(), qma::platform::kServiceStopped);
  // The same name twice is refused by the manager (logged; a console command always ends
  // with 1) and leaves the first installation.
  EXPECT_EQ(agent({"-install"}).status, 1);
  EXPECT_NE(
      read_text(bin() / "QMAgentService.log").find("CreateService() error! GetLastError=[1073]"),
      std::string::npos);
  EXPECT_EQ(state(), qma::platform::kServiceStopped);

  ToolResult started = agent({"-start"});
  EXPECT_EQ(started.status, 1) << started.out;
  EXPECT_NE(started.out.find("Quillmend Agent started."), std::string::npos) << started.out;
  ASSERT_TRUE(state_becomes(qma::platform::kServiceRunning));

  // The pipe is the service's own: qmactl reaches it and the answer carries the installed
  // version.
  ToolResult info;
  const uint64_t start = qma::platform::monotonic_ms();
  do {
    info = qmactl("info");
  } while (info.status != 0 && qma::platform::monotonic_ms() - start < 20000);
  EXPECT_EQ(info.status, 0) << info.out << info.err;
  EXPECT_NE(info.out.find("Status: 600\n"), std::string::npos) << info.out;
  EXPECT_NE(info.out.find("AgentStatus: normal\n"), std::string::npos) << info.out;
  ASSERT_FALSE(agent_version().empty());
  EXPECT_NE(info.out.find("AgentVersion: " + agent_version() + "\n"), std::string::npos)
      << info.out;

  // Its configuration went under the test's key, in both of the agent's keys.
  for (const char* key :
       {"SOFTWARE\\Norvik\\QMAgent\\Config", "SOFTWARE\\Norvik\\QMAgent\\ExConfig"}) {
    SCOPED_TRACE(key);
    qma::platform::RegistryKey opened;
    ASSERT_EQ(qma::platform::reg_open_key(key, opened), 0);
    qma::platform::RegistryValue value;
    ASSERT_EQ(qma::platform::reg_get_value(opened, "PKG_SAVEPATH", value), 0);
    // Stored in the agent's fixed-size field, padded with NULs.
    EXPECT_EQ(std::string(value.data.c_str()), qma::test::path_text(bin() / "QMA_PKGROOT"));
  }

  ToolResult stopped = agent({"-stop"});
  EXPECT_EQ(stopped.status, 1) << stopped.out;
  EXPECT_TRUE(state_becomes(qma::platform::kServiceStopped));
  EXPECT_NE(qmactl("info").status, 0) << "nobody answers on a stopped agent's pipe";

  // Both logs, in their line format, from the service and from its worker.
  const std::regex line(R"(^\[\d{5}\]-\d{4}/\d\d/\d\d \d\d:\d\d:\d\d\.\d{3}-<[^>]+>-)");
  const std::string service_log = read_text(bin() / "QMAgentService.log");
  const std::string worker_log = read_text(bin() / "QMA_LOGROOT" / "QMAgent.log");
  EXPECT_TRUE(std::regex_search(service_log, line)) << service_log.substr(0, 200);
  EXPECT_TRUE(std::regex_search(worker_log, line)) << worker_log.substr(0, 200);
  EXPECT_NE(service_log.find("QMA_service_main() start."), std::string::npos);

  ToolResult removed = agent({"-remove"});
  EXPECT_EQ(removed.status, 1) << removed.out;
  int error = 0;
  EXPECT_EQ(state(&error), 0u);
  EXPECT_EQ(error, kErrorServiceDoesNotExist);
}

// An update through a batch tool: the first answer comes back on the pipe, the tool is left
// to finish, and the completion notice reaches a receiver over TCP.
TEST_F(WindowsService, BatchToolUpdateIsAnsweredAndItsCompletionNoticeArrives) {
  qma::test::PlainReceiver receiver;
  ASSERT_NE(receiver.port(), 0);
  const fs::path module = add_module("tool.bat", "60");
  // Accepted first; once the agent has taken that answer away, complete.
  std::ofstream(module / "tool.bat")
      << "@echo off\r\n"
         "> Update_normal.xml echo ^<Response^>^<result_code^>OK^</result_code^>^</Response^>\r\n"
         ":wait\r\n"
         "if exist Update_normal.xml goto wait\r\n"
         "> Update_normal.xml echo ^<Response^>^<result_code^>Complete^</result_code^>"
         "^<data^>^<version^>2.0.0^</version^>^</data^>^</Response^>\r\n";
  start_service();

  ToolResult accepted = ask({"--id", "U-1", "update", "01000000", "update_normal", "--reply",
                             "127.0.0.1:" + std::to_string(receiver.port())});
  EXPECT_EQ(accepted.status, 0) << accepted.out << accepted.err;
  EXPECT_NE(accepted.out.find("Status: 601\n"), std::string::npos) << accepted.out;
  ASSERT_TRUE(receiver.wait_for(1, 60000)) << read_text(bin() / "QMA_LOGROOT" / "QMAgent.log");
  const std::string body = receiver.bodies().front();
  EXPECT_NE(body.find("<InReplyTo>U-1</InReplyTo><CommandCode>3</CommandCode>"), std::string::npos)
      << body;
  EXPECT_NE(body.find("<Status>600</Status>"), std::string::npos) << body;
  EXPECT_NE(body.find("<ToolOutputLog lang=\"en\">Completed</ToolOutputLog>"), std::string::npos)
      << body;
  EXPECT_TRUE(qma::test::wait_until(
      [&] { return read_text(module / "ModuleStatus").substr(0, 1) == "0"; }, 30000))
      << read_text(module / "ModuleStatus");
}

// A tool that never answers is ended at its time limit with everything it started: here a
// batch file and the program it runs and waits for.
TEST_F(WindowsService, ToolPastItsTimeLimitIsEndedWithWhatItStarted) {
  qma::test::PlainReceiver receiver;
  const fs::path module = add_module("tool.bat", "2");
  fs::copy_file(QMA_TEST_UPDATE_TOOL, module / "tool.exe");
  std::ofstream(module / "plan.txt") << "pidfile tool.pid\nsleep 60000\n";
  std::ofstream(module / "tool.bat") << "@echo off\r\ntool.exe plan.txt\r\n";
  std::ofstream(module / "ModuleStatus") << "0\n";
  start_service();

  ToolResult answered = ask({"--id", "T-1", "update", "01000000", "update_normal", "--reply",
                             "127.0.0.1:" + std::to_string(receiver.port())});
  EXPECT_NE(answered.out.find("Status: 905\n"), std::string::npos) << answered.out;
  const std::string pid_text = read_text(module / "tool.pid");
  ASSERT_FALSE(pid_text.empty()) << "the program under the batch file ran";
  const auto pid = static_cast<uint32_t>(std::stoul(pid_text));
  const uint64_t start = qma::platform::monotonic_ms();
  while (qma::platform::process_start_mark(pid) != 0 &&
         qma::platform::monotonic_ms() - start < 10000) {
    qma::platform::sleep_ms(100);
  }
  EXPECT_EQ(qma::platform::process_start_mark(pid), 0u) << "the batch file's program runs on";
  // The failed status follows the answer.
  EXPECT_TRUE(qma::test::wait_until(
      [&] { return read_text(module / "ModuleStatus").substr(0, 1) == "2"; }, 30000))
      << read_text(module / "ModuleStatus");
  qma::platform::sleep_ms(500);
  EXPECT_TRUE(receiver.bodies().empty()) << "no notice follows a first answer that ends";
}

// The versions answer runs the agent package's own tool; the log archive is a real zip file.
TEST_F(WindowsService, VersionsAndTheLogArchiveComeFromTheInstalledService) {
  // Two earlier versions of the agent on record.
  const fs::path agent_module = bin() / "QMA_PKGROOT" / "02000000";
  for (auto [file, version] :
       {std::pair{"CurrentVersion.xml", "3.0.0"}, {"ExVersion.xml", "2.0.0"}}) {
    std::ofstream(agent_module / file) << "<Response><result_code>OK</result_code><data><version>"
                                       << version << "</version></data></Response>";
  }
  start_service();
  ToolResult versions = ask({"versions"});
  EXPECT_EQ(versions.status, 0) << versions.out << versions.err;
  // The agent's own module is listed through its package's tool, QMAGetVersion.exe, and its
  // history moves on by one.
  const std::regex agent_row("02000000 +Norvik Quillmend Agent +" + agent_version() +
                             " +3\\.0\\.0, 2\\.0\\.0 ");
  EXPECT_TRUE(std::regex_search(versions.out, agent_row)) << versions.out;
  EXPECT_NE(read_text(agent_module / "CurrentVersion.xml").find(agent_version()),
            std::string::npos);
  EXPECT_NE(read_text(agent_module / "ExVersion.xml").find("3.0.0"), std::string::npos);
  EXPECT_NE(read_text(agent_module / "ExExVersion.xml").find("2.0.0"), std::string::npos);
  const fs::path fetched = roots_.base() / "logs.zip";
  ToolResult logs = ask({"logs", "--out", qma::test::path_text(fetched)});
  EXPECT_EQ(logs.status, 0) << logs.out << logs.err;
  auto entries = qma::test::read_zip(fetched);
  ASSERT_TRUE(entries.has_value()) << "the fetched archive reads back whole";
  std::vector<std::string> names;
  for (const auto& entry : *entries) names.push_back(entry.name);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"BmcGate.log", "QMAgent.log", "QMAgentService.log"}));
}

// The service's pipe is the same pipe as on Linux: a frame that cannot be one is closed
// without an answer and the agent serves on; a disabled agent answers 900.
TEST_F(WindowsService, MalformedFrameIsClosedUnansweredAndADisabledAgentAnswers900) {
  start_service();
  ASSERT_EQ(ask({"info"}).status, 0);
  {
    auto pipe = qma::platform::connect_local_pipe("qmagentsvc", 5000);
    ASSERT_TRUE(pipe.ok()) << pipe.error();
    // A header that announces a body far past the limit.
    const unsigned char header[12] = {2, 0, 0, 0, 1, 0, 0, 0, 0xff, 0xff, 0xff, 0xff};
    ASSERT_TRUE(pipe->write(header, sizeof header, 5000).ok());
    char answer[64];
    auto read = pipe->read(answer, sizeof answer, 10000);
    EXPECT_TRUE(!read.ok() || *read == 0) << "an answer to a broken frame";
  }
  EXPECT_EQ(ask({"info"}).status, 0) << "the agent serves on";
  EXPECT_TRUE(qma::test::wait_until(
      [&] {
        return read_text(bin() / "QMA_LOGROOT" / "QMAgent.log").find("Frame error!") !=
               std::string::npos;
      },
      30000));

  ASSERT_EQ(agent({"-stop"}).status, 1);
  ASSERT_TRUE(state_becomes(qma::platform::kServiceStopped));
  qma::platform::RegistryKey config;
  ASSERT_EQ(qma::platform::reg_create_key("SOFTWARE\\Norvik\\QMAgent\\Config", config), 0);
  const uint32_t disabled = 0;
  ASSERT_EQ(qma::platform::reg_set_value(config, "AGENT_EFFECT", qma::platform::kRegDword,
                                         &disabled, sizeof disabled),
            0);
  ASSERT_EQ(agent({"-start"}).status, 1);
  ASSERT_TRUE(state_becomes(qma::platform::kServiceRunning));
  ToolResult refused = ask({"info"});
  EXPECT_EQ(refused.status, 1) << refused.out << refused.err;
  EXPECT_NE(refused.out.find("Status: 900\n"), std::string::npos) << refused.out;
}

// A self-update: the agent's own module's tool stops the service, starts it again in package
// start mode and only then writes its final answer, which the new service process reports.
TEST_F(WindowsService, SelfUpdateIsCompletedByTheServiceStartedInPackageMode) {
  qma::test::PlainReceiver receiver;
  const fs::path module = add_module("update.bat", "60", "02000000");
  const std::string agent = qma::test::path_text(bin() / "QMAgent.exe");
  std::ofstream(module / "update.bat")
      << "@echo off\r\n"
         "> Update_normal.xml echo ^<Response^>^<result_code^>OK^</result_code^>^</Response^>\r\n"
         ":wait\r\n"
         "if exist Update_normal.xml goto wait\r\n"
         "\""
      << agent
      << "\" -stop\r\n"
         "\""
      << agent
      << "\" -pkgstart\r\n"
         "> Update_normal.xml echo ^<Response^>^<result_code^>Complete^</result_code^>"
         "^</Response^>\r\n";
  start_service();

  ToolResult accepted = ask({"--id", "SU-1", "update", "02000000", "update_normal", "--reply",
                             "127.0.0.1:" + std::to_string(receiver.port())});
  EXPECT_NE(accepted.out.find("Status: 601\n"), std::string::npos) << accepted.out;
  ASSERT_TRUE(receiver.wait_for(1, 60000)) << read_text(bin() / "QMA_LOGROOT" / "QMAgent.log");
  const std::string body = receiver.bodies().front();
  EXPECT_NE(body.find("<InReplyTo>SU-1</InReplyTo>"), std::string::npos) << body;
  EXPECT_NE(body.find("<Status>600</Status>"), std::string::npos) << body;
  const std::string log = read_text(bin() / "QMA_LOGROOT" / "QMAgent.log");
  EXPECT_NE(log.find("QMA_CheckQMAUpdateByPKG() start."), std::string::npos)
      << "the notice came from the package start";
  EXPECT_TRUE(
      qma::test::wait_until([&] { return !fs::exists(bin() / "QMAPKG_UpdateInfo.txt"); }, 30000));
  EXPECT_EQ(state(), qma::platform::kServiceRunning);
  EXPECT_EQ(ask({"info"}).status, 0) << "the restarted service answers";
}

// After an installation changed the machine environment, envpulse.exe announces it to the
// running programs (the broadcast itself is tested with the platform layer).
TEST_F(WindowsService, EnvpulseAnnouncesTheMachineEnvironment) {
  ToolResult pulse = run_tool({qma::test::path_text(bin() / "envpulse.exe")}, bin());
  EXPECT_EQ(pulse.status, 0);
  EXPECT_EQ(pulse.out, "ENVPULSE...\n\nENVPULSE SUCCESS\n");
}

// A package registered from a zip through qmactl.exe is updated through its own program, its
// progress asked for meanwhile; the notice carries the version the tool reports and the
// recorded one before it.
TEST_F(WindowsService, PackageFromAZipIsUpdatedThroughItsOwnProgram) {
  qma::test::PlainReceiver receiver;
  const fs::path module = add_module("tool.exe plan.txt", "60", "01000000",
                                     "<get_ratio timeout=\"10\">tool.exe ratio.txt</get_ratio>");
  const std::string descriptor = read_text(module / "QuillInfo.xml");
  fs::remove(module / "QuillInfo.xml");
  const std::string tool = read_text(QMA_TEST_UPDATE_TOOL);
  ASSERT_FALSE(tool.empty());
  const fs::path archive = roots_.base() / "package.zip";
  ASSERT_TRUE(qma::test::write_zip(
      archive, {{"QuillInfo.xml", descriptor},
                {"tool.exe", tool},
                {"plan.txt",
                 "write Update_normal.xml OK\nwait-gone Update_normal.xml 20000\n"
                 "wait-file go 30000\nwrite Update_normal.xml Complete version=2.0.0\n"},
                {"ratio.txt", "write Get_ratio.xml OK data=42\n"}}));
  start_service();

  ToolResult registered = ask({"register", "01000000", qma::test::path_text(archive)});
  EXPECT_EQ(registered.status, 0) << registered.out << registered.err;
  EXPECT_NE(registered.out.find("Status: 600\n"), std::string::npos) << registered.out;
  EXPECT_EQ(read_text(module / "tool.exe").size(), tool.size()) << "unpacked whole";
  EXPECT_EQ(read_text(module / "ModuleStatus").substr(0, 1), "0");

  ToolResult accepted = ask({"--id", "Z-1", "update", "01000000", "update_normal", "--reply",
                             "127.0.0.1:" + std::to_string(receiver.port())});
  EXPECT_NE(accepted.out.find("Status: 601\n"), std::string::npos) << accepted.out;
  // While the update runs, its progress comes from the package's own progress command.
  ToolResult progress = ask({"progress", "01000000"});
  EXPECT_EQ(progress.status, 0) << progress.out << progress.err;
  EXPECT_NE(progress.out.find("Progress: 42\n"), std::string::npos) << progress.out;
  EXPECT_TRUE(receiver.bodies().empty());
  std::ofstream(module / "go") << "";
  ASSERT_TRUE(receiver.wait_for(1, 60000)) << read_text(bin() / "QMA_LOGROOT" / "QMAgent.log");
  const std::string body = receiver.bodies().front();
  EXPECT_NE(body.find("<Status>600</Status><Module><CurrentVersion>2.0.0</CurrentVersion>"
                      "<ExVersion>1.0.0</ExVersion></Module>"),
            std::string::npos)
      << body;
  EXPECT_TRUE(qma::test::wait_until(
      [&] { return read_text(module / "ModuleStatus").substr(0, 1) == "0"; }, 30000));
  EXPECT_FALSE(fs::exists(module / "Update_normal.xml"));
}

}  // namespace
