// Update-tool process control on Linux: terminating a tool kills the helpers it started in a
// session of their own, and the tool ends by SIGKILL.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "commands/update/update_tools.h"
#include "commands/update_tools_fixture.h"
#include "common/status/qma_status.h"
#include "manager_if/agent_harness.h"
#include "platform/process.h"
#include "support/service_support_linux.h"

namespace {

namespace fs = std::filesystem;
using qma::test::read_text;

using qma::test::UpdateTools;

TEST_F(UpdateTools, TerminateEndsTheToolAndTheHelpersItStarted) {
  plan("child 30000 helper.pid\nsleep 30000\n");
  QMA_PROC_HANDLE handle = start("plan");
  ASSERT_TRUE(qma::test::wait_until([&] { return fs::exists(module_ / "helper.pid"); }));
  pid_t helper = qma::test::read_pid(module_ / "helper.pid");
  ASSERT_TRUE(qma::test::process_alive(helper));
  EXPECT_EQ(QMA_TerminateProcess(handle), 1);
  EXPECT_EQ(QMA_WaitForProcTerm(handle, 5), 1);
  EXPECT_EQ(handle->exit_code(), 128u + SIGKILL);
  EXPECT_TRUE(qma::test::wait_until([&] { return !qma::test::process_alive(helper); }, 5000));
  QMA_CloseProcHandle(&handle);
}

}  // namespace
