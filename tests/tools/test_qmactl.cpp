// qmactl against a worker thread serving a real socket, and as a notice receiver.
#include <gtest/gtest.h>
#include <sys/wait.h>

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
#include "tools/moxclient/moxclient.h"

namespace {

struct ToolRun {
  int status = -1;
  std::string out;
};

ToolRun qmactl(const std::string& arguments) {
  ToolRun run;
  std::string command = std::string(QMACTL_PATH) + " " + arguments + " 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return run;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) run.out.append(buffer, n);
  int status = pclose(pipe);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
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
      {"progress 01000000 --option 'a\"&<b'", "CommandCode: 4"},
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

// Starts `qmactl listen 0` with the given options and returns its pipe and port.
FILE* start_listener(const std::string& options, unsigned* port) {
  FILE* pipe = popen((std::string(QMACTL_PATH) + " listen 0 " + options).c_str(), "r");
  if (pipe == nullptr) return nullptr;
  char line[256] = {};
  if (fgets(line, sizeof line, pipe) == nullptr ||
      std::sscanf(line, "listening on port %u", port) != 1) {
    ADD_FAILURE() << line;
  }
  return pipe;
}

void post(unsigned port, const std::string& body) {
  void* io = create_mox_io_data(static_cast<int>(body.size()), body.data(), 0, 0);
  void* reply = nullptr;
  EXPECT_EQ(
      syncRequestForPlain("127.0.0.1", static_cast<int>(port), "quillmend.manager", 10, io, &reply),
      1);
  free_mox_io_data(reply);
  free_mox_io_data(io);
}

std::string rest_of(FILE* pipe) {
  std::string out;
  char buffer[1024];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
  EXPECT_EQ(pclose(pipe), 0);
  return out;
}

TEST(QmactlListenTest, ListenPrintsEachNoticeReadably) {
  unsigned port = 0;
  FILE* pipe = start_listener("--count 2", &port);
  ASSERT_NE(pipe, nullptr);
  post(port,
       "<QMAMessage MessageVersion=\"2.0\"><InReplyTo>U-1</InReplyTo><CommandCode>3</CommandCode>"
       "<QMAData><Status>905</Status><Module><CurrentVersion>2.0</CurrentVersion><ExVersion>1.0"
       "</ExVersion><extension><option id=\"A1\"></option></extension></Module><ToolOutputLog "
       "lang=\"ja\">時間切れ</ToolOutputLog><ToolOutputLog lang=\"en\">Timed out</ToolOutputLog>"
       "</QMAData></QMAMessage>");
  post(port, "not a message");
  EXPECT_EQ(rest_of(pipe),
            "== notice 1: POST /quillmend.manager HTTP/1.1\n"
            "InReplyTo: U-1\n"
            "CommandCode: 3\n"
            "Status: 905 (did not finish in time)\n"
            "Module:\n"
            "  CurrentVersion: 2.0\n"
            "  ExVersion: 1.0\n"
            "  extension:\n"
            "    option: [id=A1]\n"
            "ToolOutputLog: [lang=ja] 時間切れ\n"
            "ToolOutputLog: [lang=en] Timed out\n"
            "== notice 2: POST /quillmend.manager HTTP/1.1\n"
            "not a message\n");
}

TEST(QmactlListenTest, RawPrintsTheNoticeAsReceived) {
  unsigned port = 0;
  FILE* pipe = start_listener("--raw --count 1", &port);
  ASSERT_NE(pipe, nullptr);
  std::string notice = "<QMAMessage MessageVersion=\"2.0\"></QMAMessage>";
  post(port, notice);
  EXPECT_EQ(rest_of(pipe), "== notice: POST /quillmend.manager HTTP/1.1\n" + notice + "\n");
}

}  // namespace
