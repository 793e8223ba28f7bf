// The agent status: transition table, start-up restore and reset, and the file format.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/status/qma_status.h"
#include "support/temp_roots.h"

namespace {

using qma::test::read_text;
using qma::test::TempRoots;

class AgentStatus : public ::testing::Test {
 protected:
  void SetUp() override {
    qma::status::forget_agent_status_path();
    qma::status::set_agent_status_for_test(0, 0);
  }
  void TearDown() override { qma::status::forget_agent_status_path(); }
  std::string status_file() const { return (roots_.bin() / "QMAgentStatus").string(); }
  void write_status_file(const std::string& text) const {
    std::ofstream(status_file(), std::ios::binary) << text;
  }
  std::pair<int, int> memory() const {
    int state = -1, pending = -1;
    qma::status::agent_status(&state, &pending);
    return {state, pending};
  }
  TempRoots roots_;
};

struct TransitionRow {
  const char* name;
  int state, pending, request;
  int want_state, want_pending;
};

TEST_F(AgentStatus, TransitionTable) {
  const TransitionRow rows[] = {
      {"normal_to_normal", 0, 0, 0, 0, 0},
      {"normal_to_busy", 0, 0, 1, 1, 0},
      {"normal_ignores_reboot_request", 0, 0, 2, 0, 0},
      {"normal_to_disabled", 0, 0, 3, 3, 0},
      {"busy_done_without_pending_reboot", 1, 0, 0, 0, 0},
      {"busy_done_with_pending_reboot", 1, 1, 0, 2, 1},
      {"busy_stays_busy", 1, 0, 1, 1, 0},
      {"busy_to_reboot_sets_pending", 1, 0, 2, 2, 1},
      {"busy_ignores_disable", 1, 0, 3, 1, 0},
      {"reboot_stays_on_normal_request", 2, 1, 0, 2, 1},
      {"reboot_to_busy", 2, 1, 1, 1, 1},
      {"reboot_stays_reboot", 2, 1, 2, 2, 1},
      {"reboot_to_disabled", 2, 1, 3, 3, 1},
      {"disabled_ignores_normal", 3, 0, 0, 3, 0},
      {"disabled_ignores_busy", 3, 0, 1, 3, 0},
      {"disabled_ignores_reboot", 3, 0, 2, 3, 0},
      {"disabled_stays_disabled", 3, 0, 3, 3, 0},
      {"busy_after_reboot_back_to_reboot", 1, 1, 0, 2, 1},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    std::filesystem::remove(status_file());
    qma::status::set_agent_status_for_test(row.state, row.pending);
    QMA_Cmn_AgentStatus_Change(row.request);
    EXPECT_EQ(memory(), std::make_pair(row.want_state, row.want_pending));
    // Written after every call, changed or not.
    EXPECT_EQ(read_text(status_file()),
              std::to_string(row.want_state) + " " + std::to_string(row.want_pending));
  }
}

struct RestoreRow {
  const char* name;
  const char* file;  // nullptr: no file
  int want_state, want_pending;
};

TEST_F(AgentStatus, RestoreFromFile) {
  const RestoreRow rows[] = {
      {"busy_with_pending_reboot_becomes_reboot", "1 1", 2, 1},
      {"busy_without_pending_becomes_normal", "1 0", 0, 0},
      {"reboot_keeps_pending", "2 1", 2, 1},
      {"reboot_gets_pending_even_if_file_lost_it", "2 0", 2, 1},
      {"normal_drops_pending", "0 1", 0, 0},
      {"disabled_stays_disabled_when_enabled", "3 0", 3, 0},
      {"state_out_of_range", "7 0", 0, 0},
      {"negative_state", "-1 0", 0, 0},
      {"flag_out_of_range", "1 2", 0, 0},
      {"line_break_between_numbers", "1\n1", 0, 0},
      {"one_number", "2", 0, 0},
      {"garbage", "busy yes", 0, 0},
      {"empty_file", "", 0, 0},
      {"huge_number", "99999999999 1", 0, 0},
      {"no_file", nullptr, 0, 0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    std::filesystem::remove(status_file());
    if (row.file != nullptr) write_status_file(row.file);
    qma::status::set_agent_status_for_test(0, 0);
    QMA_Cmn_AgentStatus_Restore(1);
    EXPECT_EQ(memory(), std::make_pair(row.want_state, row.want_pending));
    EXPECT_EQ(read_text(status_file()),
              std::to_string(row.want_state) + " " + std::to_string(row.want_pending));
  }
}

TEST_F(AgentStatus, RestoreWhenDisabledIgnoresFileAndKeepsPendingFlag) {
  write_status_file("1 1");
  QMA_Cmn_AgentStatus_Restore(0);
  EXPECT_EQ(memory(), std::make_pair(3, 0));
  EXPECT_EQ(read_text(status_file()), "3 0");
}

TEST_F(AgentStatus, ResetAfterRebootDependsOnlyOnEnabledFlag) {
  write_status_file("2 1");
  QMA_Cmn_AgentStatus_Reset(1);
  EXPECT_EQ(memory(), std::make_pair(0, 0));
  EXPECT_EQ(read_text(status_file()), "0 0");
  QMA_Cmn_AgentStatus_Reset(0);
  EXPECT_EQ(memory(), std::make_pair(3, 0));
  EXPECT_EQ(read_text(status_file()), "3 0");
}

TEST_F(AgentStatus, GetFileGivesZerosUnlessValid) {
  int state = 9, pending = 9;
  write_status_file("2 1\n");
  QMA_Cmn_QMAgentStatus_GetFile(&state, &pending);
  EXPECT_EQ(std::make_pair(state, pending), std::make_pair(2, 1));
  write_status_file("3 -1");
  QMA_Cmn_QMAgentStatus_GetFile(&state, &pending);
  EXPECT_EQ(std::make_pair(state, pending), std::make_pair(0, 0));
}

TEST_F(AgentStatus, StateWordsAndCutting) {
  const std::pair<int, const char*> words[] = {
      {0, "normal"}, {1, "busy"}, {2, "reboot"}, {3, "disabled"}, {8, "unknown"}};
  for (const auto& [state, word] : words) {
    qma::status::set_agent_status_for_test(state, 0);
    char buffer[16];
    std::memset(buffer, 'x', sizeof(buffer));
    QMA_Cmn_AgentStatus_GetString(buffer, sizeof(buffer));
    EXPECT_STREQ(buffer, word);
  }
  qma::status::set_agent_status_for_test(3, 0);
  char small[5];
  QMA_Cmn_AgentStatus_GetString(small, sizeof(small));
  EXPECT_STREQ(small, "disa");
}

TEST_F(AgentStatus, StatusFileNamedInAnotherCaseIsReadAndRewritten) {
  const auto other_case = roots_.bin() / "qmagentstatus";
  std::ofstream(other_case, std::ios::binary) << "1 1";
  int state = -1, pending = -1;
  QMA_Cmn_QMAgentStatus_GetFile(&state, &pending);
  EXPECT_EQ(state, 1);
  EXPECT_EQ(pending, 1);
  QMA_Cmn_QMAgentStatus_PutFile(2, 1);
  EXPECT_EQ(read_text(other_case), "2 1");
  EXPECT_EQ(qma::test::names_without_case(roots_.bin(), "QMAgentStatus"),
            std::vector<std::string>{"qmagentstatus"})
      << "no second file beside it";
}

TEST_F(AgentStatus, WritePathIsKeptOnceResolved) {
  QMA_Cmn_QMAgentStatus_PutFile(1, 0);
  ASSERT_EQ(read_text(status_file()), "1 0");
  TempRoots other;  // AXIS2C_HOME now points elsewhere
  QMA_Cmn_QMAgentStatus_PutFile(2, 1);
  EXPECT_EQ(read_text(status_file()), "2 1");
  EXPECT_FALSE(std::filesystem::exists(other.bin() / "QMAgentStatus"));
}

}  // namespace
