// Host facts: name, OS version record from os-release, bitness (POSIX backend).
//
// This folder is the only place that may include OS headers. Nothing here logs.
// File facts are read below the host root, so tests can supply their own.
#include "platform/host.h"

#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <string>
#include <string_view>

#include "platform/environment.h"
#include "platform/error.h"
#include "platform/file.h"

namespace qma::platform {

namespace {

constexpr uint8_t kProductTypeServer = 3;
// Linux's own SKU, the same the inventory library reports for it.
constexpr int kLinuxSku = 0x100;

/// The text of a small file, through the process's copy; errno on failure.
int read_small_file(const std::string& path, std::string* out) {
  auto content = read_file_cached(path);
  if (!content.ok()) return content.error();
  *out = std::move(content.value());
  // os-release is a few hundred bytes; what lies past the first 68 KiB is not one.
  if (out->size() > 68 * 1024) out->resize(68 * 1024);
  return 0;
}

/// The value of KEY=VALUE in an os-release text, quotes removed.
bool os_release_value(std::string_view text, std::string_view key, std::string* value) {
  while (!text.empty()) {
    size_t eol = text.find('\n');
    std::string_view line = text.substr(0, eol);
    text = eol == std::string_view::npos ? std::string_view() : text.substr(eol + 1);
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) {
      line.remove_suffix(1);
    }
    while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
    if (line.size() <= key.size() || line.substr(0, key.size()) != key || line[key.size()] != '=') {
      continue;
    }
    std::string_view raw = line.substr(key.size() + 1);
    if (raw.size() >= 2 && (raw.front() == '"' || raw.front() == '\'') &&
        raw.back() == raw.front()) {
      raw = raw.substr(1, raw.size() - 2);
    }
    value->assign(raw);
    return true;
  }
  return false;
}

/// Leading decimal digits of text as a number; false when there are none or too many.
bool leading_number(std::string_view text, size_t* used, uint32_t* number) {
  uint64_t value = 0;
  size_t i = 0;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
    value = value * 10 + static_cast<uint64_t>(text[i] - '0');
    if (value > UINT32_MAX) return false;
    ++i;
  }
  if (i == 0) return false;
  *used = i;
  *number = static_cast<uint32_t>(value);
  return true;
}

/// Whether a kernel machine name is a 64-bit one; an empty name says nothing.
bool machine_is_64bit(std::string_view machine) {
  // x86_64, aarch64, ppc64(le), s390x, riscv64, mips64, sparc64, loongarch64 ...
  if (machine.find("64") != std::string_view::npos || machine == "s390x" || machine == "alpha") {
    return true;
  }
  if (!machine.empty()) return false;
  return sizeof(void*) == 8;
}

}  // namespace

Result<std::string> host_name() {
  char name[HOST_NAME_MAX + 1] = {};
  if (gethostname(name, sizeof name - 1) != 0) {
    int error = errno;
    set_last_error(error);
    return Result<std::string>::failure(error);
  }
  return std::string(name);
}

Result<OsVersionInfo> os_version() {
  std::string text;
  // etc/os-release first, usr/lib/os-release when it is absent, as the file's own rules say.
  int error = read_small_file(host_path("etc/os-release"), &text);
  if (error == ENOENT) {
    text.clear();
    error = read_small_file(host_path("usr/lib/os-release"), &text);
  }
  if (error != 0) {
    set_last_error(error);
    return Result<OsVersionInfo>::failure(error);
  }
  OsVersionInfo info;
  // "12" is 12.0, "22.04" is 22.4, "3.18.4" is 3.18. A rolling release has no
  // VERSION_ID (or no number in it): its version is 0.0, and the system is still known.
  std::string version;
  if (os_release_value(text, "VERSION_ID", &version)) {
    size_t used = 0;
    std::string_view rest(version);
    if (leading_number(rest, &used, &info.major)) {
      rest.remove_prefix(used);
      if (!rest.empty() && rest.front() == '.') {
        rest.remove_prefix(1);
        if (!leading_number(rest, &used, &info.minor)) info.minor = 0;
      }
    }
  }
  info.build = 0;
  info.platform_id = kPlatformLinux;
  info.product_type = kProductTypeServer;
  info.suite_mask = 0;
  return info;
}

bool os_is_64bit() {
  // The running kernel's machine cannot change while this process lives.
  static const bool answer = [] {
    utsname name{};
    return uname(&name) == 0 ? machine_is_64bit(name.machine) : sizeof(void*) == 8;
  }();
  return answer;
}

int os_product_sku() {
  return kLinuxSku;
}

bool os_is_server_r2() {
  return false;
}

}  // namespace qma::platform
