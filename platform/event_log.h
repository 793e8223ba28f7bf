// The system event log, read newest first in whole records as Windows reads it.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "platform/result.h"

namespace qma::platform {

/// The event id of the record the event log service writes when it starts, once per boot.
inline constexpr uint32_t kEventLogStarted = 6005;

/// The fixed head of every record in a read buffer; `length` covers the head and
/// the record's data that follows it, so the next record starts `length` bytes on.
struct EventLogRecordHead {
  uint32_t length;
  uint32_t reserved;
  uint32_t record_number;
  uint32_t time_generated;
  uint32_t time_written;  // seconds since 1970-01-01 00:00 UTC
  uint32_t event_id;
};

/// One record as a source describes it (oldest first in a source's list).
struct EventLogEntry {
  uint32_t event_id = 0;
  uint32_t time_written = 0;
  /// Bytes of record data after the head (message strings and the like).
  uint32_t data_size = 0;
};

/// An open log, read from the newest record backwards.
class EventLogReader {
 public:
  explicit EventLogReader(std::vector<EventLogEntry> oldest_first);

  /// Copies as many whole records as fit into buffer, newest first, continuing
  /// where the last read stopped; *bytes_read is their total length. Fails with
  /// kErrorInsufficientBuffer (122) and *bytes_needed = the next record's length
  /// when not even one record fits, and with kErrorHandleEof (38) when no record is left.
  [[nodiscard]] Status read_backwards(void* buffer, uint32_t size, uint32_t* bytes_read,
                                      uint32_t* bytes_needed);

 private:
  std::vector<EventLogEntry> entries_;
  size_t next_ = 0;  // records already read, counted from the newest
};

/// Opens the System log of this computer. On Linux: one record 6005 per boot,
/// written at the boot time (btime of proc/stat under the host root); the time is
/// kept per boot id (proc/sys/kernel/random/boot_id) in $QMA_STATE_DIR, so it
/// stays the same for the whole boot even when the clock is stepped. On Windows: the
/// System log (OpenEventLog, ReadEventLog newest first) down to its newest 6005 record;
/// the open fails with GetLastError(), and an empty log's first read with kErrorHandleEof.
[[nodiscard]] Result<EventLogReader> open_system_event_log();

/// Replaces where open_system_event_log takes its records (tests); an empty
/// function restores the host's own log.
using EventLogSource = std::function<Result<std::vector<EventLogEntry>>()>;
void set_system_event_log_source(EventLogSource source);

}  // namespace qma::platform
