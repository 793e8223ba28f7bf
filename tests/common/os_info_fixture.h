// The OS classification tests' fixture: fresh temporary roots, the log reset around each test
// and the system's own facts put back afterwards.
#pragma once

#include <gtest/gtest.h>

#include "common/host/os_info_source.h"
#include "common/host/qma_system.h"
#include "common/log/qma_log.h"
#include "tests/support/temp_roots.h"

namespace qma::test {

class OsInfo : public ::testing::Test {
 protected:
  void SetUp() override { qma::log::reset_for_testing(); }
  void TearDown() override {
    qma::common::set_os_info_source({});
    QMA_FinalizeForLogFile(&log_);
    qma::log::reset_for_testing();
  }
  qma::test::TempRoots roots_;
  QMA_MUTEX_HANDLE log_ = nullptr;
};

}  // namespace qma::test
