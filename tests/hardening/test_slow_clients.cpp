// No client delays another: frames are read off the accept loop, each within one deadline,
// and idle clients that fill every pipe instance make the listener wait, not end.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "hardening/hardening_support.h"
#include "manager_if/agent_harness.h"
#include "manager_if/pipe_control.h"
#include "platform/local_pipe.h"
#include "support/service_support_linux.h"

namespace {

namespace p = qma::platform;
using qma::test::answer_text;
using qma::test::exchange;
using qma::test::request_frame;
using qma::test::request_xml;

using Clock = std::chrono::steady_clock;

long long ms_since(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

class SlowClientsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Hundreds of connections, each end counted in this process.
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
    agent_.start();
  }
  void TearDown() override {
    qma::manager_if::set_frame_read_deadline_ms(qma::manager_if::kFrameReadDeadlineMs);
  }

  // Clients that connect and send nothing.
  std::vector<p::PipeConnection> hold(int count) {
    std::vector<p::PipeConnection> holders;
    for (int i = 0; i < count; ++i) {
      auto pipe = p::connect_local_pipe(QMA_PIPE_NAME, 5000);
      EXPECT_TRUE(pipe.ok()) << "holder " << i;
      if (pipe.ok()) holders.push_back(std::move(pipe.value()));
    }
    return holders;
  }

  // The time an agent-information request takes, best of three (the machine may be
  // busy with other tests); a request that gets no answer within two seconds counts
  // as two seconds.
  long long best_answer_ms(const std::string& tag) {
    long long best = 1 << 30;
    for (int i = 0; i < 3; ++i) {
      auto start = Clock::now();
      auto reply = exchange(request_frame(request_xml("0", tag)), 0, 2000);
      long long took = ms_since(start);
      if (reply.answer.find("<Status>600</Status>") == std::string::npos) took = 2000;
      best = std::min(best, took);
    }
    return best;
  }

  qma::test::InProcessAgent agent_;
};

TEST_F(SlowClientsTest, SilentHoldersAndATricklingClientDelayNobody) {
  auto holders = hold(250);
  std::atomic<bool> trickling{true};
  std::thread trickler([&] {
    std::string frame = request_frame(request_xml("0", "T"));
    auto pipe = p::connect_local_pipe(QMA_PIPE_NAME, 5000);
    for (size_t i = 0; i < frame.size() && trickling; ++i) {
      (void)pipe->write(frame.data() + i, 1, 1000);
      p::sleep_ms(50);
    }
  });
  p::sleep_ms(200);  // the trickler is part way into its frame
  EXPECT_LE(best_answer_ms("N"), 100) << "a normal request waited behind idle clients";
  auto qmactl = qma::test::run_program({qma::test::program_path("qmactl"), "info"}, 5000);
  EXPECT_EQ(qmactl.exit_code, 0) << qmactl.err;
  trickling = false;
  trickler.join();
}

TEST_F(SlowClientsTest, FrameMustArriveWholeWithinOneDeadline) {
  qma::manager_if::set_frame_read_deadline_ms(600);
  // One byte every 100 ms would take about a minute for the whole frame; each byte
  // comes well within any per-read limit, but the frame's deadline ends it.
  std::string frame = request_frame(request_xml("0", "S"));
  auto pipe = p::connect_local_pipe(QMA_PIPE_NAME, 5000);
  ASSERT_TRUE(pipe.ok());
  auto start = Clock::now();
  bool closed = false;
  for (size_t i = 0; i < frame.size() && !closed; ++i) {
    closed = !pipe->write(frame.data() + i, 1, 1000).ok();
    char byte;
    auto n = pipe->read(&byte, 1, 100);
    closed = closed || (!n.ok() && n.error() == p::kErrorBrokenPipe);
  }
  EXPECT_TRUE(closed);
  EXPECT_GE(ms_since(start), 500);
  EXPECT_LE(ms_since(start), 3000);
  EXPECT_GE(agent_.count_in_log("ReadFile() error! GetLastError=[121]"), 1);
}

TEST_F(SlowClientsTest, AtTheInstanceLimitTheListenerWaitsAndServesAgainAfterwards) {
  auto holders = hold(300);
  // 255 instances are taken; the rest wait in the socket's queue.
  ASSERT_TRUE(qma::test::wait_until(
      [&] { return agent_.count_in_log("all 255 pipe instances are in use") > 0; }, 10000));
  std::atomic<bool> answered{false};
  std::thread late([&] {
    auto reply = exchange(request_frame(request_xml("0", "L")), 0, 20000);
    answered = reply.answer.find("<InReplyTo>L</InReplyTo>") != std::string::npos;
  });
  p::sleep_ms(300);
  EXPECT_FALSE(answered.load()) << "no instance was free for it yet";
  holders.clear();
  late.join();
  EXPECT_TRUE(answered.load());
  EXPECT_LT(best_answer_ms("A"), 2000);
  EXPECT_EQ(agent_.count_in_log("all 255 pipe instances are in use"), 1) << "logged once";
  EXPECT_EQ(agent_.count_in_log("QMA_pipeListen() error!! QMAgentService terminated"), 0);
  EXPECT_EQ(agent_.result_, 99u) << "the worker is still running";
}

