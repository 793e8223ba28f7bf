// The System event log is read newest first in whole records, or refused with an error number.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "platform/error.h"
#include "platform/event_log.h"
#include "test_roots.h"

namespace {

using qma::platform::EventLogRecordHead;
using qma::platform::kErrorHandleEof;
using qma::platform::kErrorInsufficientBuffer;

TEST(EventLog, SystemLogEndsAtItsNewestStartRecordOrRefusesWithTheSystemsError) {
  qma::test::win32::TestRoots roots;
  auto log = qma::platform::open_system_event_log();
  if (!log.ok()) {
    // A system without the log service: the open reports why.
    EXPECT_NE(log.error(), 0);
    EXPECT_EQ(qma::platform::last_error(), log.error());
    return;
  }
  // The reader's own rules with the host's records: the first buffer is the agent's 2048
  // bytes, a bigger one when a record needs it, and the reads end with end-of-log.
  std::vector<unsigned char> buffer(2048);
  std::vector<EventLogRecordHead> heads;
  int end = 0;
  for (int reads = 0; reads < 100000 && end == 0; ++reads) {
    uint32_t read = 0;
    uint32_t needed = 0;
    auto status =
        log->read_backwards(buffer.data(), static_cast<uint32_t>(buffer.size()), &read, &needed);
    if (!status.ok()) {
      if (status.error() == kErrorInsufficientBuffer) {
        ASSERT_GT(needed, buffer.size());
        buffer.resize(needed);
        continue;
      }
      end = status.error();
      break;
    }
    ASSERT_GT(read, 0u);
    for (uint32_t offset = 0; offset < read;) {
      EventLogRecordHead head;
      ASSERT_LE(offset + sizeof head, read);
      std::memcpy(&head, buffer.data() + offset, sizeof head);
      ASSERT_GE(head.length, sizeof head);
      heads.push_back(head);
      offset += head.length;
    }
  }
  EXPECT_EQ(end, kErrorHandleEof);
  EXPECT_EQ(qma::platform::last_error(), kErrorHandleEof);
  // An empty log reads nothing; otherwise the records stop at the newest start of the log
  // service, when there is one: it is the last record read and the only one of its kind.
  for (size_t i = 0; i + 1 < heads.size(); ++i) {
    EXPECT_NE(heads[i].event_id & 0xFFFFu, qma::platform::kEventLogStarted) << i;
  }
}

TEST(EventLog, AnInjectedSourceStillReplacesTheSystemLog) {
  qma::test::win32::TestRoots roots;
  qma::platform::set_system_event_log_source([] {
    return qma::platform::Result<std::vector<qma::platform::EventLogEntry>>(
        std::vector<qma::platform::EventLogEntry>{{7036, 100, 40}, {6005, 200, 96}});
  });
  auto log = qma::platform::open_system_event_log();
  qma::platform::set_system_event_log_source(nullptr);
  ASSERT_TRUE(log.ok()) << log.error();
  unsigned char buffer[2048];
  uint32_t read = 0;
  uint32_t needed = 0;
  ASSERT_TRUE(log->read_backwards(buffer, sizeof buffer, &read, &needed).ok());
  EventLogRecordHead newest;
  std::memcpy(&newest, buffer, sizeof newest);
  EXPECT_EQ(newest.event_id, 6005u);
  EXPECT_EQ(newest.time_written, 200u);
  EXPECT_EQ(read, 2 * sizeof(EventLogRecordHead) + 40 + 96);
}

}  // namespace
