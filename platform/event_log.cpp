// Reading an event log backwards in whole records, with the buffer rules of the Windows reader.
#include "platform/event_log.h"

#include <cstring>
#include <mutex>
#include <utility>

#include "platform/error.h"

namespace qma::platform {

namespace {

std::mutex g_source_mutex;
EventLogSource g_source;

}  // namespace

// The host's own log; defined by each OS backend.
Result<std::vector<EventLogEntry>> read_host_event_log();

EventLogReader::EventLogReader(std::vector<EventLogEntry> oldest_first)
    : entries_(std::move(oldest_first)) {}

Status EventLogReader::read_backwards(void* buffer, uint32_t size, uint32_t* bytes_read,
                                      uint32_t* bytes_needed) {
  *bytes_read = 0;
  *bytes_needed = 0;
  if (next_ >= entries_.size()) {
    set_last_error(kErrorHandleEof);
    return Status::failure(kErrorHandleEof);
  }
  auto* out = static_cast<unsigned char*>(buffer);
  uint32_t used = 0;
  while (next_ < entries_.size()) {
    const EventLogEntry& entry = entries_[entries_.size() - 1 - next_];
    uint32_t length = static_cast<uint32_t>(sizeof(EventLogRecordHead)) + entry.data_size;
    if (length > size - used) {
      if (used == 0) {
        *bytes_needed = length;
        set_last_error(kErrorInsufficientBuffer);
        return Status::failure(kErrorInsufficientBuffer);
      }
      break;
    }
    EventLogRecordHead head{length,
                            0x654c664c,
                            static_cast<uint32_t>(entries_.size() - next_),
                            entry.time_written,
                            entry.time_written,
                            entry.event_id};
    std::memcpy(out + used, &head, sizeof head);
    std::memset(out + used + sizeof head, 0, entry.data_size);
    used += length;
    ++next_;
  }
  *bytes_read = used;
  return Status::success();
}

Result<EventLogReader> open_system_event_log() {
  EventLogSource source;
  {
    std::lock_guard<std::mutex> lock(g_source_mutex);
    source = g_source;
  }
  auto entries = source ? source() : read_host_event_log();
  if (!entries.ok()) {
    set_last_error(entries.error());
    return Result<EventLogReader>::failure(entries.error());
  }
  return EventLogReader(std::move(entries.value()));
}

void set_system_event_log_source(EventLogSource source) {
  std::lock_guard<std::mutex> lock(g_source_mutex);
  g_source = std::move(source);
}

}  // namespace qma::platform
