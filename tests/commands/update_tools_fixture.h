// The update tool tests' fixture: the stand-in update tool linked into a module folder, its
// plan, and the tool started as an update starts it.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "commands/update/update_tools.h"
#include "common/status/qma_status.h"
#include "manager_if/agent_harness.h"

namespace qma::test {

namespace fs = std::filesystem;

class UpdateTools : public ::testing::Test {
 protected:
  void SetUp() override {
    qma::status::forget_agent_status_path();
    qma::status::set_agent_status_for_test(QMA_AGTSTAT_BUSY, 0);
    module_ = fs::path(g_QMAConfig.PkgSavePath) / "01000000";
    fs::create_directories(module_);
    fs::create_symlink(QMA_TEST_UPDATE_TOOL, module_ / "tool");
  }
  void TearDown() override { qma::status::forget_agent_status_path(); }

  void plan(const std::string& steps) const { std::ofstream(module_ / "plan") << steps; }
  QMA_PROC_HANDLE start(const std::string& parameters, int* pid = nullptr) const {
    QMA_PROC_HANDLE handle = nullptr;
    EXPECT_EQ(
        QMA_ExecuteProcess(path_text(module_).c_str(), "tool", parameters.c_str(), &handle, pid),
        1);
    return handle;
  }

  qma::test::InProcessAgent agent_;
  fs::path module_;
};

}  // namespace qma::test
