// A small HTTP(S) receiver for tests (plain sockets, OpenSSL for TLS).
#include "tools/http_receiver.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>

namespace qma::test {

bool TestCertificate::make(const std::filesystem::path& folder, const std::string& tag) {
  cert = folder / (tag + "-cert.pem");
  key = folder / (tag + "-key.pem");
  std::string command =
      "openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=localhost"
      " -addext subjectAltName=IP:127.0.0.1,IP:::1,DNS:localhost -keyout '" +
      key.string() + "' -out '" + cert.string() + "' >/dev/null 2>&1";
  return std::system(command.c_str()) == 0 && std::filesystem::exists(cert);
}

HttpReceiver::HttpReceiver(ReceiverMode mode, const TestCertificate* tls, bool ipv6) : mode_(mode) {
  if (tls != nullptr) {
    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    SSL_CTX_use_certificate_file(ctx, tls->cert.c_str(), SSL_FILETYPE_PEM);
    SSL_CTX_use_PrivateKey_file(ctx, tls->key.c_str(), SSL_FILETYPE_PEM);
    ssl_ctx_ = ctx;
  }
  sockaddr_storage storage{};
  socklen_t len;
  if (ipv6) {
    auto* addr = reinterpret_cast<sockaddr_in6*>(&storage);
    addr->sin6_family = AF_INET6;
    addr->sin6_addr = in6addr_loopback;
    len = sizeof *addr;
  } else {
    auto* addr = reinterpret_cast<sockaddr_in*>(&storage);
    addr->sin_family = AF_INET;
    addr->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    len = sizeof *addr;
  }
  listen_fd_ = socket(storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (bind(listen_fd_, reinterpret_cast<sockaddr*>(&storage), len) == 0 &&
      listen(listen_fd_, 64) == 0 &&
      getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&storage), &len) == 0) {
    port_ = ntohs(ipv6 ? reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port
                       : reinterpret_cast<sockaddr_in*>(&storage)->sin_port);
  }
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
      case ReceiverMode::kRedirect:
        write_all("HTTP/1.1 302 Found\r\nLocation: http://127.0.0.1:" +
                  std::to_string(redirect_port_.load()) +
                  "/quillmend.manager\r\nContent-Length: 0\r\n\r\n");
        break;
      case ReceiverMode::kSizedAnswer: {
        write_all("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n");
        const std::string piece(65536, 'x');
        for (size_t left = answer_size_; left > 0;) {
          size_t n = std::min(left, piece.size());
          if (send(fd, piece.data(), n, MSG_NOSIGNAL) != static_cast<ssize_t>(n)) break;
          left -= n;
        }
        break;
      }
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

ConnectProxy::ConnectProxy() {
  listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), len) == 0 &&
      listen(listen_fd_, 16) == 0 &&
      getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
    port_ = ntohs(addr.sin_port);
  }
  thread_ = std::thread([this] { serve(); });
}

ConnectProxy::~ConnectProxy() {
  stop_ = true;
  thread_.join();
  for (auto& worker : workers_) worker.join();
  close(listen_fd_);
}

std::vector<std::string> ConnectProxy::targets() {
  std::lock_guard<std::mutex> lock(mutex_);
  return targets_;
}

void ConnectProxy::serve() {
  while (!stop_) {
    pollfd pfd{listen_fd_, POLLIN, 0};
    if (poll(&pfd, 1, 50) <= 0) continue;
    int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    workers_.emplace_back([this, fd] { tunnel(fd); });
  }
}

void ConnectProxy::tunnel(int client) {
  std::string head;
  char buf[4096];
  while (head.find("\r\n\r\n") == std::string::npos && head.size() < 8192) {
    pollfd pfd{client, POLLIN, 0};
    if (poll(&pfd, 1, 2000) <= 0) break;
    ssize_t n = recv(client, buf, sizeof buf, 0);
    if (n <= 0) break;
    head.append(buf, static_cast<size_t>(n));
  }
  // CONNECT host:port HTTP/1.1
  int server = -1;
  if (head.rfind("CONNECT ", 0) == 0) {
    std::string target = head.substr(8, head.find(' ', 8) - 8);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      targets_.push_back(target);
    }
    int port = std::atoi(target.substr(target.rfind(':') + 1).c_str());
    server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (connect(server, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      close(server);
      server = -1;
    }
  }
  const char* reply = server >= 0 ? "HTTP/1.1 200 Connection established\r\n\r\n"
                                  : "HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\n\r\n";
  send(client, reply, std::strlen(reply), MSG_NOSIGNAL);
  while (server >= 0 && !stop_) {
    pollfd fds[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
    int ready = poll(fds, 2, 50);
    if (ready < 0) break;
    if (ready == 0) continue;
    bool done = false;
    for (int i = 0; i < 2 && !done; ++i) {
      if (fds[i].revents == 0) continue;
      ssize_t n = recv(fds[i].fd, buf, sizeof buf, 0);
      done = n <= 0 || send(fds[1 - i].fd, buf, static_cast<size_t>(n), MSG_NOSIGNAL) != n;
    }
    if (done) break;
  }
  if (server >= 0) close(server);
  close(client);
}

}  // namespace qma::test
