// The local pipe endpoint: the instance limit and bounded waits. The Linux socket file is
// tested in test_local_pipe_linux.cpp.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/error.h"
#include "platform/local_pipe.h"
#include "platform/named_mutex.h"
#include "support/temp_roots.h"

namespace {

using qma::platform::connect_local_pipe;
using qma::platform::PipeConnection;
using qma::platform::PipeListener;

TEST(LocalPipeTest, InstanceLimitGives231AndFreesOnClose) {
  qma::test::TempRoots roots;
  auto listener = PipeListener::create("qmagentsvc");
  ASSERT_TRUE(listener.ok());
  std::vector<PipeConnection> clients;
  std::vector<PipeConnection> instances;
  for (int i = 0; i < qma::platform::kPipeInstanceLimit; ++i) {
    auto client = connect_local_pipe("qmagentsvc", 1000);
    ASSERT_TRUE(client.ok());
    clients.push_back(std::move(client.value()));
    auto instance = listener->accept(1000);
    ASSERT_TRUE(instance.ok()) << i;
    instances.push_back(std::move(instance.value()));
  }
  EXPECT_EQ(listener->live_instances(), 255);
  // One more client: where every instance is a connection of its own, it waits for one to
  // come free; where the system queues clients, it is connected and waits to be accepted.
  bool late_connected = false;
  std::thread late([&late_connected] {
    auto client = connect_local_pipe("qmagentsvc", 10000);
    late_connected = client.ok();
    if (client.ok()) (void)client->write("x", 1, 1000);
  });
  auto refused = listener->accept(100);
  EXPECT_FALSE(refused.ok());
  if (!refused.ok()) {
    EXPECT_EQ(refused.error(), qma::platform::kErrorPipeBusy);
  }
  ASSERT_TRUE(instances.back().close().ok());
  EXPECT_EQ(listener->live_instances(), 254);
  auto accepted = listener->accept(5000);
  late.join();
  EXPECT_TRUE(late_connected);
  ASSERT_TRUE(accepted.ok()) << accepted.error();
  char byte = 0;
  auto got = accepted->read(&byte, 1, 1000);
  ASSERT_TRUE(got.ok());
  EXPECT_EQ(byte, 'x') << "the instance freed by the close serves the client that waited";
}

TEST(LocalPipeTest, ReadsEndAtTheTimeLimitOrWhenThePeerCloses) {
  qma::test::TempRoots roots;
  auto listener = PipeListener::create("qmagentsvc");
  ASSERT_TRUE(listener.ok());
  auto client = connect_local_pipe("qmagentsvc", 1000);
  ASSERT_TRUE(client.ok());
  auto server = listener->accept(1000);
  ASSERT_TRUE(server.ok());
  char byte;
  auto waited = server->read(&byte, 1, 50);
  ASSERT_FALSE(waited.ok());
  EXPECT_EQ(waited.error(), qma::platform::kErrorPipeTimeout);
  ASSERT_TRUE(client->write("ab", 2, 1000).ok());
  ASSERT_TRUE(client->close().ok());
  char two[2];
  auto got = server->read(two, 2, 1000);
  ASSERT_TRUE(got.ok());
  EXPECT_EQ(*got, 2u);
  auto ended = server->read(&byte, 1, 1000);
  ASSERT_FALSE(ended.ok());
  EXPECT_EQ(ended.error(), qma::platform::kErrorBrokenPipe);
  auto no_accept = listener->accept(20);
  EXPECT_EQ(no_accept.error(), qma::platform::kErrorPipeTimeout);
}

TEST(LocalPipeTest, PiecewiseReadsGiveEveryByteOnceAndCancelledReadsEnd) {
  qma::test::TempRoots roots;
  auto listener = PipeListener::create("qmagentsvc");
  ASSERT_TRUE(listener.ok());
  // A frame larger than what one read takes from the socket, read in the pieces a frame
  // reader asks for: the header first, then the body in odd sizes.
  std::string sent(12 + 20000, '\0');
  for (size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<char>(i * 7 + i / 251);
  auto client = connect_local_pipe("qmagentsvc", 1000);
  ASSERT_TRUE(client.ok());
  auto server = listener->accept(1000);
  ASSERT_TRUE(server.ok());
  std::thread writer([&] {
    for (size_t at = 0; at < sent.size();) {
      auto n = client->write(sent.data() + at, sent.size() - at, 1000);
      if (!n.ok()) return;
      at += *n;
    }
  });
  std::string received;
  for (size_t piece : {size_t{12}, size_t{1}, size_t{100}, size_t{9000}, size_t{20000}}) {
    std::string part(piece, '\0');
    size_t got = 0;
    while (got < piece && received.size() + got < sent.size()) {
      auto n = server->read(part.data() + got, piece - got, 1000);
      ASSERT_TRUE(n.ok()) << n.error();
      got += *n;
    }
    received += part.substr(0, got);
  }
  writer.join();
  EXPECT_EQ(received.size(), sent.size());
  EXPECT_TRUE(received == sent) << "bytes lost, doubled or reordered";

  auto second = connect_local_pipe("qmagentsvc", 1000);
  ASSERT_TRUE(second.ok());
  auto instance = listener->accept(1000);
  ASSERT_TRUE(instance.ok());
  ASSERT_TRUE(second->write("0123456789abcdefghij", 20, 1000).ok());
  char ten[10];
  size_t got = 0;
  while (got == 0) {
    auto n = instance->read(ten, sizeof ten, 1000);
    ASSERT_TRUE(n.ok());
    got = *n;
  }
  ASSERT_TRUE(instance->cancel_reads().ok());
  auto after = instance->read(ten, sizeof ten, 1000);
  ASSERT_FALSE(after.ok()) << "bytes read ahead are not handed out after a cancel";
  EXPECT_EQ(after.error(), qma::platform::kErrorBrokenPipe);
}

TEST(LocalPipeTest, AcceptWaitsAsLongAsAskedAndTakesAClientThatComesMeanwhile) {
  qma::test::TempRoots roots;
  auto listener = PipeListener::create("qmagentsvc");
  ASSERT_TRUE(listener.ok());
  using Clock = std::chrono::steady_clock;
  for (uint32_t wait_ms : {0u, 40u, 150u, 40u}) {
    SCOPED_TRACE(wait_ms);
    const auto start = Clock::now();
    auto none = listener->accept(wait_ms);
    const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    ASSERT_FALSE(none.ok());
    EXPECT_EQ(none.error(), qma::platform::kErrorPipeTimeout);
    EXPECT_GE(waited.count(), static_cast<long>(wait_ms) - 1);
    EXPECT_LT(waited.count(), static_cast<long>(wait_ms) + 500);
  }
  for (uint32_t wait_ms : {1000u, qma::platform::kInfinite}) {
    SCOPED_TRACE(wait_ms);
    std::thread late([] {
      std::this_thread::sleep_for(std::chrono::milliseconds(60));
      auto client = connect_local_pipe("qmagentsvc", 1000);
      if (client.ok()) (void)client->write("x", 1, 1000);
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    });
    auto accepted = listener->accept(wait_ms);
    late.join();
    ASSERT_TRUE(accepted.ok()) << accepted.error();
  }
}

}  // namespace
