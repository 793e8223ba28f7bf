// Module status files: keep rule, option lines, reset after reboot, result-file sweep, mutexes.
// A rewrite cut short by a file size limit, and the reset beside a folder link, are tried in
// test_status_module_linux.cpp.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "common/log/qma_log.h"
#include "common/module_status_fixture.h"
#include "common/qma_config.h"
#include "common/status/qma_status.h"
#include "support/temp_roots.h"

namespace {

namespace fs = std::filesystem;
using qma::test::path_text;
using qma::test::read_text;
using qma::test::TempRoots;

using qma::test::ModuleStatus;

struct SetRow {
  const char* name;
  const char* before;  // nullptr: no file
  int status;
  const char* option;  // nullptr: module level
  const char* after;
};

TEST_F(ModuleStatus, SetRewritesTheRightLine) {
  const SetRow rows[] = {
      {"option_replaced_in_place", "0\nOPT1=0\nOPT2=0\n", 3, "OPT1", "0\nOPT1=3\nOPT2=0\n"},
      {"new_option_appended", "0\nOPT1=0\nOPT2=0\n", 4, "OPT3", "0\nOPT1=0\nOPT2=0\nOPT3=4\n"},
      {"prefix_option_replaces_both", "0\nOPT1=0\nOPT2=0\n", 5, "OPT", "0\nOPT=5\nOPT=5\n"},
      {"option_on_module_without_file", nullptr, 6, "OPT", "6\nOPT=6\n"},
      {"module_level_keeps_options", "0\nOPT1=4\n", 3, nullptr, "3\nOPT1=4\n"},
      {"module_level_new_file", nullptr, 5, nullptr, "5\n"},
      {"empty_lines_disappear", "0\n\n\nOPT1=0\n", 4, nullptr, "4\nOPT1=0\n"},
      {"option_drops_lines_without_equals", "0\njunk\nOPT1=0\n", 3, "OPT1", "0\nOPT1=3\n"},
      {"crlf_file_is_read", "0\r\nOPT1=0\r\n", 3, "OPT1", "0\nOPT1=3\n"},
      {"stored_reboot_is_kept", "1\n", 0, nullptr, "1\n"},
      {"stored_failure_is_kept", "2\n", 6, nullptr, "2\n"},
      {"option_reboot_is_kept", "0\nOPT1=1\n", 0, "OPT1", "0\nOPT1=1\n"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    fs::remove_all(root_ / "10000000");
    if (row.before != nullptr) write_status("10000000", row.before);
    fs::create_directories(root_ / "10000000");
    QMA_Cmn_Set_ModuleStatus("10000000", row.status, row.option);
    EXPECT_EQ(read_text(status_file("10000000")), row.after);
  }
}

TEST_F(ModuleStatus, FileNamedInAnotherCaseIsTheStatusFile) {
  fs::create_directories(root_ / "05000000");
  std::ofstream(root_ / "05000000" / "modulestatus", std::ios::binary) << "0\nOPT=3\n";
  EXPECT_EQ(QMA_Cmn_Get_ModuleStatus("05000000", "OPT"), 3);
  QMA_Cmn_Set_ModuleStatus("05000000", 4, "OPT");
  EXPECT_EQ(read_text(root_ / "05000000" / "modulestatus"), "0\nOPT=4\n");
  EXPECT_EQ(qma::test::names_without_case(root_ / "05000000", "ModuleStatus"),
            std::vector<std::string>{"modulestatus"})
      << "no second file beside it";
}

TEST_F(ModuleStatus, KeepRuleLogsAndRebootResetClears) {
  write_status("20000000", "1\n");
  QMA_Cmn_Set_ModuleStatus("20000000", 0, nullptr);
  EXPECT_EQ(read_text(status_file("20000000")), "1\n");
  EXPECT_NE(agent_log().find("Do not update ModuleStatus. CurrentStatus[1]. SetStatus[0]"),
            std::string::npos);

  QMA_Cmn_ModuleStatus_ResetAll();
  EXPECT_EQ(read_text(status_file("20000000")), "0\n");
  EXPECT_EQ(QMA_Cmn_Get_ModuleStatus("20000000", nullptr), 0);
}

TEST_F(ModuleStatus, ReaderPrefixMatchAndMissingEntries) {
  write_status("30000000", "4\nOPT=5\nOPT1=3\n");
  EXPECT_EQ(QMA_Cmn_Get_ModuleStatus("30000000", nullptr), 4);
  EXPECT_EQ(QMA_Cmn_Get_ModuleStatus("30000000", "OPT1"),
            5);  // "OPT" is a prefix of it: first match
  EXPECT_EQ(QMA_Cmn_Get_ModuleStatus("30000000", "XYZ"), -1);
  EXPECT_EQ(QMA_Cmn_Get_ModuleStatus("40000000", nullptr), -1);
  write_status("50000000", "");
  EXPECT_EQ(QMA_Cmn_Get_ModuleStatus("50000000", nullptr), -1);
}

TEST_F(ModuleStatus, SweepDeletesStaleResultFiles) {
  const char* all[] = {"Get_version.xml", "Update_normal.xml", "Update_force.xml",
                       "Install.xml",     "Un_install.xml",    "Get_ratio.xml"};
  // 12000000's update was answered by the previous run: its update answers stay, as the
  // agent's own do.
  for (const char* module : {"02000000", "11000000", "12000000"}) {
    fs::create_directories(root_ / module);
    for (const char* name : all) std::ofstream(root_ / module / name) << "x";
    std::ofstream(root_ / module / "QuillInfo.xml") << "keep";
  }
  QMA_Cmn_SweepResultFiles(path_text(root_).c_str(), "12000000");
  for (const char* name : all) {
    SCOPED_TRACE(name);
    EXPECT_FALSE(fs::exists(root_ / "11000000" / name));
    bool update_answer =
        std::strcmp(name, "Get_version.xml") != 0 && std::strcmp(name, "Get_ratio.xml") != 0;
    EXPECT_EQ(fs::exists(root_ / "02000000" / name), update_answer);
    EXPECT_EQ(fs::exists(root_ / "12000000" / name), update_answer);
  }
  EXPECT_TRUE(fs::exists(root_ / "11000000" / "QuillInfo.xml"));
  QMA_Cmn_SweepResultFiles(path_text(root_ / "missing").c_str(), nullptr);  // no root: nothing
}

TEST(StatusMutex, RecursiveOwnerAndTimedWaitOfOthers) {
  TempRoots roots;
  QMA_CMN_MUTEX_HANDLE mutex = nullptr;
  ASSERT_EQ(QMA_Cmn_CreateMutex(&mutex, nullptr), 1);
  EXPECT_EQ(QMA_Cmn_CreateMutex(&mutex, nullptr), 0);  // holder already full
  EXPECT_EQ(QMA_Cmn_CreateMutex(nullptr, nullptr), 0);
  ASSERT_EQ(QMA_Cmn_LockMutex(mutex, 100), 1);
  ASSERT_EQ(QMA_Cmn_LockMutex(mutex, 100), 1);  // same thread again
  int other = -1;
  std::thread([&] { other = QMA_Cmn_LockMutex(mutex, 20); }).join();
  EXPECT_EQ(other, 0);
  QMA_Cmn_UnlockMutex(mutex);
  std::thread([&] { other = QMA_Cmn_LockMutex(mutex, 20); }).join();
  EXPECT_EQ(other, 0);  // still held once
  QMA_Cmn_UnlockMutex(mutex);
  std::thread([&] {
    other = QMA_Cmn_LockMutex(mutex, 20);
    QMA_Cmn_UnlockMutex(mutex);
  }).join();
  EXPECT_EQ(other, 1);
  EXPECT_EQ(QMA_Cmn_LockMutex(nullptr, 10), 0);
  QMA_Cmn_FreeMutex(mutex);
}

TEST(StatusMutex, NamedMutexIsSharedByName) {
  TempRoots roots;
  QMA_CMN_MUTEX_HANDLE first = nullptr, second = nullptr;
  ASSERT_EQ(QMA_Cmn_CreateMutex(&first, "QMA_TEST_STATUS_MUTEX"), 1);
  ASSERT_EQ(QMA_Cmn_CreateMutex(&second, "QMA_TEST_STATUS_MUTEX"), 1);
  ASSERT_EQ(QMA_Cmn_LockMutex(first, 100), 1);
  int other = -1;
  std::thread([&] { other = QMA_Cmn_LockMutex(second, 20); }).join();
  EXPECT_EQ(other, 0);
  QMA_Cmn_UnlockMutex(first);
  QMA_Cmn_FreeMutex(first);
  QMA_Cmn_FreeMutex(second);
}

}  // namespace
