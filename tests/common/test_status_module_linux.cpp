// A module status rewrite that a file size limit (Linux rlimit) cuts short.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <atomic>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "common/log/qma_log.h"
#include "common/qma_config.h"
#include "common/status/qma_status.h"
#include "support/temp_roots.h"

namespace {

namespace fs = std::filesystem;
using qma::test::read_text;
using qma::test::TempRoots;

class ModuleStatus : public ::testing::Test {
 protected:
  void SetUp() override {
    qma::log::reset_for_testing();
    root_ = roots_.base() / "QMA_PKGROOT";
    fs::create_directories(root_);
    std::memset(g_QMAConfig.PkgSavePath, 0, sizeof(g_QMAConfig.PkgSavePath));
    std::strncpy(g_QMAConfig.PkgSavePath, root_.c_str(), sizeof(g_QMAConfig.PkgSavePath) - 1);
    log_dir_ = roots_.base() / "QMA_LOGROOT";
    fs::create_directories(log_dir_);
    ASSERT_EQ(QMA_InitializeForLogFile(log_dir_.c_str(), 10000, &log_holder_), 1);
  }
  void TearDown() override {
    QMA_FinalizeForLogFile(&log_holder_);
    qma::log::reset_for_testing();
    std::memset(g_QMAConfig.PkgSavePath, 0, sizeof(g_QMAConfig.PkgSavePath));
  }
  fs::path status_file(const std::string& module) const { return root_ / module / "ModuleStatus"; }
  void write_status(const std::string& module, const std::string& text) const {
    fs::create_directories(root_ / module);
    std::ofstream(status_file(module), std::ios::binary) << text;
  }
  std::string agent_log() const { return read_text(log_dir_ / "QMAgent.log"); }

  TempRoots roots_;
  fs::path root_, log_dir_;
  QMA_MUTEX_HANDLE log_holder_ = nullptr;
};

struct SetRow {
  const char* name;
  const char* before;  // nullptr: no file
  int status;
  const char* option;  // nullptr: module level
  const char* after;
};

TEST_F(ModuleStatus, FailedRewriteLeavesTheOldFileWhole) {
  write_status("60000000", "0\nOPT1=0\nOPT2=0\n");
  // A file size limit makes the write stop after a few bytes, as a full disk would.
  auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit old_limit{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old_limit), 0);
  rlimit small = old_limit;
  small.rlim_cur = 4;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  QMA_Cmn_Set_ModuleStatus("60000000", 3, nullptr);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &old_limit), 0);
  std::signal(SIGXFSZ, old_handler);
  EXPECT_EQ(read_text(status_file("60000000")), "0\nOPT1=0\nOPT2=0\n");
  for (const auto& entry : fs::directory_iterator(root_ / "60000000")) {
    EXPECT_EQ(entry.path().filename(), "ModuleStatus");  // no temporary file left behind
  }
}

}  // namespace
