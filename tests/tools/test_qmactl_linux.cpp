// qmactl on Linux: its JSON answer read by jq, and as a notice receiver read while it runs.
#include <gtest/gtest.h>
#include <sys/wait.h>

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

/// Runs jq with a filter over a text; its output, or "jq failed" when jq refused the text.
std::string jq(const std::string& filter, const std::string& input) {
  std::filesystem::path folder = qma::test::make_temp_dir("jq");
  std::ofstream(folder / "input.json") << input;
  ToolRun run;
  std::string command = "jq -r '" + filter + "' '" + (folder / "input.json").string() + "' 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe != nullptr) {
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) run.out.append(buffer, n);
    int status = pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  std::filesystem::remove_all(folder);
  return run.status == 0 ? run.out : "jq failed: " + run.out;
}

class QmactlTest : public ::testing::Test {
 protected:
  void SetUp() override { agent_.start(); }
  qma::test::InProcessAgent agent_;
};

TEST_F(QmactlTest, JsonAnswerIsOneObjectThatJqReads) {
  ToolRun run = qmactl("--json --id J-1 info");
  EXPECT_EQ(run.status, 0) << run.out;
  EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 1) << run.out;
  EXPECT_EQ(jq("[.InReplyTo, .CommandCode, .QMAData.Status, (.QMAData.Status|type), "
               ".QMAData.AgentVersion, .QMAData.windows_os.major, .QMAData.windows_os.arch, "
               ".QMAData.windows_os.reference.refid, .QMAData.Serial] | @tsv",
               run.out),
            "J-1\t0\t600\tnumber\t3.1\t12\tx64\t0\tSN0042\n");
  EXPECT_EQ(qmactl("--json --raw info").status, 2);
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

TEST(QmactlListenTest, ListenWithJsonPrintsOneObjectPerLine) {
  FILE* pipe = popen((std::string(QMACTL_PATH) + " --json listen 0 --count 2").c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  char line[256] = {};
  ASSERT_NE(fgets(line, sizeof line, pipe), nullptr);
  unsigned port = 0;
  ASSERT_EQ(std::sscanf(line, "{\"ListeningPort\":%u}", &port), 1) << line;
  const std::string notices[] = {
      "<QMAMessage MessageVersion=\"2.0\"><InReplyTo>U-1</InReplyTo><CommandCode>3</CommandCode>"
      "<QMAData><Status>600</Status><Module><CurrentVersion>2.0</CurrentVersion><ExVersion>1.0"
      "</ExVersion></Module><ToolOutputLog lang=\"ja\"></ToolOutputLog><ToolOutputLog "
      "lang=\"en\">done</ToolOutputLog></QMAData></QMAMessage>",
      "not a message"};
  for (const std::string& notice : notices) {
    void* io = create_mox_io_data(static_cast<int>(notice.size()), notice.data(), 0, 0);
    void* reply = nullptr;
    EXPECT_EQ(syncRequestForPlain("127.0.0.1", static_cast<int>(port), "quillmend.manager", 10, io,
                                  &reply),
              1);
    free_mox_io_data(reply);
    free_mox_io_data(io);
  }
  std::string out = line;
  char buffer[1024];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
  EXPECT_EQ(pclose(pipe), 0);
  EXPECT_EQ(jq("if .ListeningPort then \"port\" else [.NoticePath, .InReplyTo, .QMAData.Status, "
               "(.QMAData.Module | length), .QMAData.Module[0].CurrentVersion, "
               ".QMAData.ToolOutputLog[1].text, .RawMessage] | @tsv end",
               out),
            "port\n/quillmend.manager\tU-1\t600\t1\t2.0\tdone\t\n"
            "/quillmend.manager\t\t\t0\t\t\tnot a message\n")
      << out;
}

}  // namespace
