// Reboot detection: the newest start record of the event log against the time kept last run.
// A state file behind a link and the Linux host's boot facts are tried in
// test_reboot_detection_linux.cpp.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "commands/qma_commands.h"
#include "commands/reboot_detection_fixture.h"
#include "manager_if/agent_harness.h"
#include "platform/error.h"
#include "platform/event_log.h"

namespace {

using qma::platform::EventLogEntry;

constexpr uint32_t kStart = qma::platform::kEventLogStarted;
using qma::test::RebootDetectionTest;

TEST_F(RebootDetectionTest, StateFileAndNewestStartRecordDecide) {
  struct Row {
    const char* name;
    std::optional<std::string> file;                // nullopt: no state file
    std::optional<std::vector<EventLogEntry>> log;  // nullopt: the log cannot be opened
    int result;
    std::optional<std::string> file_after;
    const char* log_line;
  };
  const std::vector<EventLogEntry> at_1000 = {
      {7036, 900, 40}, {kStart, 1000, 80}, {7036, 1100, 40}};
  const std::vector<EventLogEntry> at_2000 = {{kStart, 1000, 80}, {kStart, 2000, 80}};
  const Row rows[] = {
      {"first start", std::nullopt, at_1000, 0, "1000", nullptr},
      {"agent restarted", "1000", at_1000, 0, "1000", "QMA is rebooted"},
      {"host restarted", "1000", at_2000, 1, "2000", "System is rebooted"},
      {"number with a line break", "1000\n", at_1000, 0, "1000", "Invalid file data!"},
      {"zero", "0", at_1000, 0, "1000", "Invalid file data!"},
      {"negative", "-7", at_1000, 0, "1000", "Invalid file data!"},
      {"too large", "2147483647", at_1000, 0, "1000", "Invalid file data!"},
      {"trailing blank", "2000 ", at_2000, 0, "2000", "Invalid file data!"},
      {"not a number", "abc", at_1000, 0, "1000", "Invalid file data!"},
      {"empty file", "", at_2000, 0, "2000", "fgets error!"},
      {"largest valid time", "2147483646", std::vector<EventLogEntry>{{kStart, 2147483646u, 8}}, 0,
       "2147483646", "QMA is rebooted"},
      {"no start record", "1000", std::vector<EventLogEntry>{{7036, 5000, 8}}, 0, "1000",
       "Read event log at end"},
      {"empty log without a file", std::nullopt, std::vector<EventLogEntry>{}, 0, std::nullopt,
       "Read event log at end"},
      {"unreadable log", "1000", std::nullopt, 1, "1000", "OpenEventLog error (5)"},
  };
  for (const Row& row : rows) {
    std::filesystem::remove(state_file());
    if (row.file) std::ofstream(state_file(), std::ios::binary) << *row.file;
    use_log(row.log);
    int before = row.log_line != nullptr ? agent_.count_in_log(row.log_line) : 0;
    EXPECT_EQ(QMA_CheckSystemReboot(), row.result) << row.name;
    if (row.file_after) {
      EXPECT_EQ(qma::test::read_text(state_file()), *row.file_after) << row.name;
    } else {
      EXPECT_FALSE(std::filesystem::exists(state_file())) << row.name;
    }
    if (row.log_line != nullptr) {
      EXPECT_GT(agent_.count_in_log(row.log_line), before) << row.name << ": " << row.log_line;
    }
  }
}

TEST_F(RebootDetectionTest, StateFileNamedInAnotherCaseIsRead) {
  const auto other_case = agent_.roots_.home() / "bin" / "qma_sys_EVLOGSTART";
  std::filesystem::remove(state_file());
  std::ofstream(other_case, std::ios::binary) << "1000";
  use_log(std::vector<EventLogEntry>{{kStart, 2000, 8}});
  EXPECT_EQ(QMA_CheckSystemReboot(), 1);
  EXPECT_EQ(qma::test::read_text(other_case), "2000");
  // No second file beside it (where names differ only by case, both name one file).
  EXPECT_EQ(qma::test::names_without_case(other_case.parent_path(), "qma_sys_evlogstart"),
            std::vector<std::string>{"qma_sys_EVLOGSTART"});
}

TEST_F(RebootDetectionTest, StartRecordBeyondTheFirstBufferIsFound) {
  std::vector<EventLogEntry> log = {{kStart, 4242, 80}};
  for (int i = 0; i < 40; ++i) log.push_back({7036, 5000u + i, 100});  // newer, 124 bytes each
  log.push_back({7001, 9000, 5000});  // the newest record alone is larger than 2048 bytes
  use_log(log);
  long time = 0;
  EXPECT_EQ(QMA_SerchEventLog(&time), 1);
  EXPECT_EQ(time, 4242);
  use_log(std::vector<EventLogEntry>{{kStart | 0x40000000u, 77, 0}});
  EXPECT_EQ(QMA_SerchEventLog(&time), 1) << "only the low 16 bits of the id count";
  EXPECT_EQ(time, 77);
}

TEST_F(RebootDetectionTest, WithoutInstallationRootNothingIsTouched) {
  use_log(std::vector<EventLogEntry>{{kStart, 3000, 8}});
  qma::test::unset_env("AXIS2C_HOME");
  EXPECT_EQ(QMA_CheckSystemReboot(), 0);
  qma::test::set_env("AXIS2C_HOME", qma::test::path_text(agent_.roots_.home()));
  EXPECT_FALSE(std::filesystem::exists(state_file()));
  EXPECT_GE(agent_.count_in_log("getenv AXIS2C_HOME error!"), 1);
}

}  // namespace
