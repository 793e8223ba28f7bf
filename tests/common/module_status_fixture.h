// The module status tests' fixture: a package root and a log folder in fresh temporary roots,
// the agent's configuration pointed at them, and the status file of a module.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "common/log/qma_log.h"
#include "common/qma_config.h"
#include "common/status/qma_status.h"
#include "support/temp_roots.h"

namespace qma::test {

namespace fs = std::filesystem;

class ModuleStatus : public ::testing::Test {
 protected:
  void SetUp() override {
    qma::log::reset_for_testing();
    root_ = roots_.base() / "QMA_PKGROOT";
    fs::create_directories(root_);
    std::memset(g_QMAConfig.PkgSavePath, 0, sizeof(g_QMAConfig.PkgSavePath));
    std::strncpy(g_QMAConfig.PkgSavePath, path_text(root_).c_str(),
                 sizeof(g_QMAConfig.PkgSavePath) - 1);
    log_dir_ = roots_.base() / "QMA_LOGROOT";
    fs::create_directories(log_dir_);
    ASSERT_EQ(QMA_InitializeForLogFile(path_text(log_dir_).c_str(), 10000, &log_holder_), 1);
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

}  // namespace qma::test
