// The communication client library: posts a notice to the manager's receiver
// over HTTP or HTTPS and hands back the receiver's answer.
//
// The TLS layer runs over the platform's TCP stream through a BIO of its own,
// so this file stays free of OS headers.
#include "tools/moxclient/moxclient.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <string_view>

#include "platform/clock.h"
#include "platform/environment.h"
#include "platform/tcp_stream.h"

#define MOX_EXPORT __attribute__((visibility("default")))

namespace {

using qma::platform::TcpStream;

constexpr int kDefaultTimeLimitSeconds = 180;
constexpr size_t kMaxReplyBytes = 16u * 1024u * 1024u;

struct MoxIoData {
  std::string bytes;
};

// Time left until a fixed deadline, for each wait of one request.
class Deadline {
 public:
  explicit Deadline(int seconds)
      : end_(qma::platform::monotonic_ms() +
             static_cast<uint64_t>(seconds > 0 ? seconds : kDefaultTimeLimitSeconds) * 1000u) {}
  uint32_t left_ms() const {
    uint64_t now = qma::platform::monotonic_ms();
    return now >= end_ ? 0 : static_cast<uint32_t>(std::min<uint64_t>(end_ - now, 0x7FFFFFFF));
  }
  bool expired() const { return left_ms() == 0; }

 private:
  uint64_t end_;
};

// A byte channel: the bare TCP stream or TLS over it.
class Channel {
 public:
  virtual ~Channel() = default;
  virtual bool write_all(std::string_view data) = 0;
  // Bytes read, 0 at the end of the stream, -1 on an error or time-out.
  virtual long read_some(char* buffer, size_t size) = 0;
};

class PlainChannel : public Channel {
 public:
  PlainChannel(TcpStream& stream, const Deadline& deadline)
      : stream_(stream), deadline_(deadline) {}
  bool write_all(std::string_view data) override {
    while (!data.empty()) {
      if (deadline_.expired()) return false;
      auto n = stream_.write_some(data.data(), data.size(), deadline_.left_ms());
      if (!n.ok() || *n == 0) return false;
      data.remove_prefix(*n);
    }
    return true;
  }
  long read_some(char* buffer, size_t size) override {
    if (deadline_.expired()) return -1;
    auto n = stream_.read_some(buffer, size, deadline_.left_ms());
    return n.ok() ? static_cast<long>(*n) : -1;
  }

 private:
  TcpStream& stream_;
  const Deadline& deadline_;
};

// BIO methods that move TLS records over a PlainChannel.
int bio_write(BIO* bio, const char* data, int size) {
  auto* channel = static_cast<PlainChannel*>(BIO_get_data(bio));
  BIO_clear_retry_flags(bio);
  if (size <= 0) return 0;
  return channel->write_all(std::string_view(data, static_cast<size_t>(size))) ? size : -1;
}

int bio_read(BIO* bio, char* data, int size) {
  auto* channel = static_cast<PlainChannel*>(BIO_get_data(bio));
  BIO_clear_retry_flags(bio);
  if (size <= 0) return 0;
  long n = channel->read_some(data, static_cast<size_t>(size));
  return n < 0 ? -1 : static_cast<int>(n);
}

long bio_ctrl(BIO* /*bio*/, int cmd, long /*num*/, void* /*ptr*/) {
  return cmd == BIO_CTRL_FLUSH ? 1 : 0;
}

int bio_create(BIO* bio) {
  BIO_set_init(bio, 1);
  return 1;
}

BIO_METHOD* stream_bio_method() {
  static BIO_METHOD* method = nullptr;
  static std::once_flag once;
  std::call_once(once, [] {
    BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "qma tcp stream");
    if (m == nullptr) return;
    BIO_meth_set_write(m, bio_write);
    BIO_meth_set_read(m, bio_read);
    BIO_meth_set_ctrl(m, bio_ctrl);
    BIO_meth_set_create(m, bio_create);
    method = m;
  });
  return method;
}

struct SslCtxFree {
  void operator()(SSL_CTX* ctx) const { SSL_CTX_free(ctx); }
};
struct SslFree {
  void operator()(SSL* ssl) const { SSL_free(ssl); }
};

class TlsChannel : public Channel {
 public:
  TlsChannel(PlainChannel& plain) : plain_(plain) {}

