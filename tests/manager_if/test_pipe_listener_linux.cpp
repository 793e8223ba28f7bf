// The worker thread on Linux: malformed frames leave no descriptor or thread behind (as /proc
// counts them), and a socket path past the limit is refused.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "common/host/qma_system.h"
#include "manager_if/agent_harness.h"
#include "platform/host.h"

namespace {

using qma::test::answer_text;
using qma::test::exchange;
using qma::test::path_text;
using qma::test::request_frame;
using qma::test::request_xml;

class PipeListenerTest : public ::testing::Test {
 protected:
  void SetUp() override { agent_.start(); }

  std::string agent_information(const std::string& id, const std::string& code,
                                const std::string& status) {
    int os_type = 0;
    char os_name[260] = {};
    EXPECT_EQ(QMA_GetOSInfo(&os_type, os_name), 1);
    auto host = qma::platform::host_name();
    return "<QMAMessage MessageVersion=\"2.0\"><InReplyTo>" + id + "</InReplyTo><CommandCode>" +
           code + "</CommandCode><QMAData><Status>" + status +
           "</Status><AgentStatus>normal</AgentStatus><AgentVersion>3.1</AgentVersion><HostName>" +
           host.value() +
           "</HostName><windows_os major=\"12\" minor=\"0\" sp_major=\"0\" sp_minor=\"0\" "
           "arch=\"x64\"><reference refid=\"0\"></reference><product_type>" +
           std::to_string(os_type) + "</product_type></windows_os><OSName>" + os_name +
           "</OSName><target_machine model_name=\"ServerModel X\"><n_code "
           "parent_n_code=\"AB-1234\"><child_n_code></child_n_code></n_code></target_machine>"
           "<Guid>33221100-5544-7766-8899-AABBCCDDEEFF</Guid><Serial>SN0042</Serial></QMAData>"
           "</QMAMessage>";
  }

  static size_t count_entries(const char* folder) {
    size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(folder)) ++count;
    return count;
  }

  void expect_no_entries() {
    int32_t counters[8];
    qma::manager_if::action_control_counters(counters);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(counters[i], 0) << "counter " << i;
  }

  // A fresh agent-information request must still be answered.
  void expect_still_serving(const std::string& after) {
    auto reply = exchange(request_frame(request_xml("0", "after")));
    EXPECT_NE(answer_text(reply.answer).find("<Status>600</Status>"), std::string::npos)
        << "no answer after " << after;
  }

  qma::test::InProcessAgent agent_;
};

TEST_F(PipeListenerTest, MalformedFramesAreClosedWithoutAnAnswer) {
  using qma::manager_if::write_le32;
  std::string good = request_frame(request_xml("0"));
  auto with_length = [&](uint32_t n) {
    std::string f = good;
    write_le32(f.data() + 8, n);
    return f;
  };
  std::string long_text = good;
  write_le32(long_text.data() + 524, static_cast<uint32_t>(good.size() - 528 + 1));
  std::string unterminated_name = good;
  std::memset(unterminated_name.data() + 12, 'n', 256);
  std::string unterminated_dir = good;
  std::memset(unterminated_dir.data() + 268, 'd', 256);
  struct Row {
    const char* name;
    std::string bytes;
    bool close = false;
  };
  const Row rows[] = {
      {"body shorter than 516", with_length(515).substr(0, 12 + 515)},
      {"text length past the body", long_text},
      {"file name without zero", unterminated_name},
      {"directory without zero", unterminated_dir},
      {"body length 0xFFFFFFFF", with_length(0xFFFFFFFFu)},
      {"closed after 5 bytes", good.substr(0, 5), true},
      {"header, then closed", good.substr(0, 12), true},
      {"header and part of the body, then closed", good.substr(0, 300), true},
      {"not XML", request_frame("this is not xml")},
      {"XML without a command code", request_frame("<QMMMessage MessageVersion=\"2.0\">"
                                                   "<MessageID>1</MessageID></QMMMessage>")},
  };
  expect_still_serving("start");
  // Idle, the process runs the test's thread and the worker; the last request
  // thread may still be on its way out.
  const size_t threads = 2;
  for (int i = 0; i < 200 && count_entries("/proc/self/task") > threads; ++i) {
    qma::platform::sleep_ms(10);
  }
  size_t descriptors = count_entries("/proc/self/fd");
  for (const Row& row : rows) {
    auto reply = exchange(row.bytes, 0, 5000, row.close);
    EXPECT_TRUE(reply.connected) << row.name;
    EXPECT_EQ(reply.answer, "") << row.name;
    expect_no_entries();
    expect_still_serving(row.name);
  }
  // Request threads end right after their answer; give the last one a moment.
  for (int i = 0; i < 200 && count_entries("/proc/self/task") > threads; ++i) {
    qma::platform::sleep_ms(10);
  }
  EXPECT_EQ(count_entries("/proc/self/fd"), descriptors) << "no descriptor is left behind";
  EXPECT_EQ(count_entries("/proc/self/task"), threads) << "no thread is left behind";
}

TEST(PipeListenerLimitsTest, StateFolderWithTooLongASocketPathIsRefusedClearly) {
  qma::test::InProcessAgent agent;
  auto deep = agent.roots_.base() / std::string(100, 's');
  std::filesystem::create_directories(deep);
  qma::test::set_env("QMA_STATE_DIR", path_text(deep));
  agent.worker_ = std::thread([&] { agent.result_ = QMA_outsideIF(&agent.pkgstart_); });
  EXPECT_EQ(agent.join(), 0u);
  EXPECT_GE(agent.count_in_log("Pipe path is longer than 107 bytes"), 1);
  EXPECT_GE(agent.count_in_log("CreateNamedPipe() error! GetLastError=[36]"), 1);
  EXPECT_GE(agent.count_in_log("QMA_pipeListen() error!! QMAgentService terminated...."), 1);
}

}  // namespace
