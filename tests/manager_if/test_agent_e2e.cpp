// The real QMAgent under the standalone service manager, driven through its pipe with raw frames.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <string>

#include "common/host/os_info_source.h"
#include "platform/host.h"
#include "platform/named_mutex.h"
#include "platform/registry.h"
#include "support/real_agent.h"

namespace {

namespace fs = std::filesystem;
namespace p = qma::platform;
using qma::test::answer_text;
using qma::test::exchange;
using qma::test::read_text;
using qma::test::request_frame;
using qma::test::request_xml;

class AgentPipeE2E : public ::testing::Test {
 protected:
  void set_agent_effect(uint32_t value) {
    p::RegistryKey key;
    ASSERT_EQ(p::reg_create_key("SOFTWARE\\Norvik\\QMAgent\\Config", key), 0);
    ASSERT_EQ(p::reg_set_value(key, "AGENT_EFFECT", p::kRegDword, &value, sizeof value), 0);
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

  qma::test::RealAgent agent_;
  qma::test::TempRoots& roots_ = agent_.roots_;
};

TEST_F(AgentPipeE2E, AnswersHaveTheirExactLayouts) {
  agent_.start();
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
  agent_.start();
  auto mutex = p::NamedMutex::open("QMA_ACTCTRLTBL_MUTEX");
  ASSERT_TRUE(mutex.ok());
  ASSERT_EQ(mutex->wait(5000), p::WaitStatus::kSignaled);
  std::string refused = answer_text(exchange(request_frame(request_xml("5", "L-1"))).answer);
  mutex->release();
  EXPECT_EQ(refused,
            "<QMAMessage MessageVersion=\"2.0\"><InReplyTo>L-1</InReplyTo><CommandCode>5"
            "</CommandCode><QMAData><Status>901</Status></QMAData></QMAMessage>");
  EXPECT_GE(agent_.count("QMA_CheckForActCtrlTbl() error! errno=[0]"), 1);
  EXPECT_GE(agent_.count("ManagerRequest Cancellation!!!"), 1);
  EXPECT_FALSE(fs::exists(roots_.host() / "run" / "qmagent-power"))
      << "the refused reboot never ran";
  EXPECT_EQ(answer_text(exchange(request_frame(request_xml("0", "L-2"))).answer),
            agent_information("L-2", "0"));
}

TEST_F(AgentPipeE2E, DisabledAgentAnswers900ToEveryCode) {
  set_agent_effect(0);
  std::filesystem::create_directories(roots_.state() / "upload");
  std::ofstream(roots_.state() / "upload" / "upload.zip") << "zip";
  agent_.start();
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
                               code == 2 ? (roots_.state() / "upload").string() : ""))
            .answer);
    EXPECT_NE(text.find("<InReplyTo>D" + c + "</InReplyTo><CommandCode>" + c +
                        "</CommandCode><QMAData><Status>900</Status>"),
              std::string::npos)
        << text;
    if (code <= 1) {
      EXPECT_NE(text.find("<AgentStatus>disabled</AgentStatus>"), std::string::npos) << text;
    }
  }
  EXPECT_FALSE(fs::exists(roots_.state() / "upload" / "upload.zip"))
      << "the upload of a refused registration";
  EXPECT_FALSE(fs::exists(roots_.host() / "run" / "qmagent-power"));
}

TEST_F(AgentPipeE2E, RebootIsDetectedOnlyWhenTheHostRestarted) {
  fs::path state_file = agent_.bin() / "QMA_SYS_evlogstart";
  fs::path status_file = agent_.bin() / "QMAgentStatus";
  agent_.start();
  EXPECT_EQ(read_text(state_file), "1700000000") << "first start records the boot";
  EXPECT_EQ(agent_.count("System is rebooted"), 0);
  agent_.stop();

  std::ofstream(status_file) << "1 1";  // busy with a reboot pending when the agent stopped
  agent_.start();
  EXPECT_EQ(agent_.count("QMA is rebooted"), 1) << "only the agent restarted";
  EXPECT_EQ(read_text(status_file), "2 1");
  agent_.stop();

  roots_.write_host_file("proc/sys/kernel/random/boot_id", "boot-2\n");
  roots_.write_host_file("proc/stat", "cpu 1 2 3\nbtime 1700086400\n");
  agent_.start();
  EXPECT_EQ(agent_.count("System is rebooted"), 1);
  EXPECT_EQ(read_text(state_file), "1700086400");
  EXPECT_EQ(read_text(status_file), "0 0") << "a host restart resets the agent status";
}

TEST_F(AgentPipeE2E, QmactlInfoAndRebootAgainstTheAgent) {
  agent_.start();
  std::string out;
  EXPECT_EQ(qma::test::run_command(agent_.qmactl_path() + " info", &out), 0) << out;
  EXPECT_NE(out.find("HostName: " + p::host_name().value()), std::string::npos) << out;
  EXPECT_NE(out.find("OSName: Test Linux 12"), std::string::npos) << out;
  EXPECT_NE(out.find("Guid: 33221100-5544-7766-8899-AABBCCDDEEFF"), std::string::npos) << out;
  EXPECT_EQ(qma::test::run_command(agent_.qmactl_path() + " reboot", &out), 0) << out;
  EXPECT_EQ(read_text(roots_.host() / "run" / "qmagent-power"), "reboot\n");
}

}  // namespace
