// A small HTTP(S) receiver for tests: records every request it is sent.
#pragma once

#include <atomic>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace qma::test {

struct ReceivedRequest {
  std::string method;
  std::string path;
  std::string body;
};

/// A certificate and key for "127.0.0.1", "::1" and "localhost", made with the openssl command.
struct TestCertificate {
  std::filesystem::path cert;
  std::filesystem::path key;
  /// Writes a fresh self-signed pair into folder; false when openssl failed.
  bool make(const std::filesystem::path& folder, const std::string& tag);
};

/// kRedirect answers 302 to redirect_to(); kSizedAnswer answers 200 with answer_size()
/// bytes and no length, ending at the close of the connection; kAnswerGarbage answers
/// bytes that are not HTTP at all.
enum class ReceiverMode {
  kAnswerOk,
  kAnswerError,
  kNeverAnswer,
  kChunkedOk,
  kRedirect,
  kSizedAnswer,
  kAnswerGarbage
};

/// Listens on 127.0.0.1 (or ::1) on any free port and answers each request per the mode.
class HttpReceiver {
 public:
  HttpReceiver(ReceiverMode mode, const TestCertificate* tls = nullptr, bool ipv6 = false);
  ~HttpReceiver();
  HttpReceiver(const HttpReceiver&) = delete;
  HttpReceiver& operator=(const HttpReceiver&) = delete;

  int port() const { return port_; }
  /// False when the socket could not listen (no IPv6 loopback, for one).
  bool listening() const { return port_ != 0; }
  void redirect_to(int port) { redirect_port_ = port; }
  void answer_size(size_t bytes) { answer_size_ = bytes; }
  std::vector<ReceivedRequest> requests();
  /// Waits up to timeout_ms until count requests have arrived.
  bool wait_for(size_t count, int timeout_ms);

 private:
  void serve();
  void handle(int fd);

  ReceiverMode mode_;
  std::atomic<int> redirect_port_{0};
  std::atomic<size_t> answer_size_{0};
  void* ssl_ctx_ = nullptr;
  int listen_fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::vector<ReceivedRequest> requests_;
  std::vector<std::thread> workers_;
  std::thread thread_;
};

/// An HTTP proxy that tunnels CONNECT requests to a loopback port and records each
/// target ("host:port") it was asked for.
class ConnectProxy {
 public:
  ConnectProxy();
  ~ConnectProxy();
  ConnectProxy(const ConnectProxy&) = delete;
  ConnectProxy& operator=(const ConnectProxy&) = delete;

  int port() const { return port_; }
  std::vector<std::string> targets();

 private:
  void serve();
  void tunnel(int client);

  int listen_fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::vector<std::string> targets_;
  std::vector<std::thread> workers_;
  std::thread thread_;
};

}  // namespace qma::test
