// The agent log tests' fixture: a fresh log folder per test, the log opened with a line limit,
// and the sequence number a line starts with.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "common/log/qma_log.h"
#include "common/log_test_support.h"

namespace qma::test {

namespace fs = std::filesystem;

class AgentLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    qma::log::reset_for_testing();
    log_dir_ = roots_.base() / "logs";
    fs::create_directories(log_dir_);
  }
  void TearDown() override {
    QMA_FinalizeForLogFile(&holder_);
    qma::log::reset_for_testing();
  }

  void initialise(int max_lines) {
    ASSERT_EQ(QMA_InitializeForLogFile(path_text(log_dir_).c_str(), max_lines, &holder_), 1);
    ASSERT_NE(holder_, nullptr);
  }
  fs::path log_file() const { return log_dir_ / "QMAgent.log"; }
  fs::path backup_file() const { return log_dir_ / "ExQMAgent.log"; }
  std::vector<std::string> lines() const { return read_lines(log_file()); }

  qma::test::TempRoots roots_;
  fs::path log_dir_;
  QMA_MUTEX_HANDLE holder_ = nullptr;
};

/// The sequence number at the start of a line, -1 when the line has none.
inline int sequence_of(const std::string& line) {
  if (line.size() < 7 || line[0] != '[' || line[6] != ']') return -1;
  return std::stoi(line.substr(1, 5));
}

}  // namespace qma::test
