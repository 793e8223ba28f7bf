// TCP connections and listeners over Winsock, every wait bounded by select (Windows backend).
//
// This folder is the only place that may include OS headers. Nothing here logs: failures
// are returned, and recorded as the thread's last error, with WSAGetLastError() taken right
// after the failing call.
#include "platform/tcp_stream.h"

#include "platform/win32/winsock.h"

// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
// clang-format on

#include <climits>
#include <string>
#include <utility>

#include "platform/error.h"
#include "platform/win32/fail.h"

namespace qma::platform {

namespace {

constexpr int kListenBacklog = 64;

using win32::fail;

/// The Winsock error of the call that just failed, recorded as the thread's last error.
int record_socket_error() {
  const int error = ::WSAGetLastError();
  set_last_error(error);
  return error;
}

SOCKET socket_of(std::intptr_t handle) {
  return static_cast<SOCKET>(handle);
}

std::intptr_t handle_of(SOCKET socket) {
  return static_cast<std::intptr_t>(socket);
}

/// Owner of a socket while it is being set up.
class Socket {
 public:
  explicit Socket(SOCKET socket) : socket_(socket) {}
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  ~Socket() {
    if (socket_ != INVALID_SOCKET) ::closesocket(socket_);
  }
  SOCKET get() const { return socket_; }
  SOCKET release() { return std::exchange(socket_, INVALID_SOCKET); }

