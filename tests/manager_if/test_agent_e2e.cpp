// The real QMAgent under the standalone service manager, driven through its pipe with raw frames.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>

#include "common/host/os_info_source.h"
#include "manager_if/agent_harness.h"
#include "platform/host.h"
#include "platform/named_mutex.h"
#include "platform/registry.h"
#include "platform/service_manager.h"
#include "service/service_test_support.h"

namespace {

namespace fs = std::filesystem;
namespace p = qma::platform;
using qma::test::answer_text;
using qma::test::exchange;
using qma::test::read_text;
using qma::test::request_frame;
using qma::test::request_xml;
using qma::test::wait_until;

constexpr const char* kName = "Quillmend Agent";

class AgentPipeE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    qma::test::adopt_orphans();
    setenv("QMA_SCM", "standalone", 1);
    fs::path programs = fs::path(p::current_program_path().value()).parent_path();
    agent_ = (programs / "QMAgent").string();
    qmactl_ = (programs / "qmactl").string();
    bin_ = roots_.bin();
    fs::create_directories(bin_ / "QMA_LOGROOT");
    fs::create_directories(bin_ / "QMA_PKGROOT");
    fs::create_directories(bin_ / "AgentFolder" / "QMAgent");
    std::ofstream(bin_ / "AgentFolder" / "QMAgent" / "QMAgent.xml")
        << "<?xml version=\"1.0\"?>\n<service><version>3.1.0.7</version></service>\n";
    roots_.write_host_file("etc/os-release", "PRETTY_NAME=\"Test Linux 12\"\nVERSION_ID=\"12\"\n");
    roots_.write_host_file("proc/stat", "cpu 1 2 3\nbtime 1700000000\n");
    roots_.write_host_file("proc/sys/kernel/random/boot_id", "boot-1\n");
    write_dmi_facts(roots_);
    p::RegistryKey key;
    ASSERT_EQ(
        p::reg_create_key("SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment", key),
        0);
    std::string path = std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin";
    std::string home = roots_.home().string();
    ASSERT_EQ(p::reg_set_value(key, "Path", p::kRegExpandSz, path.c_str(),
                               static_cast<uint32_t>(path.size() + 1)),
              0);
    ASSERT_EQ(p::reg_set_value(key, "AXIS2C_HOME", p::kRegSz, home.c_str(),
                               static_cast<uint32_t>(home.size() + 1)),
              0);
    run(agent_ + " -install");
  }
  void TearDown() override {
    qma::test::kill_services(roots_);
    unsetenv("QMA_SCM");
  }

  static int run(const std::string& command, std::string* out = nullptr) {
    FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) return -1;
    char buffer[1024];
    size_t n;
    std::string text;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) text.append(buffer, n);
    if (out != nullptr) *out = text;
    int status = ::pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  void start() {
    run(agent_ + " -start");
    ASSERT_TRUE(wait_until([] { return qma::test::service_state(kName) == p::kServiceRunning; }));
    ASSERT_TRUE(wait_until([] { return fs::exists(p::local_pipe_path(QMA_PIPE_NAME)); }))
        << agent_log();
  }
  void stop() {
    run(agent_ + " -stop");
    ASSERT_TRUE(wait_until([] { return qma::test::service_state(kName) == p::kServiceStopped; }));
  }
  void set_agent_effect(uint32_t value) {
    p::RegistryKey key;
    ASSERT_EQ(p::reg_create_key("SOFTWARE\\Norvik\\QMAgent\\Config", key), 0);
    ASSERT_EQ(p::reg_set_value(key, "AGENT_EFFECT", p::kRegDword, &value, sizeof value), 0);
  }
  std::string agent_log() const { return read_text(bin_ / "QMA_LOGROOT" / "QMAgent.log"); }
  int count(const std::string& text) const {
    std::string log = agent_log();
    int found = 0;
    for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++found;
    return found;
  }

  // The exact agent-information answer this host gives.
  std::string agent_information(const std::string& id, const std::string& code,
                                const std::string& agent_status = "normal") {
    std::string arch = p::os_is_64bit() ? "x64" : "x86";
    return "<QMAMessage MessageVersion=\"2.0\"><InReplyTo>" + id + "</InReplyTo><CommandCode>" +
           code + "</CommandCode><QMAData><Status>600</Status><AgentStatus>" + agent_status +
           "</AgentStatus><AgentVersion>3.1.0.7</AgentVersion><HostName>" + p::host_name().value() +
           "</HostName><windows_os major=\"12\" minor=\"0\" " +
           "sp_major=\"0\" sp_minor=\"0\" arch=\"" + arch +
           "\"><reference refid=\"0\"></reference><product_type>" +
           std::to_string(qma::common::kLinuxOsSku) +
           "</product_type></windows_os><OSName>Test Linux 12" + (arch == "x64" ? " x64" : "") +
           "</OSName><target_machine model_name=\"ServerModel X\"><n_code "
           "parent_n_code=\"AB-1234\"><child_n_code></child_n_code></n_code></target_machine>"
           "<Guid>33221100-5544-7766-8899-AABBCCDDEEFF</Guid><Serial>SN0042</Serial></QMAData>"
           "</QMAMessage>";
  }

  // A status-only layout around whatever three-digit status the handler chose.
  static void expect_layout(const std::string& text, const std::string& id, const std::string& code,
                            const std::string& after_status) {
    std::regex layout("<QMAMessage MessageVersion=\"2\\.0\"><InReplyTo>" + id +
                      "</InReplyTo><CommandCode>" + code +
                      "</CommandCode><QMAData><Status>[0-9]{3}</Status>" + after_status +
                      "</QMAData></QMAMessage>");
    EXPECT_TRUE(std::regex_match(text, layout)) << text;
  }

  qma::test::TempRoots roots_;
  std::string agent_;
  std::string qmactl_;
  fs::path bin_;
};

