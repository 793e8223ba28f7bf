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

/// A certificate and key for "127.0.0.1" and "localhost", made with the openssl command.
struct TestCertificate {
  std::filesystem::path cert;
  std::filesystem::path key;
  /// Writes a fresh self-signed pair into folder; false when openssl failed.
  bool make(const std::filesystem::path& folder, const std::string& tag);
};

/// kAnswerGarbage answers bytes that are not HTTP at all.
enum class ReceiverMode { kAnswerOk, kAnswerError, kNeverAnswer, kChunkedOk, kAnswerGarbage };

/// Listens on 127.0.0.1 (any free port) and answers each request per the mode.
class HttpReceiver {
 public:
  HttpReceiver(ReceiverMode mode, const TestCertificate* tls = nullptr);
  ~HttpReceiver();
  HttpReceiver(const HttpReceiver&) = delete;
  HttpReceiver& operator=(const HttpReceiver&) = delete;

  int port() const { return port_; }
  std::vector<ReceivedRequest> requests();
  /// Waits up to timeout_ms until count requests have arrived.
  bool wait_for(size_t count, int timeout_ms);

 private:
  void serve();
  void handle(int fd);

  ReceiverMode mode_;
  void* ssl_ctx_ = nullptr;
  int listen_fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::vector<ReceivedRequest> requests_;
  std::vector<std::thread> workers_;
  std::thread thread_;
};

}  // namespace qma::test
