// Reboot detection: the newest "event log service started" record against the time kept last run.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "commands/qma_commands.h"
#include "common/log/qma_log.h"
#include "platform/environment.h"
#include "platform/error.h"
#include "platform/event_log.h"
#include "platform/file.h"

namespace {

constexpr const char* kSrc = "QMAProc";
constexpr uint32_t kFirstBufferSize = 2048;
constexpr const char* kStateFileName = "QMA_SYS_evlogstart";

}  // namespace

int QMA_SerchEventLog(long* time_written) {
  QMA_LogInfo(__func__, kSrc, __LINE__, "QMA_SerchEventLog() start.");
  auto log = qma::platform::open_system_event_log();
  if (!log.ok()) {
    QMA_LogError(__func__, kSrc, __LINE__, "OpenEventLog error (%d)", log.error());
    return 0;
  }
  uint32_t size = kFirstBufferSize;
  auto* buffer = static_cast<unsigned char*>(std::malloc(size));
  int result = 0;
  if (buffer == nullptr) {
    QMA_LogError(__func__, kSrc, __LINE__, "malloc error (%d)", errno);
  } else {
    for (;;) {
      uint32_t read = 0;
      uint32_t needed = 0;
      auto status = log->read_backwards(buffer, size, &read, &needed);
      if (!status.ok()) {
        if (status.error() == qma::platform::kErrorInsufficientBuffer) {
          std::free(buffer);
          size = needed;
          buffer = static_cast<unsigned char*>(std::malloc(size));
          if (buffer == nullptr) {
            QMA_LogError(__func__, kSrc, __LINE__, "realloc error (%d)", errno);
            result = 0;
            break;
          }
          continue;
        }
        if (status.error() == qma::platform::kErrorHandleEof) {
          QMA_LogWarning(__func__, kSrc, __LINE__, "Read event log at end");
          result = -1;
        } else {
          QMA_LogError(__func__, kSrc, __LINE__, "ReadEventLog error (%d)", status.error());
          result = 0;
        }
        break;
      }
      bool found = false;
      // Walk the records by their length field; never past the bytes read.
      for (uint32_t offset = 0; offset + sizeof(qma::platform::EventLogRecordHead) <= read;) {
        qma::platform::EventLogRecordHead head;
        std::memcpy(&head, buffer + offset, sizeof head);
        if ((head.event_id & 0xFFFFu) == qma::platform::kEventLogStarted) {
          if (time_written != nullptr) *time_written = static_cast<long>(head.time_written);
          found = true;
          break;
        }
        if (head.length < sizeof head) break;
        offset += head.length;
      }
      if (found) {
        result = 1;
        break;
      }
    }
  }
  std::free(buffer);
  QMA_LogInfo(__func__, kSrc, __LINE__, "QMA_SerchEventLog() end.");
  return result;
}

int QMA_CheckSystemReboot() {
  QMA_LogInfo(__func__, kSrc, __LINE__, "QMA_CheckSystemReboot() start.");
  auto home = qma::platform::get_env("AXIS2C_HOME");
  if (!home) {
    QMA_LogError(__func__, kSrc, __LINE__, "getenv AXIS2C_HOME error! errno=[%d]", errno);
    QMA_LogInfo(__func__, kSrc, __LINE__, "QMA_CheckSystemReboot() end.");
    return 0;
  }
  char path[260] = {};
  // A state file whose name differs only in case is the state file.
  std::snprintf(
      path, sizeof path, "%s",
      qma::platform::resolve_path(
          qma::platform::join_path(qma::platform::join_path(*home, "bin"), kStateFileName))
          .c_str());

  long stored = -1;
  // Only a bounded regular file is read, never through a link and never waiting on it.
  auto content = qma::platform::read_regular_file(path, qma::platform::kStateFileMax);
  if (!content.ok() && content.error() != ENOENT) {
    QMA_LogError(__func__, kSrc, __LINE__, "fopen error! file=[%s] errno=[%d]", path,
                 content.error());
  }
  if (content.ok()) {
    // The first line as a line read of 260 bytes takes it, line feed included.
    char line[260] = {};
    std::string_view first = std::string_view(content.value()).substr(0, sizeof line - 1);
    if (size_t feed = first.find('\n'); feed != std::string_view::npos) {
      first.remove_suffix(first.size() - feed - 1);
    }
    std::memcpy(line, first.data(), first.size());
    if (first.empty()) {
      QMA_LogError(__func__, kSrc, __LINE__, "fgets error! file=[%s] errno=[%d]", path, 0);
    } else {
      QMA_LogInfo(__func__, kSrc, __LINE__, "Get data. file=[%s] data=[%s]", path, line);
      errno = 0;
      char* end = nullptr;
      long long value = std::strtoll(line, &end, 10);
      bool overflow = errno == ERANGE || value >= 2147483647LL;
      if (overflow || value < 1 || end == line || *end != '\0') {
        QMA_LogError(__func__, kSrc, __LINE__, "Invalid file data!");
        stored = -1;
      } else {
        stored = static_cast<long>(value);
      }
    }
  }

  long newest = 0;
  int found = QMA_SerchEventLog(&newest);
  int result = 0;
  if (found == 0) {
    result = 1;  // an unreadable log counts as a restart
  } else if (found == -1) {
    result = 0;
  } else if (newest == stored) {
    QMA_LogInfo(__func__, kSrc, __LINE__, "QMA is rebooted");
    result = 0;
  } else {
    // Written in place, never through a link and never waiting on a FIFO in its place.
    bool opened = false;
    auto written = qma::platform::write_regular_file(path, std::to_string(newest), &opened);
    if (!written.ok() && !opened) {
      QMA_LogError(__func__, kSrc, __LINE__, "fopen error! file=[%s] errno=[%d]", path,
                   written.error());
      QMA_LogInfo(__func__, kSrc, __LINE__, "QMA_CheckSystemReboot() end.");
      return 0;
    }
    if (!written.ok()) {
      QMA_LogError(__func__, kSrc, __LINE__, "fputs error! file=[%s] errno=[%d]", path,
                   written.error());
    }
    if (stored == -1) {
      result = 0;
    } else {
      QMA_LogInfo(__func__, kSrc, __LINE__, "System is rebooted");
      result = 1;
    }
  }
  QMA_LogInfo(__func__, kSrc, __LINE__, "QMA_CheckSystemReboot() end.");
  return result;
}