TEST_F(AgentPipeE2E, AnswersHaveTheirExactLayouts) {
  start();
  EXPECT_EQ(answer_text(exchange(request_frame(request_xml("0", "E-0"))).answer),
            agent_information("E-0", "0"));
  EXPECT_EQ(answer_text(exchange(request_frame(request_xml("0", "E-1")), 1).answer),
            agent_information("E-1", "0"))
      << "a request written one byte at a time";
  EXPECT_EQ(answer_text(exchange(request_frame(request_xml("x7", "E-2"))).answer),
            agent_information("E-2", "x7"))
      << "a code that is not a number";
  expect_layout(
      answer_text(
          exchange(
              request_frame(request_xml("2", "E-3", "2.0",
                                        "<FileName>p.zip</FileName><ModuleID>01000000</ModuleID>"),
                            "p.zip", roots_.base().string()))
              .answer),
      "E-3", "2", "");
  std::string file_name;
  std::string logs =
      answer_text(exchange(request_frame(request_xml("7", "E-7"))).answer, &file_name);
  if (file_name.empty()) {
    expect_layout(logs, "E-7", "7", "<FileName></FileName>");
  } else {
    expect_layout(logs, "E-7", "7", "<FileName>QMAgentLog.zip</FileName>");
  }
  for (const char* code : {"5", "6"}) {
    EXPECT_EQ(
        answer_text(exchange(request_frame(request_xml(code, "P"))).answer),
        std::string("<QMAMessage MessageVersion=\"2.0\"><InReplyTo>P</InReplyTo><CommandCode>") +
            code + "</CommandCode><QMAData><Status>600</Status></QMAData></QMAMessage>");
  }
  EXPECT_EQ(read_text(roots_.host() / "run" / "qmagent-power"), "reboot\nshutdown\n");
  auto dropped = exchange(request_frame(request_xml("8", "E-8")));
  EXPECT_TRUE(dropped.connected);
  EXPECT_EQ(dropped.answer, "") << "code 8 is dropped without an answer";
  EXPECT_EQ(answer_text(exchange(request_frame(request_xml("0", "E-9"))).answer),
            agent_information("E-9", "0"));
}

