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
#include "manager_if/pipe_listener_fixture.h"
#include "platform/host.h"

namespace {

using qma::test::answer_text;
using qma::test::exchange;
using qma::test::path_text;
using qma::test::request_frame;
using qma::test::request_xml;

using qma::test::PipeListenerTest;

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
