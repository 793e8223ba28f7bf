// TCP client connections over BSD sockets (POSIX backend).
//
// This folder is the only place that may include OS headers. Nothing here logs.
#include "platform/tcp_stream.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <utility>

#include "platform/error.h"
#include "platform/posix/fd_wait.h"

namespace qma::platform {

namespace {

using posix::fail;
using posix::wait_for;

/// The descriptor a stream or listener holds.
int fd_of(std::intptr_t handle) {
  return static_cast<int>(handle);
}

}  // namespace

TcpStream::TcpStream(TcpStream&& other) noexcept : handle_(std::exchange(other.handle_, -1)) {}

TcpStream& TcpStream::operator=(TcpStream&& other) noexcept {
  if (this != &other) {
    if (handle_ >= 0) ::close(fd_of(handle_));
    handle_ = std::exchange(other.handle_, -1);
  }
  return *this;
}

TcpStream::~TcpStream() {
  if (handle_ >= 0) ::close(fd_of(handle_));
}

Result<TcpStream> TcpStream::connect(std::string_view host, uint16_t port, uint32_t timeout_ms) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  std::string host_text(host);
  std::string port_text = std::to_string(port);
  int rc = getaddrinfo(host_text.c_str(), port_text.c_str(), &hints, &found);
  if (rc != 0 || found == nullptr) return fail<TcpStream>(rc == EAI_SYSTEM ? errno : EHOSTUNREACH);
  int last = ECONNREFUSED;
  for (addrinfo* ai = found; ai != nullptr; ai = ai->ai_next) {
    int fd =
        ::socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, ai->ai_protocol);
    if (fd < 0) {
      last = errno;
      continue;
    }
    if (::connect(fd, ai->ai_addr, ai->ai_addrlen) == 0) {
      freeaddrinfo(found);
      return TcpStream(fd);
    }
    if (errno == EINPROGRESS) {
      int ready = wait_for(fd, POLLOUT, timeout_ms);
      int so_error = 0;
      socklen_t len = sizeof so_error;
      if (ready > 0 && getsockopt(fd, SOL_SOCKET, SO_ERROR, &so_error, &len) == 0 &&
          so_error == 0) {
        freeaddrinfo(found);
        return TcpStream(fd);
      }
      last = ready == 0 ? kErrorSemTimeout : (so_error != 0 ? so_error : errno);
    } else {
      last = errno;
    }
    ::close(fd);
  }
  freeaddrinfo(found);
  return fail<TcpStream>(last);
}

Result<size_t> TcpStream::write_some(const void* data, size_t size, uint32_t timeout_ms) {
  if (handle_ < 0) return fail<size_t>(EBADF);
  for (;;) {
    ssize_t n = ::send(fd_of(handle_), data, size, MSG_NOSIGNAL);
    if (n >= 0) return static_cast<size_t>(n);
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return fail<size_t>(errno);
    int ready = wait_for(fd_of(handle_), POLLOUT, timeout_ms);
    if (ready == 0) return fail<size_t>(kErrorSemTimeout);
    if (ready < 0) return fail<size_t>(errno);
  }
}

Result<size_t> TcpStream::read_some(void* data, size_t size, uint32_t timeout_ms) {
  if (handle_ < 0) return fail<size_t>(EBADF);
  for (;;) {
    ssize_t n = ::recv(fd_of(handle_), data, size, 0);
    if (n >= 0) return static_cast<size_t>(n);
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return fail<size_t>(errno);
    int ready = wait_for(fd_of(handle_), POLLIN, timeout_ms);
    if (ready == 0) return fail<size_t>(kErrorSemTimeout);
    if (ready < 0) return fail<size_t>(errno);
  }
}

TcpListener::TcpListener(TcpListener&& other) noexcept
    : handle_(std::exchange(other.handle_, -1)) {}

TcpListener& TcpListener::operator=(TcpListener&& other) noexcept {
  if (this != &other) {
    if (handle_ >= 0) ::close(fd_of(handle_));
    handle_ = std::exchange(other.handle_, -1);
  }
  return *this;
}

TcpListener::~TcpListener() {
  if (handle_ >= 0) ::close(fd_of(handle_));
}

Result<TcpListener> TcpListener::create(uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return fail<TcpListener>(errno);
  TcpListener listener(fd);
  int on = 1;
  (void)setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  addr.sin_port = htons(port);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 64) != 0) {
    return fail<TcpListener>(errno);
  }
  return listener;
}

Result<TcpStream> TcpListener::accept(uint32_t timeout_ms) {
  if (handle_ < 0) return fail<TcpStream>(EBADF);
  for (;;) {
    int fd = ::accept4(fd_of(handle_), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd >= 0) return TcpStream(fd);
    if (errno == EINTR || errno == ECONNABORTED) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return fail<TcpStream>(errno);
    int ready = wait_for(fd_of(handle_), POLLIN, timeout_ms);
    if (ready == 0) return fail<TcpStream>(kErrorSemTimeout);
    if (ready < 0) return fail<TcpStream>(errno);
  }
}

uint16_t TcpListener::port() const {
  sockaddr_in addr{};
  socklen_t len = sizeof addr;
  if (handle_ < 0 || getsockname(fd_of(handle_), reinterpret_cast<sockaddr*>(&addr), &len) != 0)
    return 0;
  return ntohs(addr.sin_port);
}

}  // namespace qma::platform
