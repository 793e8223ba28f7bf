// The communication client library: posts a notice to the manager's receiver over HTTP
// or HTTPS through libcurl and hands back the receiver's answer.
//
// libcurl brings the transport, TLS with peer and host verification, the proxy variables
// (http_proxy, https_proxy, no_proxy) and IPv6; this file only says what may be sent
// where, and what counts as delivered.
#include "tools/moxclient/moxclient.h"

#include <curl/curl.h>

#include <cstddef>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <string_view>

#include "platform/environment.h"
#include "platform/library_export.h"

#define MOX_EXPORT QMA_LIBRARY_EXPORT

namespace {

constexpr int kDefaultTimeLimitSeconds = 180;
/// The largest answer taken from a receiver; a longer one fails the notice.
constexpr size_t kMaxReplyBytes = 16u * 1024u * 1024u;
/// Longest destination address taken (a host name has at most 253 characters).
constexpr size_t kMaxAddressLength = 253;

struct MoxIoData {
  std::string bytes;
};

bool curl_ready() {
  static std::once_flag once;
  static bool ready = false;
  std::call_once(once, [] { ready = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK; });
  return ready;
}

bool is_hex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

/// The address as the host part of a URL: a host name or IPv4 address as it is, an IPv6
/// address in brackets. Empty for anything else, so no request text can reach the URL.
std::string url_host(std::string_view address) {
  if (address.empty() || address.size() > kMaxAddressLength) return {};
  if (address.find(':') != std::string_view::npos) {
    for (char c : address) {
      if (!is_hex(c) && c != ':' && c != '.') return {};
    }
    return "[" + std::string(address) + "]";
  }
  for (char c : address) {
    bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                   c == '.' || c == '-';
    if (!allowed) return {};
  }
  if (address.front() == '-' || address.front() == '.') return {};
  return std::string(address);
}

struct Answer {
  std::string body;
};

size_t collect(char* data, size_t size, size_t count, void* user) {
  auto* answer = static_cast<Answer*>(user);
  size_t bytes = size * count;
  // Returning less than given ends the transfer with an error.
  if (bytes > kMaxReplyBytes - answer->body.size()) return 0;
  answer->body.append(data, bytes);
  return bytes;
}

struct CurlFree {
  void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};
struct SlistFree {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
struct CurlStringFree {
  void operator()(char* text) const { curl_free(text); }
};

int post_notice(bool tls, const char* address, int port, const char* service_name, int time_limit,
                void* io, void** reply) noexcept {
  try {
    if (reply != nullptr) *reply = nullptr;
    if (address == nullptr || port <= 0 || port > 65535 || io == nullptr) return 0;
    std::string host = url_host(address);
    if (host.empty() || !curl_ready()) return 0;
    const auto* data = static_cast<const MoxIoData*>(io);

    std::unique_ptr<CURL, CurlFree> curl(curl_easy_init());
    if (!curl) return 0;
    CURL* c = curl.get();
    std::unique_ptr<char, CurlStringFree> path(
        curl_easy_escape(c, service_name != nullptr ? service_name : "", 0));
    if (!path) return 0;
    std::string url = std::string(tls ? "https://" : "http://") + host + ":" +
                      std::to_string(port) + "/" + path.get();

    curl_slist* headers = curl_slist_append(nullptr, "Content-Type: text/xml; charset=utf-8");
    std::unique_ptr<curl_slist, SlistFree> header_list(headers);
    // The body goes at once, without waiting for a 100 Continue first.
    if (headers == nullptr || curl_slist_append(headers, "Expect:") == nullptr) return 0;

    Answer answer;
    long seconds = time_limit > 0 ? time_limit : kDefaultTimeLimitSeconds;
    bool set = curl_easy_setopt(c, CURLOPT_URL, url.c_str()) == CURLE_OK &&
               curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, tls ? "https" : "http") == CURLE_OK &&
               curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L) == CURLE_OK &&
               curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
               curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, seconds * 1000L) == CURLE_OK &&
               curl_easy_setopt(c, CURLOPT_POST, 1L) == CURLE_OK &&
               curl_easy_setopt(c, CURLOPT_POSTFIELDS, data->bytes.data()) == CURLE_OK &&
               curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE,
                                static_cast<curl_off_t>(data->bytes.size())) == CURLE_OK &&
               curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers) == CURLE_OK &&
               curl_easy_setopt(c, CURLOPT_MAXFILESIZE_LARGE,
                                static_cast<curl_off_t>(kMaxReplyBytes)) == CURLE_OK &&
               curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, collect) == CURLE_OK &&
               curl_easy_setopt(c, CURLOPT_WRITEDATA, &answer) == CURLE_OK;
    if (!set) return 0;
    if (tls) {
      set = curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L) == CURLE_OK &&
            curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 2L) == CURLE_OK &&
            curl_easy_setopt(c, CURLOPT_SSLVERSION, CURL_SSLVERSION_TLSv1_2) == CURLE_OK;
      // A CA file of the installation's own is the only trust; else the system's store.
      auto ca_file = qma::platform::get_env("QMA_MOX_CAFILE");
      if (set && ca_file && !ca_file->empty()) {
        set = curl_easy_setopt(c, CURLOPT_CAINFO, ca_file->c_str()) == CURLE_OK &&
              curl_easy_setopt(c, CURLOPT_CAPATH, nullptr) == CURLE_OK;
      }
      if (!set) return 0;
    }
    if (curl_easy_perform(c) != CURLE_OK) return 0;
    long status = 0;
    if (curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK) return 0;
    // Only an acceptance counts; a redirect is not followed and not a delivery.
    if (status < 200 || status > 299) return 0;
    if (reply != nullptr) *reply = new (std::nothrow) MoxIoData{std::move(answer.body)};
    return 1;
  } catch (...) {
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
