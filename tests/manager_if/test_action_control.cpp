// The action control table admits and refuses commands by what is running.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "manager_if/action_control.h"
#include "platform/event.h"
#include "platform/named_mutex.h"
#include "support/temp_roots.h"

namespace {

class ActionControlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    qma::manager_if::reset_action_control();
    ASSERT_EQ(QMA_ActCtrlTbl_CreateMutex(&mutex_), 1);
  }
  void TearDown() override {
    QMA_ActCtrlTbl_CloseMutex(mutex_);
    qma::manager_if::reset_action_control();
  }
  // The codes 0..7 admitted while the given actions run.
  std::string admitted_while(const std::vector<int>& running) {
    for (int code : running) EXPECT_EQ(QMA_UpdateForActCtrlTbl(mutex_, 1, code), 1);
    std::string admitted;
    for (int code = 0; code < 8; ++code) {
      int reason = -1;
      if (QMA_CheckForActCtrlTbl(mutex_, code, &reason) == 1) {
        admitted += std::to_string(code);
      } else {
        EXPECT_EQ(reason, 1) << "refused code " << code << " must name the running action";
      }
    }
    for (int code : running) EXPECT_EQ(QMA_UpdateForActCtrlTbl(mutex_, 0, code), 1);
    return admitted;
  }

  qma::test::TempRoots roots_;
  QMA_ACTCTRL_MUTEX mutex_ = nullptr;
};

TEST_F(ActionControlTest, AdmissionFollowsTheExclusionMatrix) {
  struct Row {
    const char* name;
    std::vector<int> running;
    const char* admitted;
  };
  const Row rows[] = {
      {"nothing running", {}, "01234567"},
      {"agent information", {0}, "01234567"},
      {"get version", {1}, "014567"},
      {"repository registration", {2}, "04567"},
      {"update", {3}, "014567"},
      {"progress", {4}, "01567"},
      {"reboot", {5}, ""},
      {"shutdown", {6}, ""},
      {"log collection", {7}, "0123456"},
      {"update and log collection", {3, 7}, "01456"},
      {"two get versions", {1, 1}, "014567"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(admitted_while(row.running), row.admitted) << row.name;
  }
}

TEST_F(ActionControlTest, CountersCountEveryRunningAction) {
  ASSERT_EQ(QMA_UpdateForActCtrlTbl(mutex_, 1, 1), 1);
  ASSERT_EQ(QMA_UpdateForActCtrlTbl(mutex_, 1, 1), 1);
  int32_t counters[8];
  qma::manager_if::action_control_counters(counters);
  EXPECT_EQ(counters[2], 2);
  EXPECT_EQ(counters[3], 2);
  ASSERT_EQ(QMA_UpdateForActCtrlTbl(mutex_, 0, 1), 1);
  int reason = -1;
  EXPECT_EQ(QMA_CheckForActCtrlTbl(mutex_, 2, &reason), 0) << "one get version still runs";
  ASSERT_EQ(QMA_UpdateForActCtrlTbl(mutex_, 0, 1), 1);
  EXPECT_EQ(QMA_CheckForActCtrlTbl(mutex_, 2, &reason), 1);
}

TEST_F(ActionControlTest, ReleaseNeverDrivesCountersBelowZero) {
  ASSERT_EQ(QMA_UpdateForActCtrlTbl(mutex_, 0, 5), 1);
  int32_t counters[8];
  qma::manager_if::action_control_counters(counters);
  for (int32_t c : counters) EXPECT_EQ(c, 0);
  ASSERT_EQ(QMA_UpdateForActCtrlTbl(mutex_, 1, 3), 1);
  EXPECT_EQ(admitted_while({}), "014567");
}

TEST_F(ActionControlTest, CodesOutsideTheTableTouchNothing) {
  for (int code : {8, -1, 1000, 2147483647, -2147483647 - 1}) {
    int reason = -1;
    EXPECT_EQ(QMA_CheckForActCtrlTbl(mutex_, code, &reason), 1) << code;
    EXPECT_EQ(QMA_UpdateForActCtrlTbl(mutex_, 1, code), 1) << code;
    int32_t counters[8];
    qma::manager_if::action_control_counters(counters);
    for (int32_t c : counters) EXPECT_EQ(c, 0) << code;
    EXPECT_EQ(QMA_UpdateForActCtrlTbl(mutex_, 0, code), 1) << code;
  }
}

TEST_F(ActionControlTest, ASecondCreateIntoAFullSlotFails) {
  EXPECT_EQ(QMA_ActCtrlTbl_CreateMutex(&mutex_), 0);
  EXPECT_NE(mutex_, nullptr);
  QMA_ACTCTRL_MUTEX second = nullptr;
  EXPECT_EQ(QMA_ActCtrlTbl_CreateMutex(&second), 1) << "opens the existing mutex";
  QMA_ActCtrlTbl_CloseMutex(second);
}

TEST_F(ActionControlTest, ALockHeldElsewhereRefusesWithReasonZero) {
  qma::platform::Event held(true, false);
  qma::platform::Event done(true, false);
  std::thread holder([&] {
    auto other = qma::platform::NamedMutex::open(QMA_ACTCTRLTBL_MUTEX_NAME);
    ASSERT_TRUE(other.ok());
    ASSERT_EQ(other->wait(1000), qma::platform::WaitStatus::kSignaled);
    held.set();
    (void)done.wait(5000);
    other->release();
  });
  ASSERT_EQ(held.wait(5000), qma::platform::WaitStatus::kSignaled);
  int reason = -1;
  EXPECT_EQ(QMA_CheckForActCtrlTbl(mutex_, 0, &reason), 0);
  EXPECT_EQ(reason, 0);
  EXPECT_EQ(QMA_UpdateForActCtrlTbl(mutex_, 1, 3), 0);
  done.set();
  holder.join();
  EXPECT_EQ(QMA_CheckForActCtrlTbl(mutex_, 0, &reason), 1);
  int32_t counters[8];
  qma::manager_if::action_control_counters(counters);
  EXPECT_EQ(counters[3], 0) << "a failed registration changes nothing";
  EXPECT_EQ(QMA_ActCtrlTbl_Lock(nullptr), 0);
}

}  // namespace
