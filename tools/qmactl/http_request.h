// One HTTP request read off a connection, the way completion notices arrive: `qmactl listen`
// and the tests' plain notice receiver take them with it.
#pragma once

#include <cctype>
#include <cstdlib>
#include <optional>
#include <string>

#include "platform/tcp_stream.h"

namespace qma::qmactl {

struct HttpRequest {
  std::string request_line;
  std::string body;       // at most Content-Length bytes
  bool complete = false;  // the whole body of Content-Length arrived
};

/// Reads one request: its head, then as much of the body as its Content-Length names, each read
/// waiting at most `read_timeout_ms`. Empty when the connection ended before the head did.
inline std::optional<HttpRequest> read_http_request(platform::TcpStream& stream,
                                                    uint32_t read_timeout_ms) {
  std::string data;
  size_t header_end = std::string::npos;
  size_t length = 0;
  char buffer[4096];
  for (;;) {
    if (header_end == std::string::npos &&
        (header_end = data.find("\r\n\r\n")) != std::string::npos) {
      std::string head = data.substr(0, header_end);
      for (char& c : head) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      const size_t at = head.find("content-length:");
      if (at != std::string::npos) length = std::strtoul(head.c_str() + at + 15, nullptr, 10);
    }
    if (header_end != std::string::npos && data.size() >= header_end + 4 + length) break;
    auto n = stream.read_some(buffer, sizeof buffer, read_timeout_ms);
    if (!n.ok() || *n == 0) break;
    data.append(buffer, *n);
  }
  if (header_end == std::string::npos) return std::nullopt;
  HttpRequest request;
  request.request_line = data.substr(0, data.find("\r\n"));
  request.body = data.substr(header_end + 4, length);
  request.complete = data.size() >= header_end + 4 + length;
  return request;
}

}  // namespace qma::qmactl