  // Handshake with certificate and name checks; false when the peer is not trusted.
  bool open(const std::string& host) {
    BIO_METHOD* method = stream_bio_method();
    if (method == nullptr) return false;
    ctx_.reset(SSL_CTX_new(TLS_client_method()));
    if (!ctx_) return false;
    SSL_CTX_set_min_proto_version(ctx_.get(), TLS1_2_VERSION);
    SSL_CTX_set_verify(ctx_.get(), SSL_VERIFY_PEER, nullptr);
    auto ca_file = qma::platform::get_env("QMA_MOX_CAFILE");
    if (ca_file && !ca_file->empty()) {
      if (SSL_CTX_load_verify_locations(ctx_.get(), ca_file->c_str(), nullptr) != 1) return false;
    } else if (SSL_CTX_set_default_verify_paths(ctx_.get()) != 1) {
      return false;
    }
    ssl_.reset(SSL_new(ctx_.get()));
    if (!ssl_) return false;
    X509_VERIFY_PARAM* param = SSL_get0_param(ssl_.get());
    if (X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str()) != 1) {
      // Not a numeric address: check the certificate's names and send the name.
      if (SSL_set1_host(ssl_.get(), host.c_str()) != 1) return false;
      SSL_set_tlsext_host_name(ssl_.get(), host.c_str());
    }
    BIO* bio = BIO_new(method);
    if (bio == nullptr) return false;
    BIO_set_data(bio, &plain_);
    SSL_set_bio(ssl_.get(), bio, bio);
    return SSL_connect(ssl_.get()) == 1;
  }

  bool write_all(std::string_view data) override {
    while (!data.empty()) {
      size_t written = 0;
      if (SSL_write_ex(ssl_.get(), data.data(), data.size(), &written) != 1) return false;
      data.remove_prefix(written);
    }
    return true;
  }

  long read_some(char* buffer, size_t size) override {
    size_t got = 0;
    if (SSL_read_ex(ssl_.get(), buffer, size, &got) == 1) return static_cast<long>(got);
    int error = SSL_get_error(ssl_.get(), 0);
    if (error == SSL_ERROR_ZERO_RETURN) return 0;
    // A peer that closes the TCP stream without a close notify ends the body too.
    if (error == SSL_ERROR_SYSCALL || error == SSL_ERROR_SSL) {
      unsigned long reason = ERR_peek_last_error();
      if (ERR_GET_REASON(reason) == SSL_R_UNEXPECTED_EOF_WHILE_READING) return 0;
    }
    return -1;
  }

  ~TlsChannel() override {
    if (ssl_) SSL_shutdown(ssl_.get());
  }

 private:
  PlainChannel& plain_;
  std::unique_ptr<SSL_CTX, SslCtxFree> ctx_;
  std::unique_ptr<SSL, SslFree> ssl_;
};

bool iequals(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

std::optional<size_t> parse_size(std::string_view text, int base) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  size_t value = 0;
  size_t used = 0;
  for (char c : text) {
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (base == 16 && c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      break;
    }
    if (value > kMaxReplyBytes) return std::nullopt;
    value = value * static_cast<size_t>(base) + static_cast<size_t>(digit);
    ++used;
  }
  if (used == 0) return std::nullopt;
  return value;
}

// Reads the whole answer; the status code and the body (chunked, sized or to the end).
struct HttpAnswer {
  int status = 0;
  std::string body;
};

class AnswerReader {
 public:
  explicit AnswerReader(Channel& channel) : channel_(channel) {}

  std::optional<HttpAnswer> read() {
    HttpAnswer answer;
    std::string line;
    if (!read_line(line)) return std::nullopt;
    // HTTP/1.x SSS reason
    if (line.size() < 12 || line.compare(0, 7, "HTTP/1.") != 0 || line[8] != ' ') {
      return std::nullopt;
    }
    auto status = parse_size(std::string_view(line).substr(9, 3), 10);
    if (!status) return std::nullopt;
    answer.status = static_cast<int>(*status);
    std::optional<size_t> length;
    bool chunked = false;
    for (;;) {
      if (!read_line(line)) return std::nullopt;
      if (line.empty()) break;
      size_t colon = line.find(':');
      if (colon == std::string::npos) continue;
      std::string_view name = std::string_view(line).substr(0, colon);
      std::string_view value = std::string_view(line).substr(colon + 1);
      if (iequals(name, "Content-Length")) {
        length = parse_size(value, 10);
        if (!length) return std::nullopt;
      } else if (iequals(name, "Transfer-Encoding")) {
        chunked = value.find("chunked") != std::string_view::npos;
      }
    }
    if (answer.status == 204 || answer.status == 304 ||
        (answer.status >= 100 && answer.status < 200)) {
      return answer;
    }
    if (chunked) {
      for (;;) {
        if (!read_line(line)) return std::nullopt;
        auto size = parse_size(line, 16);
        if (!size || answer.body.size() + *size > kMaxReplyBytes) return std::nullopt;
        if (*size == 0) break;
        if (!read_exact(*size, answer.body)) return std::nullopt;
        if (!read_line(line)) return std::nullopt;
      }
    } else if (length) {
      if (*length > kMaxReplyBytes || !read_exact(*length, answer.body)) return std::nullopt;
    } else {
      for (;;) {
        if (!fill()) break;
        answer.body.append(buffer_, start_, std::string::npos);
        buffer_.clear();
        start_ = 0;
        if (answer.body.size() > kMaxReplyBytes) return std::nullopt;
      }
      if (failed_) return std::nullopt;
    }
    return answer;
  }