 private:
  SOCKET socket_;
};

void close_handle(std::intptr_t handle) {
  if (handle != -1) ::closesocket(socket_of(handle));
}

/// Non-blocking, so that every wait is one select with a limit, and not inherited, so that
/// the tools the agent starts never hold the agent's connections.
bool prepare(SOCKET socket) {
  u_long on = 1;
  if (::ioctlsocket(socket, FIONBIO, &on) != 0) return false;
  (void)::SetHandleInformation(reinterpret_cast<HANDLE>(socket), HANDLE_FLAG_INHERIT, 0);
  return true;
}

enum class Ready { kRead, kWrite, kConnect };

/// Waits until the socket is ready; 1 ready, 0 timed out, -1 failed (the error recorded).
/// A time above the int range (kInfinite among them) waits without limit. A connect that
/// failed shows in the exception set.
int wait_for(SOCKET socket, Ready ready, uint32_t timeout_ms) {
  fd_set readable;
  fd_set writable;
  fd_set failed;
  FD_ZERO(&readable);
  FD_ZERO(&writable);
  FD_ZERO(&failed);
  if (ready == Ready::kRead) FD_SET(socket, &readable);
  if (ready != Ready::kRead) FD_SET(socket, &writable);
  if (ready == Ready::kConnect) FD_SET(socket, &failed);
  timeval limit{};
  limit.tv_sec = static_cast<long>(timeout_ms / 1000);
  limit.tv_usec = static_cast<long>((timeout_ms % 1000) * 1000);
  const int rc =
      ::select(0, &readable, &writable, &failed, timeout_ms > 0x7FFFFFFFu ? nullptr : &limit);
  if (rc == SOCKET_ERROR) {
    record_socket_error();
    return -1;
  }
  return rc > 0 ? 1 : 0;
}

/// The error a finished connect attempt left on the socket; 0 when it connected.
int connect_result(SOCKET socket) {
  int error = 0;
  int length = sizeof error;
  if (::getsockopt(socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0) {
    return ::WSAGetLastError();
  }
  return error;
}

int io_length(size_t size) {
  return size > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(size);
}

}  // namespace

TcpStream::TcpStream(TcpStream&& other) noexcept : handle_(std::exchange(other.handle_, -1)) {}

TcpStream& TcpStream::operator=(TcpStream&& other) noexcept {
  if (this != &other) {
    close_handle(handle_);
    handle_ = std::exchange(other.handle_, -1);
  }
  return *this;
}

TcpStream::~TcpStream() {
  close_handle(handle_);
}

Result<TcpStream> TcpStream::connect(std::string_view host, uint16_t port, uint32_t timeout_ms) {
  if (int error = win32::start_winsock(); error != 0) return fail<TcpStream>(error);
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* found = nullptr;
  const std::string host_text(host);
  const std::string port_text = std::to_string(port);
  // getaddrinfo returns its Winsock error itself.
  const int resolved = ::getaddrinfo(host_text.c_str(), port_text.c_str(), &hints, &found);
  if (resolved != 0 || found == nullptr) {
    return fail<TcpStream>(resolved != 0 ? resolved : WSAHOST_NOT_FOUND);
  }
  int last = WSAECONNREFUSED;
  for (addrinfo* ai = found; ai != nullptr; ai = ai->ai_next) {
    Socket socket(::socket(ai->ai_family, ai->ai_socktype, ai->ai_protocol));
    if (socket.get() == INVALID_SOCKET || !prepare(socket.get())) {
      last = ::WSAGetLastError();
      continue;
    }
    if (::connect(socket.get(), ai->ai_addr, static_cast<int>(ai->ai_addrlen)) == 0) {
      ::freeaddrinfo(found);
      return TcpStream(handle_of(socket.release()));
    }
    last = ::WSAGetLastError();
    if (last != WSAEWOULDBLOCK) continue;
    const int ready = wait_for(socket.get(), Ready::kConnect, timeout_ms);
    if (ready > 0) {
      last = connect_result(socket.get());
      if (last == 0) {
        ::freeaddrinfo(found);
        return TcpStream(handle_of(socket.release()));
      }
    } else {
      last = ready == 0 ? kErrorSemTimeout : last_error();
    }
  }
  ::freeaddrinfo(found);
  return fail<TcpStream>(last);
}

Result<size_t> TcpStream::write_some(const void* data, size_t size, uint32_t timeout_ms) {
  if (handle_ == -1) return fail<size_t>(WSAENOTSOCK);
  for (;;) {
    const int n = ::send(socket_of(handle_), static_cast<const char*>(data), io_length(size), 0);
    if (n != SOCKET_ERROR) return static_cast<size_t>(n);
    const int error = record_socket_error();
    if (error == WSAEINTR) continue;
    if (error != WSAEWOULDBLOCK) return Result<size_t>::failure(error);
    const int ready = wait_for(socket_of(handle_), Ready::kWrite, timeout_ms);
    if (ready == 0) return fail<size_t>(kErrorSemTimeout);
    if (ready < 0) return Result<size_t>::failure(last_error());
  }
}

Result<size_t> TcpStream::read_some(void* data, size_t size, uint32_t timeout_ms) {
  if (handle_ == -1) return fail<size_t>(WSAENOTSOCK);
  for (;;) {
    const int n = ::recv(socket_of(handle_), static_cast<char*>(data), io_length(size), 0);
    if (n != SOCKET_ERROR) return static_cast<size_t>(n);
    const int error = record_socket_error();
    if (error == WSAEINTR) continue;
    if (error != WSAEWOULDBLOCK) return Result<size_t>::failure(error);
    const int ready = wait_for(socket_of(handle_), Ready::kRead, timeout_ms);
    if (ready == 0) return fail<size_t>(kErrorSemTimeout);
    if (ready < 0) return Result<size_t>::failure(last_error());
  }
}

TcpListener::TcpListener(TcpListener&& other) noexcept
    : handle_(std::exchange(other.handle_, -1)) {}

TcpListener& TcpListener::operator=(TcpListener&& other) noexcept {
  if (this != &other) {
    close_handle(handle_);
    handle_ = std::exchange(other.handle_, -1);
  }
  return *this;
}

TcpListener::~TcpListener() {
  close_handle(handle_);
}

Result<TcpListener> TcpListener::create(uint16_t port) {
  if (int error = win32::start_winsock(); error != 0) return fail<TcpListener>(error);
  Socket socket(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
  if (socket.get() == INVALID_SOCKET || !prepare(socket.get())) {
    return Result<TcpListener>::failure(record_socket_error());
  }
  // Unlike the reuse option, this keeps any other program from binding the same port.
  BOOL on = TRUE;
  (void)::setsockopt(socket.get(), SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<char*>(&on),
                     sizeof on);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  addr.sin_port = htons(port);
  if (::bind(socket.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(socket.get(), kListenBacklog) != 0) {
    return Result<TcpListener>::failure(record_socket_error());
  }
  return TcpListener(handle_of(socket.release()));
}

Result<TcpStream> TcpListener::accept(uint32_t timeout_ms) {
  if (handle_ == -1) return fail<TcpStream>(WSAENOTSOCK);
  for (;;) {
    Socket client(::accept(socket_of(handle_), nullptr, nullptr));
    if (client.get() != INVALID_SOCKET) {
      if (!prepare(client.get())) return Result<TcpStream>::failure(record_socket_error());
      return TcpStream(handle_of(client.release()));
    }
    const int error = record_socket_error();
    // A client that gave up before it was taken is no reason to stop waiting.
    if (error == WSAEINTR || error == WSAECONNRESET) continue;
    if (error != WSAEWOULDBLOCK) return Result<TcpStream>::failure(error);
    const int ready = wait_for(socket_of(handle_), Ready::kRead, timeout_ms);
    if (ready == 0) return fail<TcpStream>(kErrorSemTimeout);
    if (ready < 0) return Result<TcpStream>::failure(last_error());
  }
}

uint16_t TcpListener::port() const {
  sockaddr_in addr{};
  int length = sizeof addr;
  if (handle_ == -1 ||
      ::getsockname(socket_of(handle_), reinterpret_cast<sockaddr*>(&addr), &length) != 0) {
    return 0;
  }
  return ntohs(addr.sin_port);
}

}  // namespace qma::platform
