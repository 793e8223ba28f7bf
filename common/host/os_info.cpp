// Classification of the running OS into the agent's OS type and display name.
#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "common/host/os_info_source.h"
#include "common/host/qma_system.h"
#include "common/log/qma_log.h"
#include "platform/environment.h"
#include "platform/file.h"

namespace qma::common {

namespace {

using platform::OsVersionInfo;

constexpr char kSrc[] = "QMACommon";
constexpr int kNameSize = 260;

constexpr uint8_t kWorkstation = 1;
constexpr uint8_t kDomainController = 2;
constexpr uint8_t kServer = 3;
constexpr uint16_t kSuiteEnterprise = 0x0002;
constexpr uint16_t kSuiteDatacenter = 0x0080;
constexpr uint16_t kSuitePersonal = 0x0200;
constexpr uint16_t kSuiteBlade = 0x0400;
constexpr uint16_t kSuiteStorageServer = 0x2000;

OsInfoSource& source() {
  static auto* current = new OsInfoSource;
  return *current;
}

/// The reading of the open OsVersionSnapshot scopes of this thread; only a successful one
/// is kept, so a failed reading is tried again.
struct SnapshotState {
  int depth = 0;
  std::optional<OsVersionInfo> reading;
};
thread_local SnapshotState t_snapshot;

bool default_version(OsVersionInfo& info) {
  auto read = system_os_version();
  if (!read.ok()) return false;
  info = *read;
  return true;
}

int default_product_info() {
  return platform::os_product_sku();
}

bool version(OsVersionInfo& info) {
  return source().version ? source().version(info) : default_version(info);
}

int product_info() {
  return source().os_product_info ? source().os_product_info() : default_product_info();
}

/// The OS type of the classification table. The SKU is asked for only on the
/// rows that use it.
int classify(const OsVersionInfo& v, int r2) {
  // Linux versions are numbered by their distribution, so the SKU row applies
  // to all of them.
  if (v.platform_id == platform::kPlatformLinux) return product_info();
  if (v.platform_id != platform::kPlatformWin32Nt) return 0;
  const bool server = v.product_type == kServer || v.product_type == kDomainController;
  const bool workstation = v.product_type == kWorkstation;
  const auto has = [&](uint16_t suite) { return (v.suite_mask & suite) != 0; };
  if (v.major == 5 && v.minor == 0) {
    if (workstation) return 1;
    if (server) {
      if (has(kSuiteEnterprise)) return 3;
      if (has(kSuiteDatacenter)) return 4;
      return 2;
    }
    return 0;
  }
  if (v.major == 5 && v.minor == 1) {
    if (workstation) return has(kSuitePersonal) ? 5 : 6;
    return 0;
  }
  if (v.major == 5 && v.minor == 2) {
    if (server) {
      if (has(kSuiteEnterprise)) return r2 ? 12 : 8;
      if (has(kSuiteDatacenter)) return r2 ? 13 : 9;
      if (has(kSuiteStorageServer)) return r2 ? 14 : 10;
      if (has(kSuiteBlade)) return 15;
      return r2 ? 11 : 7;
    }
    if (workstation) return has(kSuitePersonal) ? 5 : 6;
    return 0;
  }
  if (v.major >= 6) return product_info();
  return 0;
}

/// Appends the suffix when the flag is set, the name lacks the mark and the
/// 260-byte buffer has room for the suffix and the terminator.
void append_mark(char* name, int flag, const char* mark, const char* suffix) {
  if (flag != 1 || std::strstr(name, mark) != nullptr) return;
  size_t length = std::strlen(name);
  if (length + std::strlen(suffix) + 1 > static_cast<size_t>(kNameSize)) return;
  std::strcat(name, suffix);
}

/// The value of one variable of an os-release file, quotes and escapes removed.
std::string os_release_value(std::string_view text, std::string_view key) {
  while (!text.empty()) {
    size_t nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
    while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
      line.remove_suffix(1);
    if (line.size() <= key.size() || line.substr(0, key.size()) != key || line[key.size()] != '=')
      continue;
    std::string_view raw = line.substr(key.size() + 1);
    std::string value;
    if (!raw.empty() && (raw.front() == '"' || raw.front() == '\'')) {
      char quote = raw.front();
      for (size_t i = 1; i < raw.size() && raw[i] != quote; ++i) {
        if (quote == '"' && raw[i] == '\\' && i + 1 < raw.size()) ++i;
        value.push_back(raw[i]);
      }
    } else {
      value = std::string(raw);
    }
    return value;
  }
  return {};
}

}  // namespace

platform::Result<OsVersionInfo> system_os_version() {
  if (t_snapshot.depth > 0 && t_snapshot.reading) return *t_snapshot.reading;
  auto read = platform::os_version();
  if (t_snapshot.depth > 0 && read.ok()) t_snapshot.reading = *read;
  return read;
}

OsVersionSnapshot::OsVersionSnapshot() {
  ++t_snapshot.depth;
}

OsVersionSnapshot::~OsVersionSnapshot() {
  if (--t_snapshot.depth == 0) t_snapshot.reading.reset();
}

void set_os_info_source(OsInfoSource source_in) {
  source() = std::move(source_in);
}

int default_os_name(char* buffer, int length) {
  if (buffer == nullptr || length <= 0) return -1;
  std::memset(buffer, 0, static_cast<size_t>(length));
  auto text = platform::read_file_cached(platform::host_path("etc/os-release"));
  if (!text.ok()) text = platform::read_file_cached(platform::host_path("usr/lib/os-release"));
  if (!text.ok()) return 0;
  std::string name = os_release_value(*text, "PRETTY_NAME");
  std::memcpy(buffer, name.data(), std::min(name.size(), static_cast<size_t>(length - 1)));
  return 0;
}

}  // namespace qma::common