 private:
  // Reads more bytes into the buffer; false at the end of the stream or on an error.
  bool fill() {
    char chunk[4096];
    long n = channel_.read_some(chunk, sizeof chunk);
    if (n < 0) failed_ = true;
    if (n <= 0) return false;
    buffer_.append(chunk, static_cast<size_t>(n));
    return true;
  }
  bool read_line(std::string& line) {
    for (;;) {
      size_t end = buffer_.find("\r\n", start_);
      if (end != std::string::npos) {
        line.assign(buffer_, start_, end - start_);
        start_ = end + 2;
        return true;
      }
      if (buffer_.size() - start_ > 65536 || !fill()) return false;
    }
  }
  bool read_exact(size_t count, std::string& out) {
    while (buffer_.size() - start_ < count) {
      if (!fill()) return false;
    }
    out.append(buffer_, start_, count);
    start_ += count;
    return true;
  }

  Channel& channel_;
  std::string buffer_;
  size_t start_ = 0;
  bool failed_ = false;
};

int post_notice(bool tls, const char* address, int port, const char* service_name, int time_limit,
                void* io, void** reply) noexcept {
  try {
    if (reply != nullptr) *reply = nullptr;
    if (address == nullptr || *address == '\0' || port <= 0 || port > 65535 || io == nullptr) {
      return 0;
    }
    const auto* data = static_cast<const MoxIoData*>(io);
    Deadline deadline(time_limit);
    auto stream = TcpStream::connect(address, static_cast<uint16_t>(port), deadline.left_ms());
    if (!stream.ok()) return 0;
    PlainChannel plain(*stream, deadline);
    std::unique_ptr<TlsChannel> secure;
    Channel* channel = &plain;
    if (tls) {
      secure = std::make_unique<TlsChannel>(plain);
      if (!secure->open(address)) {
        ERR_clear_error();
        return 0;
      }
      channel = secure.get();
    }
    std::string host(address);
    if (host.find(':') != std::string::npos) host = "[" + host + "]";
    std::string request = "POST /";
    request += service_name != nullptr ? service_name : "";
    request += " HTTP/1.1\r\nHost: " + host + ":" + std::to_string(port) +
               "\r\nContent-Type: text/xml; charset=utf-8\r\nContent-Length: " +
               std::to_string(data->bytes.size()) + "\r\nConnection: close\r\n\r\n";
    request += data->bytes;
    if (!channel->write_all(request)) {
      ERR_clear_error();
      return 0;
    }
    auto answer = AnswerReader(*channel).read();
    ERR_clear_error();
    if (!answer || answer->status < 200 || answer->status > 299) return 0;
    if (reply != nullptr) *reply = new (std::nothrow) MoxIoData{std::move(answer->body)};
    return 1;
  } catch (...) {
    ERR_clear_error();
    return 0;
  }
}

}  // namespace

extern "C" {

MOX_EXPORT void* create_mox_io_data(int length, const char* data, int /*reserved1*/,
                                    int /*reserved2*/) {
  if (length < 0 || (length > 0 && data == nullptr)) return nullptr;
  try {
    return new MoxIoData{std::string(data == nullptr ? "" : data, static_cast<size_t>(length))};
  } catch (...) {
    return nullptr;
  }
}

MOX_EXPORT void free_mox_io_data(void* io) {
  delete static_cast<MoxIoData*>(io);
}

MOX_EXPORT int syncRequest(const char* address, int port, const char* service_name, int time_limit,
                           void* io, void** reply) {
  return post_notice(true, address, port, service_name, time_limit, io, reply);
}

MOX_EXPORT int syncRequestForPlain(const char* address, int port, const char* service_name,
                                   int time_limit, void* io, void** reply) {
  return post_notice(false, address, port, service_name, time_limit, io, reply);
}

MOX_EXPORT const char* mox_io_data_bytes(const void* io, int* length) {
  if (io == nullptr) return nullptr;
  const auto* data = static_cast<const MoxIoData*>(io);
  if (length != nullptr) *length = static_cast<int>(data->bytes.size());
  return data->bytes.data();
}
}
