// Module status on Linux: a rewrite that a file size limit (rlimit) cuts short, and the reset
// beside a folder link.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <atomic>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "common/log/qma_log.h"
#include "common/module_status_fixture.h"
#include "common/qma_config.h"
#include "common/status/qma_status.h"
#include "support/temp_roots.h"

namespace {

namespace fs = std::filesystem;
using qma::test::read_text;
using qma::test::TempRoots;

using qma::test::ModuleStatus;

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

TEST_F(ModuleStatus, ResetAllTouchesOnlyPlainFolders) {
  write_status("70000000", "2\nOPT1=1\n");
  write_status(".hidden", "2\n");
  std::ofstream(root_ / "80000000") << "a file";
  fs::create_directory_symlink(root_ / "70000000", root_ / "90000000");
  QMA_Cmn_ModuleStatus_ResetAll();
  EXPECT_EQ(read_text(status_file("70000000")), "0\n");
  EXPECT_EQ(read_text(status_file(".hidden")), "2\n");
  EXPECT_EQ(read_text(root_ / "80000000"), "a file");
}

}  // namespace
