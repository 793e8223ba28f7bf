// The worker thread over a real pipe: frames in, answers out, bad input refused. Malformed
// frames counted by descriptors and threads, and the socket path limit, are tried in
// test_pipe_listener_linux.cpp.
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

TEST_F(PipeListenerTest, AgentInformationAnswerIsExact) {
  auto reply = exchange(request_frame(request_xml("0", "M-100")));
  ASSERT_TRUE(reply.connected);
  EXPECT_EQ(answer_text(reply.answer), agent_information("M-100", "0", "600"));
  expect_no_entries();
}

TEST_F(PipeListenerTest, LogLinesShowHandlesInHexAndMissingTablesAsZero) {
  auto reply = exchange(request_frame(request_xml("0", "M-104")));
  ASSERT_TRUE(reply.connected);
  std::string log = agent_.log();
  const std::regex arrival(
      R"(Arrival of the pipe was detected\. Version=\[[^\]]*\], hPipe=\[0x[0-9A-F]{)" +
      std::to_string(2 * sizeof(void*)) + R"(}\])");
  EXPECT_TRUE(std::regex_search(log, arrival)) << log;
  EXPECT_EQ(QMA_dataRecvFromMox(nullptr, nullptr), 0);
  EXPECT_EQ(QMA_DispatchForRequest(nullptr, nullptr), 0);
  EXPECT_GE(agent_.count_in_log("Parameter error! hPipe=[0] pstMPITbl=[0]"), 1);
  EXPECT_GE(agent_.count_in_log("Parameter error! pstMPITbl=[0] pstCMDTbl=[0]"), 1);
}

TEST_F(PipeListenerTest, RequestWrittenInOneBytePiecesIsReadWhole) {
  auto reply = exchange(request_frame(request_xml("0", "M-101")), 1);
  EXPECT_EQ(answer_text(reply.answer), agent_information("M-101", "0", "600"));
}

TEST_F(PipeListenerTest, NonNumericCodeIsAnsweredAsAgentInformation) {
  auto reply = exchange(request_frame(request_xml("abc", "M-102")));
  EXPECT_EQ(answer_text(reply.answer), agent_information("M-102", "abc", "600"));
}

TEST_F(PipeListenerTest, CodeEightIsDroppedWithoutAnAnswer) {
  auto reply = exchange(request_frame(request_xml("8", "M-103")));
  EXPECT_TRUE(reply.connected);
  EXPECT_EQ(reply.answer, "");
  EXPECT_GE(agent_.count_in_log("Unexpected command code.(CommandCode=8)"), 1);
  expect_no_entries();
  expect_still_serving("code 8");
}

TEST_F(PipeListenerTest, RebootAndShutdownAreRecordedUnderTheTestHostRoot) {
  for (const char* code : {"5", "6"}) {
    auto reply = exchange(request_frame(request_xml(code, "P")));
    EXPECT_EQ(answer_text(reply.answer),
              std::string("<QMAMessage MessageVersion=\"2.0\"><InReplyTo>P</InReplyTo>"
                          "<CommandCode>") +
                  code + "</CommandCode><QMAData><Status>600</Status></QMAData></QMAMessage>");
  }
  EXPECT_EQ(qma::test::read_text(agent_.roots_.host() / "run" / "qmagent-power"),
            "reboot\nshutdown\n");
  expect_no_entries();
}

TEST_F(PipeListenerTest, ExcludedRequestIsRefusedWith901UntilTheActionEnds) {
  QMA_ACTCTRL_MUTEX mutex = nullptr;
  ASSERT_EQ(QMA_ActCtrlTbl_CreateMutex(&mutex), 1);
  ASSERT_EQ(QMA_UpdateForActCtrlTbl(mutex, 1, 5), 1);  // a reboot is running
  auto refused = exchange(request_frame(request_xml("1", "R-1")));
  EXPECT_EQ(answer_text(refused.answer),
            "<QMAMessage MessageVersion=\"2.0\"><InReplyTo>R-1</InReplyTo><CommandCode>1"
            "</CommandCode><QMAData><Status>901</Status><AgentStatus>normal</AgentStatus>"
            "<AgentVersion></AgentVersion><HostName></HostName><windows_os major=\"\" minor=\"\" "
            "sp_major=\"\" sp_minor=\"\" arch=\"\"><reference refid=\"\"></reference>"
            "<product_type></product_type></windows_os><OSName></OSName><target_machine "
            "model_name=\"\"><n_code parent_n_code=\"\"><child_n_code></child_n_code></n_code>"
            "</target_machine><Guid></Guid><Serial></Serial></QMAData></QMAMessage>");
  EXPECT_GE(agent_.count_in_log("QMA_CheckForActCtrlTbl() error! errno=[1]"), 1);
  ASSERT_EQ(QMA_UpdateForActCtrlTbl(mutex, 0, 5), 1);
  auto admitted = exchange(request_frame(request_xml("0", "R-2")));
  EXPECT_EQ(answer_text(admitted.answer), agent_information("R-2", "0", "600"));
  QMA_ActCtrlTbl_CloseMutex(mutex);
}

TEST_F(PipeListenerTest, DisabledAgentAnswers900ToEveryCodeAndDropsTheUpload) {
  g_QMAConfig.AgentEffect = 0;
  auto upload_dir = agent_.roots_.state() / "upload" / "disabled";
  std::filesystem::create_directories(upload_dir);
  std::ofstream(upload_dir / "pkg.zip") << "zip";
  for (int code = 0; code <= 7; ++code) {
    std::string c = std::to_string(code);
    std::string data = code == 2   ? "<FileName>pkg.zip</FileName><ModuleID>01000000</ModuleID>"
                       : code == 3 ? "<ModuleID>01000000</ModuleID><PackageID>p</PackageID><Mode>"
                                     "update_normal</Mode><ReplyToAddress>127.0.0.1"
                                     "</ReplyToAddress><ReplyToPort>1</ReplyToPort>"
                       : code == 4 ? "<ModuleID>01000000</ModuleID>"
                                   : "";
    auto reply =
        exchange(request_frame(request_xml(c, "D" + c, "2.0", data), code == 2 ? "pkg.zip" : "",
                               code == 2 ? upload_dir.string() : ""));
    std::string text = answer_text(reply.answer);
    EXPECT_NE(text.find("<InReplyTo>D" + c + "</InReplyTo><CommandCode>" + c +
                        "</CommandCode><QMAData><Status>900</Status>"),
              std::string::npos)
        << "code " << c << ": " << text;
  }
  EXPECT_FALSE(std::filesystem::exists(upload_dir / "pkg.zip"));
  EXPECT_GE(agent_.count_in_log("QMAgent is INVALID!"), 8);
  expect_no_entries();
}

TEST_F(PipeListenerTest, ThreeHundredClientsAtOnceAreAllAnswered) {
  std::atomic<int> answered{0};
  std::vector<std::thread> clients;
  for (int i = 0; i < 300; ++i) {
    clients.emplace_back([&answered, i] {
      auto reply = exchange(request_frame(request_xml("0", "C" + std::to_string(i))), 0, 60000);
      if (reply.answer.find("<InReplyTo>C" + std::to_string(i) + "</InReplyTo>") !=
          std::string::npos) {
        ++answered;
      }
    });
  }
  for (auto& client : clients) client.join();
  EXPECT_EQ(answered.load(), 300);
  expect_no_entries();
}

}  // namespace