TEST_F(AgentPipeE2E, LockedActionTableRefusesWith901ThenAdmitsAgain) {
  start();
  auto mutex = p::NamedMutex::open("QMA_ACTCTRLTBL_MUTEX");
  ASSERT_TRUE(mutex.ok());
  ASSERT_EQ(mutex->wait(5000), p::WaitStatus::kSignaled);
  std::string refused = answer_text(exchange(request_frame(request_xml("5", "L-1"))).answer);
  mutex->release();
  EXPECT_EQ(refused,
            "<QMAMessage MessageVersion=\"2.0\"><InReplyTo>L-1</InReplyTo><CommandCode>5"
            "</CommandCode><QMAData><Status>901</Status></QMAData></QMAMessage>");
  EXPECT_GE(count("QMA_CheckForActCtrlTbl() error! errno=[0]"), 1);
  EXPECT_GE(count("ManagerRequest Cancellation!!!"), 1);
  EXPECT_FALSE(fs::exists(roots_.host() / "run" / "qmagent-power"))
      << "the refused reboot never ran";
  EXPECT_EQ(answer_text(exchange(request_frame(request_xml("0", "L-2"))).answer),
            agent_information("L-2", "0"));
}

TEST_F(AgentPipeE2E, DisabledAgentAnswers900ToEveryCode) {
  set_agent_effect(0);
  std::ofstream(roots_.base() / "upload.zip") << "zip";
  start();
  for (int code = 0; code <= 7; ++code) {
    std::string c = std::to_string(code);
    std::string data = code == 2 ? "<FileName>upload.zip</FileName><ModuleID>01000000</ModuleID>"
                       : code == 3
                           ? "<ModuleID>01000000</ModuleID><PackageID>p</PackageID><Mode>install"
                             "</Mode><ReplyToAddress>127.0.0.1</ReplyToAddress><ReplyToPort>1"
                             "</ReplyToPort>"
                       : code == 4 ? "<ModuleID>01000000</ModuleID>"
                                   : "";
    std::string text = answer_text(
        exchange(request_frame(request_xml(c, "D" + c, "2.0", data), code == 2 ? "upload.zip" : "",
                               code == 2 ? roots_.base().string() : ""))
            .answer);
    EXPECT_NE(text.find("<InReplyTo>D" + c + "</InReplyTo><CommandCode>" + c +
                        "</CommandCode><QMAData><Status>900</Status>"),
              std::string::npos)
        << text;
    if (code <= 1) {
      EXPECT_NE(text.find("<AgentStatus>disabled</AgentStatus>"), std::string::npos) << text;
    }
  }
  EXPECT_FALSE(fs::exists(roots_.base() / "upload.zip")) << "the upload of a refused registration";
  EXPECT_FALSE(fs::exists(roots_.host() / "run" / "qmagent-power"));
}

TEST_F(AgentPipeE2E, RebootIsDetectedOnlyWhenTheHostRestarted) {
  fs::path state_file = bin_ / "QMA_SYS_evlogstart";
  fs::path status_file = bin_ / "QMAgentStatus";
  start();
  EXPECT_EQ(read_text(state_file), "1700000000") << "first start records the boot";
  EXPECT_EQ(count("System is rebooted"), 0);
  stop();

  std::ofstream(status_file) << "1 1";  // busy with a reboot pending when the agent stopped
  start();
  EXPECT_EQ(count("QMA is rebooted"), 1) << "only the agent restarted";
  EXPECT_EQ(read_text(status_file), "2 1");
  stop();

  roots_.write_host_file("proc/sys/kernel/random/boot_id", "boot-2\n");
  roots_.write_host_file("proc/stat", "cpu 1 2 3\nbtime 1700086400\n");
  start();
  EXPECT_EQ(count("System is rebooted"), 1);
  EXPECT_EQ(read_text(state_file), "1700086400");
  EXPECT_EQ(read_text(status_file), "0 0") << "a host restart resets the agent status";
}

TEST_F(AgentPipeE2E, QmactlInfoAndRebootAgainstTheAgent) {
  start();
  std::string out;
  EXPECT_EQ(run(qmactl_ + " info", &out), 0) << out;
  EXPECT_NE(out.find("HostName: " + p::host_name().value()), std::string::npos) << out;
  EXPECT_NE(out.find("OSName: Test Linux 12"), std::string::npos) << out;
  EXPECT_NE(out.find("Guid: 33221100-5544-7766-8899-AABBCCDDEEFF"), std::string::npos) << out;
  EXPECT_EQ(run(qmactl_ + " reboot", &out), 0) << out;
  EXPECT_EQ(read_text(roots_.host() / "run" / "qmagent-power"), "reboot\n");
}

}  // namespace
