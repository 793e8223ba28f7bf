// The communication client library delivers notices over HTTP and verified HTTPS, through
// a proxy when asked, to IPv4 and IPv6 receivers, and takes only a bounded acceptance.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "support/temp_roots.h"
#include "tools/http_receiver.h"
#include "tools/moxclient/moxclient.h"

namespace {

using qma::test::HttpReceiver;
using qma::test::ReceiverMode;
using qma::test::TestCertificate;

const std::string kNotice =
    "<QMAMessage MessageVersion=\"2.0\"><InReplyTo>7</InReplyTo></QMAMessage>";

class MoxClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(cert_.make(roots_.base(), "receiver"));
    setenv("QMA_MOX_CAFILE", cert_.cert.c_str(), 1);
  }
  void TearDown() override { unsetenv("QMA_MOX_CAFILE"); }

  // Sends the notice with the chosen entry point; the result and the reply text.
  static int send(bool tls, int port, std::string* reply_text = nullptr, int limit = 180,
                  const char* address = "127.0.0.1") {
    void* io = create_mox_io_data(static_cast<int>(kNotice.size()), kNotice.data(), 0, 0);
    EXPECT_NE(io, nullptr);
    void* reply = nullptr;
    int rc = tls ? syncRequest(address, port, "quillmend.manager", limit, io, &reply)
                 : syncRequestForPlain(address, port, "quillmend.manager", limit, io, &reply);
    if (reply != nullptr && reply_text != nullptr) {
      int length = 0;
      const char* bytes = mox_io_data_bytes(reply, &length);
      reply_text->assign(bytes, static_cast<size_t>(length));
    }
    free_mox_io_data(reply);
    free_mox_io_data(io);
    return rc;
  }

  qma::test::TempRoots roots_;
  TestCertificate cert_;
};

TEST_F(MoxClientTest, PlainNoticeIsPostedToTheServicePath) {
  HttpReceiver receiver(ReceiverMode::kAnswerOk);
  std::string reply;
  EXPECT_NE(send(false, receiver.port(), &reply), 0);
  EXPECT_EQ(reply, "accepted");
  auto got = receiver.requests();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].method, "POST");
  EXPECT_EQ(got[0].path, "/quillmend.manager");
  EXPECT_EQ(got[0].body, kNotice);
}

TEST_F(MoxClientTest, SecureNoticeIsDeliveredToATrustedReceiver) {
  HttpReceiver receiver(ReceiverMode::kChunkedOk, &cert_);
  std::string reply;
  EXPECT_NE(send(true, receiver.port(), &reply), 0);
  EXPECT_EQ(reply, "acccepte");
  auto got = receiver.requests();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].path, "/quillmend.manager");
  EXPECT_EQ(got[0].body, kNotice);
}

TEST_F(MoxClientTest, SecureNoticeIsRefusedWhenThePeerIsNotTrusted) {
  TestCertificate other;
  ASSERT_TRUE(other.make(roots_.base(), "stranger"));
  HttpReceiver receiver(ReceiverMode::kAnswerOk, &other);
  EXPECT_EQ(send(true, receiver.port()), 0);
  EXPECT_TRUE(receiver.requests().empty());
}

TEST_F(MoxClientTest, SecureEntryDoesNotFallBackToPlainHttp) {
  HttpReceiver receiver(ReceiverMode::kAnswerOk);
  // The plain receiver never answers the handshake; the time limit ends the wait.
  EXPECT_EQ(send(true, receiver.port(), nullptr, 2), 0);
  EXPECT_TRUE(receiver.requests().empty());
}

TEST_F(MoxClientTest, TransportAndReceiverFailuresGiveZero) {
  {
    HttpReceiver refusing(ReceiverMode::kAnswerError);
    EXPECT_EQ(send(false, refusing.port()), 0);
    EXPECT_EQ(refusing.requests().size(), 1u);
  }
  int closed_port;
  {
    HttpReceiver gone(ReceiverMode::kAnswerOk);
    closed_port = gone.port();
  }
  EXPECT_EQ(send(false, closed_port), 0);
  HttpReceiver silent(ReceiverMode::kNeverAnswer);
  EXPECT_EQ(send(false, silent.port(), nullptr, 1), 0);
}

TEST_F(MoxClientTest, RedirectsAreRefusedAndTheAnswerIsBounded) {
  HttpReceiver elsewhere(ReceiverMode::kAnswerOk);
  HttpReceiver redirecting(ReceiverMode::kRedirect);
  redirecting.redirect_to(elsewhere.port());
  EXPECT_EQ(send(false, redirecting.port()), 0);
  EXPECT_EQ(redirecting.requests().size(), 1u);
  EXPECT_TRUE(elsewhere.requests().empty());

  constexpr size_t kLimit = 16u * 1024u * 1024u;
  HttpReceiver at_limit(ReceiverMode::kSizedAnswer);
  at_limit.answer_size(kLimit);
  std::string reply;
  EXPECT_NE(send(false, at_limit.port(), &reply), 0);
  EXPECT_EQ(reply.size(), kLimit);
  HttpReceiver over_limit(ReceiverMode::kSizedAnswer);
  over_limit.answer_size(kLimit + 1);
  reply.clear();
  EXPECT_EQ(send(false, over_limit.port(), &reply), 0);
  EXPECT_EQ(reply, "");
}

