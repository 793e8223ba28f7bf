// A TCP connection to a host and port, with every wait bounded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "platform/result.h"

namespace qma::platform {

/// Error number of a wait that ran out of time (the Windows semaphore time-out code).
inline constexpr int kErrorTimeout = 121;

/// One connected TCP stream. Closes when destroyed.
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
  explicit TcpStream(int handle) : handle_(handle) {}
  int handle_ = -1;
  friend class TcpListener;
};

/// A listening TCP endpoint on every IPv4 address of the host.
class TcpListener {
 public:
  TcpListener(TcpListener&&) noexcept;
  TcpListener& operator=(TcpListener&&) noexcept;
  ~TcpListener();

  /// Listens on port (0: any free port).
  [[nodiscard]] static Result<TcpListener> create(uint16_t port);
  /// Waits at most timeout_ms for a client; fails with kErrorTimeout when none came.
  [[nodiscard]] Result<TcpStream> accept(uint32_t timeout_ms);
  /// The port actually listened on.
  uint16_t port() const;

 private:
  explicit TcpListener(int handle) : handle_(handle) {}
  int handle_ = -1;
};

}  // namespace qma::platform
