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
    place_tool(module_);
  }
  void TearDown() override { qma::status::forget_agent_status_path(); }

  /// A copy of the stand-in tool named "tool" in the folder, as a package brings its own.
  static void place_tool(const fs::path& folder) {
    std::error_code ec;
    fs::copy_file(QMA_TEST_UPDATE_TOOL, folder / "tool", fs::copy_options::overwrite_existing, ec);
    ASSERT_FALSE(ec) << "cannot copy the tool into " << path_text(folder) << ": " << ec.message();
  }
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
