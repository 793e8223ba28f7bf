// A plain HTTP receiver of completion notices on 127.0.0.1, through the platform's TCP layer
// (so it serves Linux and Windows tests alike): it takes each request whole, answers 200 and
// keeps the bodies in arrival order.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/tcp_stream.h"
#include "tools/qmactl/http_request.h"

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
      auto request = qmactl::read_http_request(*stream, 10000);
      if (!request || !request->complete) continue;
      static const char kOk[] = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
      (void)stream->write_some(kOk, sizeof kOk - 1, 5000);
      std::lock_guard<std::mutex> lock(mutex_);
      bodies_.push_back(std::move(request->body));
    }
  }

  std::vector<platform::TcpListener> listener_;  // empty when listening failed
  std::thread thread_;
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;
  std::vector<std::string> bodies_;
};

}  // namespace qma::test
