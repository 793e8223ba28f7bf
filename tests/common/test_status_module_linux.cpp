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

}  // namespace