using qma::common::source;

extern "C" int QMA_IsWow64(void) {
  try {
    if (source().is_wow64) return source().is_wow64() == 1 ? 1 : 0;
    return qma::platform::os_is_64bit() ? 1 : 0;
  } catch (...) {
    return 0;
  }
}

extern "C" int QMA_IsServerR2(void) {
  try {
    if (source().is_server_r2) return source().is_server_r2() != 0 ? 1 : 0;
    return qma::platform::os_is_server_r2() ? 1 : 0;
  } catch (...) {
    return 0;
  }
}

extern "C" int QMA_GetOSInfo(int* os_type, char* os_name) {
  using namespace qma::common;
  if (os_type == nullptr || os_name == nullptr) return 0;
  try {
    qma::platform::OsVersionInfo info;
    if (!version(info)) return 0;
    int x64 = QMA_IsWow64();
    int r2 = QMA_IsServerR2();
    char name[kNameSize] = {};
    if (source().os_name)
      source().os_name(name, kNameSize);
    else
      default_os_name(name, kNameSize);
    name[kNameSize - 1] = '\0';
    QMA_LogInfo(
        __func__, kSrc, __LINE__,
        "GetVersionInfo::dwMajorVersion=[0x%08x] dwMinorVersion=[0x%08x] wProductType=[0x%08x] "
        "wSuiteMask=[0x%08x] IsX64=[%d] IsR2=[%d]",
        info.major, info.minor, static_cast<unsigned>(info.product_type),
        static_cast<unsigned>(info.suite_mask), x64, r2);

    int type = classify(info, r2);
    if (name[0] == '\0' || type == 0) {
      std::memset(name, 0, sizeof name);
      std::strcpy(name, "Unknown");
    } else {
      append_mark(name, x64, "x64", " x64");
      append_mark(name, r2, "R2", " R2");
    }
    *os_type = type;
    std::memcpy(os_name, name, std::strlen(name) + 1);
    QMA_LogInfo(__func__, kSrc, __LINE__, "pOSName=[%s] iWkOSNameLen=[%d] iWkOSType=[%d]", os_name,
                static_cast<int>(std::strlen(os_name)), type);
    return 1;
  } catch (...) {
    return 0;
  }
}
