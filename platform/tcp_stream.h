// A TCP connection to a host and port, with every wait bounded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "platform/error.h"
#include "platform/result.h"

namespace qma::platform {

/// One connected TCP stream. Closes when destroyed. Failures carry errno on Linux and
/// WSAGetLastError() on Windows; a wait that runs out fails with kErrorSemTimeout on both.
class TcpStream {
 public:
  TcpStream(TcpStream&&) noexcept;
  TcpStream& operator=(TcpStream&&) noexcept;
  ~TcpStream();

  /// Resolves host (a name or a numeric IPv4/IPv6 address) and connects to the
  /// first address that answers within timeout_ms.
  [[nodiscard]] static Result<TcpStream> connect(std::string_view host, uint16_t port,
                                                 uint32_t timeout_ms);
  /// Writes some bytes, waiting at most timeout_ms for room; the count written.
  [[nodiscard]] Result<size_t> write_some(const void* data, size_t size, uint32_t timeout_ms);
  /// Reads some bytes, waiting at most timeout_ms; 0 when the peer closed its end.
  [[nodiscard]] Result<size_t> read_some(void* data, size_t size, uint32_t timeout_ms);

 private:
  // A descriptor on Linux, a SOCKET on Windows; -1 when closed.
  explicit TcpStream(std::intptr_t handle) : handle_(handle) {}
  std::intptr_t handle_ = -1;
  friend class TcpListener;
};

/// A listening TCP endpoint on every IPv4 address of the host. On Windows the port is
/// held exclusively (SO_EXCLUSIVEADDRUSE), so no other program can bind it as well.
class TcpListener {
 public:
  TcpListener(TcpListener&&) noexcept;
  TcpListener& operator=(TcpListener&&) noexcept;
  ~TcpListener();

  /// Listens on port (0: any free port).
  [[nodiscard]] static Result<TcpListener> create(uint16_t port);
  /// Waits at most timeout_ms for a client; fails with kErrorSemTimeout when none came.
  [[nodiscard]] Result<TcpStream> accept(uint32_t timeout_ms);
  /// The port actually listened on.
  uint16_t port() const;

 private:
  explicit TcpListener(std::intptr_t handle) : handle_(handle) {}
  std::intptr_t handle_ = -1;
};

}  // namespace qma::platform
