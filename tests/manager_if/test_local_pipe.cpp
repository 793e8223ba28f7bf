// The local pipe endpoint: the instance limit and bounded waits. The Linux socket file is
// tested in test_local_pipe_linux.cpp.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/local_pipe.h"
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
  auto client = connect_local_pipe("qmagentsvc", 1000);
  ASSERT_TRUE(client.ok());
  auto refused = listener->accept(100);
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error(), qma::platform::kErrorPipeBusy);
  ASSERT_TRUE(instances.back().close().ok());
  auto accepted = listener->accept(1000);
  EXPECT_TRUE(accepted.ok());
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

}  // namespace
