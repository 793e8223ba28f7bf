// Reboot detection on Linux: a state file behind a symbolic link, and the host's boot facts
// (/proc/stat, boot_id) in place of the event log.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include "commands/qma_commands.h"
#include "commands/reboot_detection_fixture.h"
#include "manager_if/agent_harness.h"
#include "platform/event_log.h"

namespace {

using qma::platform::EventLogEntry;
using qma::test::RebootDetectionTest;

constexpr uint32_t kStart = qma::platform::kEventLogStarted;

TEST_F(RebootDetectionTest, AStateFileThatCannotBeWrittenIsReported) {
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full on this host";
  // A link in the state file's place (here to a device every write to fails) is neither read
  // nor written through: both are reported, and the link stays.
  std::filesystem::remove(state_file());
  std::filesystem::create_symlink("/dev/full", state_file());
  use_log(std::vector<EventLogEntry>{{kStart, 3000, 8}});
  const std::string refused =
      "fopen error! file=[" + state_file().string() + "] errno=[" + std::to_string(ELOOP) + "]";
  int before = agent_.count_in_log(refused);
  EXPECT_EQ(QMA_CheckSystemReboot(), 0) << "no valid earlier time: not a restart";
  EXPECT_EQ(agent_.count_in_log(refused), before + 2);
  EXPECT_TRUE(std::filesystem::is_symlink(state_file()));
  std::filesystem::remove(state_file());
}

TEST_F(RebootDetectionTest, HostLogKeepsOneStartTimePerBoot) {
  qma::platform::set_system_event_log_source(nullptr);
  auto& roots = agent_.roots_;
  roots.write_host_file("proc/stat", "cpu  1 2 3\nbtime 1700000100\nprocesses 5\n");
  roots.write_host_file("proc/sys/kernel/random/boot_id", "boot-a\n");
  long time = 0;
  ASSERT_EQ(QMA_SerchEventLog(&time), 1);
  EXPECT_EQ(time, 1700000100);
  // A stepped clock moves btime; the same boot keeps its first time.
  roots.write_host_file("proc/stat", "btime 1700000160\n");
  ASSERT_EQ(QMA_SerchEventLog(&time), 1);
  EXPECT_EQ(time, 1700000100);
  EXPECT_EQ(QMA_CheckSystemReboot(), 0) << "first start records the time";
  EXPECT_EQ(QMA_CheckSystemReboot(), 0) << "agent restart";
  roots.write_host_file("proc/sys/kernel/random/boot_id", "boot-b\n");
  roots.write_host_file("proc/stat", "btime 1700090000\n");
  EXPECT_EQ(QMA_CheckSystemReboot(), 1) << "host restart";
  EXPECT_EQ(qma::test::read_text(state_file()), "1700090000");
  std::filesystem::remove(roots.host() / "proc" / "stat");
  EXPECT_EQ(QMA_SerchEventLog(&time), 0) << "no boot facts: the log cannot be read";
}

}  // namespace
