// The System log on Linux: one "event log service started" record per boot (POSIX backend).
//
// This folder is the only place that may include OS headers. Nothing here logs.
#include "platform/event_log.h"

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/environment.h"
#include "platform/error.h"
#include "platform/file.h"

namespace qma::platform {

namespace {

// The data a real 6005 record carries (source name, computer name, strings).
constexpr uint32_t kStartRecordDataSize = 96;

std::string trim(const std::string& text) {
  size_t begin = text.find_first_not_of(" \t\r\n");
  if (begin == std::string::npos) return {};
  size_t end = text.find_last_not_of(" \t\r\n");
  return text.substr(begin, end - begin + 1);
}

// btime of proc/stat: the boot time in seconds since the epoch; 0 when absent.
unsigned long long boot_time(const std::string& stat) {
  size_t pos = 0;
  while (pos < stat.size()) {
    size_t end = stat.find('\n', pos);
    std::string line = stat.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
    if (line.compare(0, 6, "btime ") == 0) return std::strtoull(line.c_str() + 6, nullptr, 10);
    if (end == std::string::npos) break;
    pos = end + 1;
  }
  return 0;
}

}  // namespace

Result<std::vector<EventLogEntry>> read_host_event_log() {
  auto stat = read_file(host_path("proc/stat"));
  if (!stat.ok()) return Result<std::vector<EventLogEntry>>::failure(stat.error());
  unsigned long long btime = boot_time(stat.value());
  if (btime == 0 || btime > 0xFFFFFFFFull) {
    return Result<std::vector<EventLogEntry>>::failure(kErrorFileNotFound);
  }
  // The first time seen in a boot is kept for that boot.
  auto boot_id = read_file(host_path("proc/sys/kernel/random/boot_id"));
  if (boot_id.ok() && !trim(boot_id.value()).empty()) {
    std::string id = trim(boot_id.value());
    std::string memo = join_path(state_dir(), "boot-eventlog");
    auto known = read_file(memo);
    if (known.ok()) {
      std::string text = trim(known.value());
      size_t space = text.find(' ');
      if (space != std::string::npos && text.substr(0, space) == id) {
        unsigned long long kept = std::strtoull(text.c_str() + space + 1, nullptr, 10);
        if (kept != 0 && kept <= 0xFFFFFFFFull) btime = kept;
      }
    }
    if (!known.ok() || trim(known.value()).substr(0, id.size() + 1) != id + " ") {
      (void)create_directory(state_dir());
      (void)write_file_atomic(memo, id + " " + std::to_string(btime) + "\n");
    }
  }
  std::vector<EventLogEntry> entries;
  entries.push_back({kEventLogStarted, static_cast<uint32_t>(btime), kStartRecordDataSize});
  return entries;
}

}  // namespace qma::platform
