// qmactl against a worker thread serving a real pipe. As a notice receiver, and with its JSON
// read by jq, it is tried in test_qmactl_linux.cpp.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "manager_if/agent_harness.h"
#include "manager_if/frame_codec.h"
#include "platform/clock.h"
#include "platform/local_pipe.h"
#include "platform/process.h"
#include "platform/program_run.h"

namespace {

struct ToolRun {
  int status = -1;
  std::string out;
};

/// Runs qmactl with the arguments (split by the Windows command-line rules), standard output
/// and error together.
ToolRun qmactl(const std::string& arguments) {
  ToolRun run;
  const std::filesystem::path folder = qma::test::make_temp_dir("qmactl");
  const std::string out = qma::test::path_text(folder / "out");
  auto ran = qma::platform::run_program(
      QMACTL_PATH, qma::platform::split_command_line("qmactl " + arguments), "", {"", out, out});
  if (ran.ok()) run.status = static_cast<int>(ran.value());
  // Console output is text: lines end in "\r\n" on Windows.
  run.out = qma::test::read_text_mode(out);
  std::error_code ec;
  std::filesystem::remove_all(folder, ec);
  return run;
}

class QmactlTest : public ::testing::Test {
 protected:
  void SetUp() override { agent_.start(); }
  qma::test::InProcessAgent agent_;
};

TEST_F(QmactlTest, InfoPrintsAgentHostOsAndInventory) {
  ToolRun run = qmactl("info");
  EXPECT_EQ(run.status, 0) << run.out;
  for (const char* line : {"Status: 600\n", "AgentStatus: normal\n", "AgentVersion: 3.1\n",
                           "windows_os: [major=12 minor=0 sp_major=0 sp_minor=0 arch=x64]\n",
                           "  reference: [refid=0]\n", "Serial: SN0042\n",
                           "target_machine: [model_name=ServerModel X]\n"}) {
    EXPECT_NE(run.out.find(line), std::string::npos) << line << " in\n" << run.out;
  }
}

TEST_F(QmactlTest, RawPrintsTheMessageAsSent) {
  ToolRun run = qmactl("--raw --id RAW-1 reboot");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out,
            "<QMAMessage MessageVersion=\"2.0\"><InReplyTo>RAW-1</InReplyTo><CommandCode>5"
            "</CommandCode><QMAData><Status>600</Status></QMAData></QMAMessage>\n");
  EXPECT_EQ(qma::test::read_text(agent_.roots_.host() / "run" / "qmagent-power"), "reboot\n");
}

TEST_F(QmactlTest, RequestsOfLaterCommandsAreSentAndTheirAnswerShown) {
  std::ofstream(agent_.roots_.base() / "pkg.zip") << "zip";
  struct Row {
    std::string args;
    const char* code;
  };
  const Row rows[] = {
      {"versions", "CommandCode: 1"},
      {"register 01000000 " + (agent_.roots_.base() / "pkg.zip").string(), "CommandCode: 2"},
      {R"(progress 01000000 --option "a\"&<b")", "CommandCode: 4"},
      {"logs", "CommandCode: 7"},
  };
  for (const Row& row : rows) {
    ToolRun run = qmactl(row.args);
    EXPECT_NE(run.out.find(row.code), std::string::npos) << row.args << "\n" << run.out;
    EXPECT_NE(run.out.find("Status: "), std::string::npos) << row.args << "\n" << run.out;
  }
}

TEST_F(QmactlTest, BadUsageAndMissingAgentAreReported) {
  EXPECT_EQ(qmactl("frobnicate").status, 2);
  EXPECT_EQ(qmactl("update 01000000").status, 2);
  EXPECT_EQ(qmactl("update 01000000 install --mode install").status, 2);
  // A module without a package: the agent ends the update without an answer.
  for (const char* args : {"update 01000000 update_normal --option A --reply 127.0.0.1:9",
                           "update 01000000 --mode install"}) {
    ToolRun run = qmactl(args);
    EXPECT_EQ(run.status, 3) << args;
    EXPECT_NE(run.out.find("without an answer"), std::string::npos) << run.out;
  }
  EXPECT_EQ(agent_.count_in_log("Get command of update-tool error! Mode=[install]"), 1);
  EXPECT_EQ(qmactl("register 01000000 /nonexistent.zip").status, 2);
  agent_.stop();
  ToolRun run = qmactl("info");
  EXPECT_EQ(run.status, 3);
  EXPECT_NE(run.out.find("cannot connect"), std::string::npos) << run.out;
}

TEST(QmactlAnswerTest, AnAnswerEndsAtItsFrameWhileTheConnectionStaysOpen) {
  // An update's request thread keeps the connection until its tool ends; the
  // accepted answer must be shown at once, not when the agent lets go.
  qma::test::TempRoots roots;
  auto listener = qma::platform::PipeListener::create("qmagentsvc");
  ASSERT_TRUE(listener.ok());
  std::atomic<bool> client_done{false};
  std::atomic<bool> server_let_go{false};
  std::thread server([&] {
    auto connection = listener->accept(30000);
    if (!connection.ok()) return;
    std::string request;
    char buffer[4096];
    while (request.size() < 12 ||
           request.size() < qma::manager_if::read_le32(request.data() + 8) + 12u) {
      auto n = connection->read(buffer, sizeof buffer, 30000);
      if (!n.ok()) return;
      request.append(buffer, *n);
    }
    std::string answer = qma::manager_if::encode_frame(
        2, 1, "", "",
        "<QMAMessage MessageVersion=\"2.0\"><InReplyTo>U</InReplyTo><CommandCode>3</CommandCode>"
        "<QMAData><Status>601</Status></QMAData></QMAMessage>");
    for (size_t sent = 0; sent < answer.size();) {
      auto n = connection->write(answer.data() + sent, answer.size() - sent, 30000);
      if (!n.ok()) return;
      sent += *n;
    }
    for (int i = 0; i < 600 && !client_done; ++i) qma::platform::sleep_ms(100);
    server_let_go = true;
  });
  ToolRun run = qmactl("--timeout 120 update 01000000 update_normal");
  bool answered_while_open = !server_let_go;
  client_done = true;
  server.join();
  EXPECT_TRUE(answered_while_open) << "qmactl waited for the agent to close the connection";
  EXPECT_EQ(run.status, 0) << run.out;
  EXPECT_NE(run.out.find("Status: 601\n"), std::string::npos) << run.out;
}

}  // namespace