TEST_F(SlowClientsTest, FramesOfAllClientsTogetherStayWithinTheBudget) {
  using qma::manager_if::buffered_frame_bytes;
  using qma::manager_if::kFrameBufferBudget;
  using qma::manager_if::kFrameMaxBody;
  using qma::manager_if::write_le32;
  constexpr uint64_t kBuffer = 12 + kFrameMaxBody + 1;
  static_assert(4 * kBuffer > kFrameBufferBudget && 3 * kBuffer < kFrameBufferBudget);
  // A frame of the largest body: a short request followed by zeros.
  std::string xml = request_xml("0", "BIG");
  std::string big = request_frame(xml);
  big.resize(12 + kFrameMaxBody, '\0');
  write_le32(big.data() + 8, kFrameMaxBody);
  const std::string refusal =
      "Frame error! (frames of all connections would pass 64 MiB) param1=[16777216]";

  // Three clients announce the largest body and send only a part of it.
  std::vector<p::PipeConnection> holders = hold(3);
  for (auto& holder : holders) ASSERT_TRUE(holder.write(big.data(), 4096, 5000).ok());
  ASSERT_TRUE(qma::test::wait_until([] { return buffered_frame_bytes() == 3 * kBuffer; }, 5000))
      << buffered_frame_bytes();
  // A fourth such frame would pass the budget: refused unread, without an answer.
  auto start = Clock::now();
  auto refused = exchange(big.substr(0, 4096), 0, 10000);
  EXPECT_TRUE(refused.connected);
  EXPECT_EQ(refused.answer, "");
  EXPECT_LT(ms_since(start), 5000) << "the refused client was closed at once";
  EXPECT_EQ(agent_.count_in_log(refusal), 1);
  EXPECT_EQ(buffered_frame_bytes(), 3 * kBuffer);
  // A short request still fits beside them.
  auto small = exchange(request_frame(request_xml("0", "SMALL")), 0, 10000);
  EXPECT_NE(answer_text(small.answer).find("<InReplyTo>SMALL</InReplyTo>"), std::string::npos);

  // Once the holders are gone their bytes are free again: a whole frame of that size is served.
  holders.clear();
  ASSERT_TRUE(qma::test::wait_until([] { return buffered_frame_bytes() == 0; }, 5000))
      << buffered_frame_bytes();
  auto served = exchange(big, 0, 20000);
  EXPECT_NE(answer_text(served.answer).find("<InReplyTo>BIG</InReplyTo>"), std::string::npos);
  EXPECT_EQ(agent_.count_in_log(refusal), 1);
  EXPECT_TRUE(qma::test::wait_until([] { return buffered_frame_bytes() == 0; }, 5000))
      << buffered_frame_bytes();
}

// A short soak (bench_soak runs the long one against the real program): after hundreds of
// requests, one after another and all at once, no thread or descriptor is left behind.
TEST_F(SlowClientsTest, ShortSoakLeavesNoThreadOrDescriptorBehind) {
  auto count = [](const char* folder) {
    size_t entries = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(folder)) {
      ++entries;
    }
    return entries;
  };
  exchange(request_frame(request_xml("0", "W")), 0, 5000);  // libraries and log file open
  ASSERT_TRUE(qma::test::wait_until([&] { return count("/proc/self/task") == 2; }, 5000));
  const size_t descriptors = count("/proc/self/fd");
  int answered = 0;
  for (int i = 0; i < 300; ++i) {
    auto reply = exchange(request_frame(request_xml("0", "Q" + std::to_string(i))), 0, 5000);
    answered += reply.answer.find("<Status>600</Status>") != std::string::npos ? 1 : 0;
  }
  std::atomic<int> together{0};
  std::vector<std::thread> clients;
  for (int i = 0; i < 300; ++i) {
    clients.emplace_back([&together, i] {
      auto reply = exchange(request_frame(request_xml("0", "P" + std::to_string(i))), 0, 30000);
      if (reply.answer.find("<Status>600</Status>") != std::string::npos) ++together;
    });
  }
  for (auto& client : clients) client.join();
  EXPECT_EQ(answered, 300);
  EXPECT_EQ(together.load(), 300);
  // The test's thread and the worker; a connection thread waits two seconds for the next
  // connection, then ends.
  EXPECT_TRUE(qma::test::wait_until([&] { return count("/proc/self/task") == 2; }, 5000))
      << count("/proc/self/task") << " threads";
  EXPECT_TRUE(qma::test::wait_until([&] { return count("/proc/self/fd") == descriptors; }, 5000))
      << count("/proc/self/fd") << " descriptors, " << descriptors << " before";
}

}  // namespace
