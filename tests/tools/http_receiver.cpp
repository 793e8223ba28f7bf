// A small HTTP(S) receiver for tests (plain sockets, OpenSSL for TLS).
#include "tools/http_receiver.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>

namespace qma::test {

bool TestCertificate::make(const std::filesystem::path& folder, const std::string& tag) {
  cert = folder / (tag + "-cert.pem");
  key = folder / (tag + "-key.pem");
  std::string command =
      "openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=localhost"
      " -addext subjectAltName=IP:127.0.0.1,DNS:localhost -keyout '" +
      key.string() + "' -out '" + cert.string() + "' >/dev/null 2>&1";
  return std::system(command.c_str()) == 0 && std::filesystem::exists(cert);
}

HttpReceiver::HttpReceiver(ReceiverMode mode, const TestCertificate* tls) : mode_(mode) {
  if (tls != nullptr) {
    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    SSL_CTX_use_certificate_file(ctx, tls->cert.c_str(), SSL_FILETYPE_PEM);
    SSL_CTX_use_PrivateKey_file(ctx, tls->key.c_str(), SSL_FILETYPE_PEM);
    ssl_ctx_ = ctx;
  }
  listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  listen(listen_fd_, 64);
  socklen_t len = sizeof addr;
  getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len);
  port_ = ntohs(addr.sin_port);
  thread_ = std::thread([this] { serve(); });
}

HttpReceiver::~HttpReceiver() {
  stop_ = true;
  thread_.join();
  for (auto& worker : workers_) worker.join();
  close(listen_fd_);
  if (ssl_ctx_ != nullptr) SSL_CTX_free(static_cast<SSL_CTX*>(ssl_ctx_));
}

std::vector<ReceivedRequest> HttpReceiver::requests() {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

bool HttpReceiver::wait_for(size_t count, int timeout_ms) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (std::chrono::steady_clock::now() < end) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (requests_.size() >= count) return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

void HttpReceiver::serve() {
  while (!stop_) {
    pollfd pfd{listen_fd_, POLLIN, 0};
    if (poll(&pfd, 1, 50) <= 0) continue;
    int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    workers_.emplace_back([this, fd] { handle(fd); });
  }
}

void HttpReceiver::handle(int fd) {
  // A client that stops talking (or speaks TLS to a plain receiver) is dropped after 2 s.
  timeval quiet{2, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &quiet, sizeof quiet);
  SSL* ssl = nullptr;
  if (ssl_ctx_ != nullptr) {
    ssl = SSL_new(static_cast<SSL_CTX*>(ssl_ctx_));
    SSL_set_fd(ssl, fd);
    if (SSL_accept(ssl) != 1) {
      SSL_free(ssl);
      ERR_clear_error();
      close(fd);
      return;
    }
  }
  auto read_some = [&](char* buf, int size) -> int {
    if (ssl != nullptr) return SSL_read(ssl, buf, size);
    return static_cast<int>(recv(fd, buf, static_cast<size_t>(size), 0));
  };
  auto write_all = [&](const std::string& text) {
    if (ssl != nullptr) {
      SSL_write(ssl, text.data(), static_cast<int>(text.size()));
    } else {
      send(fd, text.data(), text.size(), MSG_NOSIGNAL);
    }
  };
  std::string data;
  size_t header_end = std::string::npos;
  size_t length = 0;
  char buf[4096];
  for (;;) {
    if (header_end == std::string::npos) {
      header_end = data.find("\r\n\r\n");
      if (header_end != std::string::npos) {
        auto pos = data.find("Content-Length: ");
        if (pos != std::string::npos && pos < header_end)
          length = std::stoul(data.substr(pos + 16));
      }
    }
    if (header_end != std::string::npos && data.size() >= header_end + 4 + length) break;
    int n = read_some(buf, sizeof buf);
    if (n <= 0) break;
    data.append(buf, static_cast<size_t>(n));
  }
  if (header_end != std::string::npos) {
    ReceivedRequest request;
    size_t sp1 = data.find(' ');
    size_t sp2 = data.find(' ', sp1 + 1);
    request.method = data.substr(0, sp1);
    request.path = data.substr(sp1 + 1, sp2 - sp1 - 1);
    request.body = data.substr(header_end + 4, length);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      requests_.push_back(request);
    }
    switch (mode_) {
      case ReceiverMode::kAnswerOk:
        write_all("HTTP/1.1 200 OK\r\nContent-Length: 8\r\nConnection: close\r\n\r\naccepted");
        break;
      case ReceiverMode::kChunkedOk:
        write_all(
            "HTTP/1.1 200 OK\r\nTransfer-Encoding: "
            "chunked\r\n\r\n4\r\naccc\r\n4\r\nepte\r\n0\r\n\r\n");
        break;
      case ReceiverMode::kAnswerError:
        write_all("HTTP/1.1 500 Internal Server Error\r\nContent-Length: 0\r\n\r\n");
        break;
      case ReceiverMode::kAnswerGarbage:
        write_all("\x01\x02 certainly not a status line\r\n\r\n");
        break;
      case ReceiverMode::kNeverAnswer:
        while (!stop_) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        break;
    }
  }
  if (ssl != nullptr) {
    SSL_shutdown(ssl);
    SSL_free(ssl);
    ERR_clear_error();
  }
  close(fd);
}

}  // namespace qma::test
