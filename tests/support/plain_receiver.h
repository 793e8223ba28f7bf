// A plain HTTP receiver of completion notices on 127.0.0.1, through the platform's TCP layer
// (so it serves Linux and Windows tests alike): it takes each request whole, answers 200 and
// keeps the bodies in arrival order.
#pragma once

#include <atomic>
#include <cctype>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/tcp_stream.h"

namespace qma::test {

class PlainReceiver {
 public:
  PlainReceiver() {
    auto listener = platform::TcpListener::create(0);
    if (!listener.ok()) return;
    listener_.emplace_back(std::move(listener.value()));
    thread_ = std::thread([this] { serve(); });
  }
  ~PlainReceiver() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  PlainReceiver(const PlainReceiver&) = delete;
  PlainReceiver& operator=(const PlainReceiver&) = delete;

  /// 0 when no port could be listened on.
  uint16_t port() const { return listener_.empty() ? 0 : listener_.front().port(); }
  std::vector<std::string> bodies() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return bodies_;
  }
  /// True once `count` notices have arrived, waiting at most timeout_ms.
  bool wait_for(size_t count, uint32_t timeout_ms) const {
    const uint64_t start = platform::monotonic_ms();
    while (bodies().size() < count) {
      if (platform::monotonic_ms() - start >= timeout_ms) return false;
      platform::sleep_ms(50);
    }
    return true;
  }

 private:
  void serve() {
    while (!stop_) {
      auto stream = listener_.front().accept(200);
      if (!stream.ok()) continue;
      std::string data;
      size_t header_end = std::string::npos;
      size_t length = 0;
      char buffer[4096];
      while (header_end == std::string::npos || data.size() < header_end + 4 + length) {
        auto n = stream->read_some(buffer, sizeof buffer, 10000);
        if (!n.ok() || *n == 0) break;
        data.append(buffer, *n);
        if (header_end == std::string::npos &&
            (header_end = data.find("\r\n\r\n")) != std::string::npos) {
          std::string head = data.substr(0, header_end);
          for (char& c : head) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
          const size_t at = head.find("content-length:");
          if (at != std::string::npos) length = std::strtoul(head.c_str() + at + 15, nullptr, 10);
        }
      }
      if (header_end == std::string::npos || data.size() < header_end + 4 + length) continue;
      static const char kOk[] = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
      (void)stream->write_some(kOk, sizeof kOk - 1, 5000);
      std::lock_guard<std::mutex> lock(mutex_);
      bodies_.push_back(data.substr(header_end + 4, length));
    }
  }

  std::vector<platform::TcpListener> listener_;  // empty when listening failed
  std::thread thread_;
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;
  std::vector<std::string> bodies_;
};

}  // namespace qma::test