TEST_F(MoxClientTest, SecureNoticeGoesThroughTheHttpsProxyUnlessNoProxyNamesTheReceiver) {
  HttpReceiver receiver(ReceiverMode::kAnswerOk, &cert_);
  qma::test::ConnectProxy proxy;
  ASSERT_NE(proxy.port(), 0);
  std::string proxy_url = "http://127.0.0.1:" + std::to_string(proxy.port());
  setenv("https_proxy", proxy_url.c_str(), 1);
  unsetenv("no_proxy");
  unsetenv("NO_PROXY");
  std::string reply;
  EXPECT_NE(send(true, receiver.port(), &reply), 0);
  EXPECT_EQ(reply, "accepted");
  // The tunnel carries TLS to the receiver, verified as without a proxy.
  EXPECT_EQ(proxy.targets(),
            std::vector<std::string>{"127.0.0.1:" + std::to_string(receiver.port())});
  EXPECT_EQ(receiver.requests().size(), 1u);

  setenv("no_proxy", "127.0.0.1", 1);
  EXPECT_NE(send(true, receiver.port()), 0);
  EXPECT_EQ(proxy.targets().size(), 1u);
  EXPECT_EQ(receiver.requests().size(), 2u);
  unsetenv("no_proxy");
  unsetenv("https_proxy");
}

TEST_F(MoxClientTest, NoticeReachesAnIpv6LoopbackReceiver) {
  HttpReceiver secure(ReceiverMode::kAnswerOk, &cert_, true);
  HttpReceiver plain(ReceiverMode::kAnswerOk, nullptr, true);
  ASSERT_TRUE(secure.listening() && plain.listening()) << "this host has no IPv6 loopback";
  EXPECT_NE(send(true, secure.port(), nullptr, 180, "::1"), 0);
  EXPECT_NE(send(false, plain.port(), nullptr, 180, "::1"), 0);
  ASSERT_EQ(secure.requests().size(), 1u);
  EXPECT_EQ(secure.requests()[0].path, "/quillmend.manager");
  EXPECT_EQ(secure.requests()[0].body, kNotice);
  EXPECT_EQ(plain.requests().size(), 1u);
}

TEST_F(MoxClientTest, AddressesThatAreNoHostReachNobody) {
  HttpReceiver receiver(ReceiverMode::kAnswerOk);
  const std::string port = std::to_string(receiver.port());
  const std::string rows[] = {
      "",           "evil@127.0.0.1", "127.0.0.1:" + port + "/x?", "127.0.0.1/#", "[::1]",
      "127.0.0.1 ", "-127.0.0.1",     std::string(254, 'a')};
  for (const auto& address : rows) {
    SCOPED_TRACE(address);
    EXPECT_EQ(send(false, receiver.port(), nullptr, 5, address.c_str()), 0);
  }
  EXPECT_TRUE(receiver.requests().empty());
  EXPECT_NE(send(false, receiver.port(), nullptr, 5, "localhost"), 0);  // a host name is fine
}

TEST_F(MoxClientTest, BadArgumentsGiveZeroOrNull) {
  EXPECT_EQ(create_mox_io_data(-1, "x", 0, 0), nullptr);
  EXPECT_EQ(create_mox_io_data(4, nullptr, 0, 0), nullptr);
  void* reply = reinterpret_cast<void*>(1);
  EXPECT_EQ(syncRequestForPlain("127.0.0.1", 80, "s", 180, nullptr, &reply), 0);
  EXPECT_EQ(reply, nullptr);
  void* io = create_mox_io_data(1, "x", 0, 0);
  EXPECT_EQ(syncRequestForPlain(nullptr, 80, "s", 180, io, &reply), 0);
  EXPECT_EQ(syncRequestForPlain("127.0.0.1", 0, "s", 180, io, &reply), 0);
  EXPECT_EQ(syncRequestForPlain("127.0.0.1", 70000, "s", 180, io, &reply), 0);
  free_mox_io_data(io);
  free_mox_io_data(nullptr);
}

TEST_F(MoxClientTest, ManyThreadsSendAtOnce) {
  HttpReceiver plain(ReceiverMode::kAnswerOk);
  HttpReceiver secure(ReceiverMode::kAnswerOk, &cert_);
  std::vector<std::thread> threads;
  std::atomic<int> delivered{0};
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 5; ++i) {
        bool tls = (t + i) % 2 == 0;
        if (send(tls, tls ? secure.port() : plain.port()) != 0) ++delivered;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(delivered.load(), 40);
  EXPECT_EQ(plain.requests().size() + secure.requests().size(), 40u);
}

}  // namespace
