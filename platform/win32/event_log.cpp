// The System event log of this computer through OpenEventLog and ReadEventLog (Windows backend).
//
// This folder is the only place that may include OS headers. Nothing here logs.
#include "platform/event_log.h"

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

#include "platform/error.h"
#include "platform/win32/wide.h"

namespace qma::platform {

namespace {

/// A first read buffer that holds some hundred records; a bigger one when a record needs it.
constexpr DWORD kReadBufferSize = 64 * 1024;

/// Owner of an open event log.
class EventLogHandle {
 public:
  explicit EventLogHandle(HANDLE handle) : handle_(handle) {}
  EventLogHandle(const EventLogHandle&) = delete;
  EventLogHandle& operator=(const EventLogHandle&) = delete;
  ~EventLogHandle() {
    if (handle_ != nullptr) ::CloseEventLog(handle_);
  }
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

Result<std::vector<EventLogEntry>> fail(int error) {
  set_last_error(error);
  return Result<std::vector<EventLogEntry>>::failure(error);
}

}  // namespace

// Newest first up to and including the newest "event log service started" record, the
// one the agent looks for: older records belong to earlier boots, and a long System log
// would otherwise be read whole on every start.
Result<std::vector<EventLogEntry>> read_host_event_log() {
  EventLogHandle log(::OpenEventLogW(nullptr, L"System"));
  if (log.get() == nullptr) return fail(win32::record_last_error());
  std::vector<unsigned char> buffer(kReadBufferSize);
  std::vector<EventLogEntry> newest_first;
  bool found = false;
  while (!found) {
    DWORD read = 0;
    DWORD needed = 0;
    if (!::ReadEventLogW(log.get(), EVENTLOG_SEQUENTIAL_READ | EVENTLOG_BACKWARDS_READ, 0,
                         buffer.data(), static_cast<DWORD>(buffer.size()), &read, &needed)) {
      const DWORD error = ::GetLastError();
      if (error == ERROR_HANDLE_EOF) break;
      if (error == ERROR_INSUFFICIENT_BUFFER && needed > buffer.size()) {
        buffer.resize(needed);
        continue;
      }
      return fail(static_cast<int>(error));
    }
    // Whole records, each `Length` bytes on from the last; never past the bytes read.
    for (DWORD offset = 0; offset + sizeof(EVENTLOGRECORD) <= read;) {
      EVENTLOGRECORD record;
      std::memcpy(&record, buffer.data() + offset, sizeof record);
      if (record.Length < sizeof record || record.Length > read - offset) break;
      EventLogEntry entry;
      entry.event_id = record.EventID;
      entry.time_written = record.TimeWritten;
      // The portable head is shorter than the system's: the rest counts as record data,
      // so every record keeps its real length in a read buffer.
      entry.data_size = record.Length - static_cast<uint32_t>(sizeof(EventLogRecordHead));
      newest_first.push_back(entry);
      offset += record.Length;
      if ((record.EventID & 0xFFFFu) == kEventLogStarted) {
        found = true;
        break;
      }
    }
    if (read == 0) break;
  }
  std::reverse(newest_first.begin(), newest_first.end());
  return newest_first;
}

}  // namespace qma::platform
