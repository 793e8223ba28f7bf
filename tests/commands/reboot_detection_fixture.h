// The reboot detection tests' fixture: an in-process agent, its state file and a chosen
// system event log.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <vector>

#include "manager_if/agent_harness.h"
#include "platform/error.h"
#include "platform/event_log.h"

namespace qma::test {

class RebootDetectionTest : public ::testing::Test {
 protected:
  std::filesystem::path state_file() const {
    return agent_.roots_.home() / "bin" / "QMA_SYS_evlogstart";
  }
  void use_log(std::optional<std::vector<platform::EventLogEntry>> entries) {
    platform::set_system_event_log_source([entries] {
      if (!entries) {
        return platform::Result<std::vector<platform::EventLogEntry>>::failure(
            platform::kErrorAccessDenied);
      }
      return platform::Result<std::vector<platform::EventLogEntry>>(*entries);
    });
  }

  InProcessAgent agent_;
};

}  // namespace qma::test
