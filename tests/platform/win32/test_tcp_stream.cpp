// TCP streams and listeners over Winsock: a round trip in one process, bounded waits, refusals.
#include <gtest/gtest.h>
#include <winsock2.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/error.h"
#include "platform/tcp_stream.h"
#include "test_roots.h"

namespace {

using qma::platform::kErrorSemTimeout;
using qma::platform::last_error;
using qma::platform::TcpListener;
using qma::platform::TcpStream;

constexpr uint32_t kLimitMs = 5000;

/// Writes all bytes, as callers of write_some do.
bool write_all(TcpStream& stream, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    auto n = stream.write_some(data.data() + done, data.size() - done, kLimitMs);
    if (!n.ok() || *n == 0) return false;
    done += *n;
  }
  return true;
}

/// Reads until the peer closes its end (read_some answers 0) or a read fails.
std::string read_to_end(TcpStream& stream, int* error) {
  std::string data;
  char buffer[7000];
  for (;;) {
    auto n = stream.read_some(buffer, sizeof buffer, kLimitMs);
    if (!n.ok()) {
      *error = n.error();
      return data;
    }
    if (*n == 0) return data;
    data.append(buffer, *n);
  }
}

TEST(TcpStream, CarriesDataBothWaysAndSeesThePeerClose) {
  qma::test::win32::TestRoots roots;
  auto listener = TcpListener::create(0);
  ASSERT_TRUE(listener.ok()) << listener.error();
  const uint16_t port = listener->port();
  ASSERT_NE(port, 0);

  // By number and by name: "localhost" may give ::1 first, which nobody listens on, so the
  // connect must go on to the next address.
  for (const char* host : {"127.0.0.1", "localhost"}) {
    SCOPED_TRACE(host);
    auto client = TcpStream::connect(host, port, kLimitMs);
    ASSERT_TRUE(client.ok()) << client.error();
    auto server = listener->accept(kLimitMs);
    ASSERT_TRUE(server.ok()) << server.error();

    ASSERT_TRUE(write_all(*client, "QMMMessage request"));
    char request[64] = {};
    auto got = server->read_some(request, sizeof request, kLimitMs);
    ASSERT_TRUE(got.ok()) << got.error();
    EXPECT_EQ(std::string(request, *got), "QMMMessage request");

    // More than the socket buffers hold, so writes come back partial and reads in pieces.
    std::string answer(3 * 1024 * 1024 + 17, '\0');
    for (size_t i = 0; i < answer.size(); ++i) answer[i] = static_cast<char>('a' + i % 23);
    bool written = false;
    std::thread writer([&] {
      written = write_all(*server, answer);
      TcpStream closing = std::move(*server);  // closed at the end of the scope
    });
    int error = 0;
    const std::string received = read_to_end(*client, &error);
    writer.join();
    EXPECT_TRUE(written);
    EXPECT_EQ(error, 0);
    EXPECT_EQ(received.size(), answer.size());
    EXPECT_TRUE(received == answer);
  }
}

TEST(TcpStream, WaitsEndAtTheirLimitWithTheTimeoutError) {
  qma::test::win32::TestRoots roots;
  auto listener = TcpListener::create(0);
  ASSERT_TRUE(listener.ok()) << listener.error();
  auto client = TcpStream::connect("127.0.0.1", listener->port(), kLimitMs);
  ASSERT_TRUE(client.ok()) << client.error();
  auto server = listener->accept(kLimitMs);
  ASSERT_TRUE(server.ok()) << server.error();

  struct Case {
    const char* name;
    uint32_t limit_ms;
    std::function<int()> wait;  // the error of the wait
  };
  char byte = 0;
  const Case cases[] = {
      {"accept without a client", 300,
       [&] {
         auto r = listener->accept(300);
         return r.ok() ? 0 : r.error();
       }},
      {"read from a silent peer", 400,
       [&] {
         auto r = client->read_some(&byte, 1, 400);
         return r.ok() ? 0 : r.error();
       }},
      {"read with no time at all", 0,
       [&] {
         auto r = server->read_some(&byte, 1, 0);
         return r.ok() ? 0 : r.error();
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto start = std::chrono::steady_clock::now();
    const int error = c.wait();
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::steady_clock::now() - start)
                             .count();
    EXPECT_EQ(error, kErrorSemTimeout);
    EXPECT_EQ(last_error(), kErrorSemTimeout);
    // The system clock ticks in steps of about 16 ms.
    EXPECT_GE(elapsed + 20, static_cast<long long>(c.limit_ms));
    EXPECT_LT(elapsed, static_cast<long long>(c.limit_ms) + 2000);
  }
  // The stream still works after its waits ran out.
  ASSERT_TRUE(write_all(*server, "x"));
  auto got = client->read_some(&byte, 1, kLimitMs);
  ASSERT_TRUE(got.ok()) << got.error();
  EXPECT_EQ(byte, 'x');
}

TEST(TcpStream, RefusalsCarryTheWinsockError) {
  qma::test::win32::TestRoots roots;
  auto listener = TcpListener::create(0);
  ASSERT_TRUE(listener.ok()) << listener.error();
  const uint16_t port = listener->port();

  // The port is held: nobody else may listen on it too. A port held exclusively answers
  // "access denied", one merely in use "address in use".
  auto second = TcpListener::create(port);
  ASSERT_FALSE(second.ok());
  EXPECT_TRUE(second.error() == WSAEACCES || second.error() == WSAEADDRINUSE) << second.error();
  EXPECT_EQ(last_error(), second.error());

  // Once closed, nobody answers there: refused, or (where the system keeps trying) out of time.
  listener = TcpListener::create(0);
  ASSERT_TRUE(listener.ok());
  const uint16_t closed_port = listener->port();
  { TcpListener gone = std::move(*listener); }
  auto refused = TcpStream::connect("127.0.0.1", closed_port, 3000);
  ASSERT_FALSE(refused.ok());
  EXPECT_TRUE(refused.error() == WSAECONNREFUSED || refused.error() == kErrorSemTimeout)
      << refused.error();
  EXPECT_EQ(last_error(), refused.error());
}

}  // namespace
