// Parts of the get-version command that need Linux processes: the history rotation killed at
// every step or run without privileges in a forked child, and the log line of a failed kill.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "bmcgate/bmcgate_fakes.h"
#include "commands/get_version_parts_fixture.h"
#include "commands/version/qma_get_version.h"
#include "common/status/qma_status.h"
#include "manager_if/agent_harness.h"
#include "platform/file.h"
#include "platform/process.h"

namespace {

namespace fs = std::filesystem;
using qma::commands::ToolRun;
using qma::test::read_text;

using qma::test::GetVersionParts;
using qma::test::History;
using qma::test::read_history;
using qma::test::result_xml;
using qma::test::write_history;

TEST_F(GetVersionParts, RotationKilledAtAnyStepLeavesTheOldOrTheNewHistory) {
  struct Row {
    History before;
    History after;
  };
  const Row rows[] = {
      {{"3.0", "2.0", "1.0"}, {"4.0", "3.0", "2.0"}},
      {{"3.0", "2.0", ""}, {"4.0", "3.0", "2.0"}},
      {{"3.0", "", ""}, {"4.0", "3.0", ""}},
      {{"", "", ""}, {"4.0", "", ""}},
  };
  fs::path folder = module("01000000");
  for (const Row& row : rows) {
    bool published = false;
    int kills = 0;
    int finished_by_recovery = 0;
    for (int kill_at = 1;; ++kill_at) {
      write_history(folder, row.before, "4.0");
      pid_t child = fork();
      if (child == 0) {
        qma::commands::rotate_version_history(folder.string(), [kill_at](int step) {
          if (step == kill_at) raise(SIGKILL);
        });
        _exit(0);
      }
      int status = 0;
      ASSERT_EQ(waitpid(child, &status, 0), child);
      bool killed = WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
      qma::commands::recover_version_history(folder.string());
      History seen = read_history(folder);
      if (seen == row.after) {
        published = true;
        if (killed) ++finished_by_recovery;
      } else {
        EXPECT_EQ(seen, row.before) << "killed at step " << kill_at;
        EXPECT_FALSE(published) << "old history after the new one was published, step " << kill_at;
      }
      for (const char* hidden : {".history-staging", ".history-rotation"}) {
        EXPECT_FALSE(fs::exists(folder / hidden)) << hidden << " after step " << kill_at;
      }
      if (!killed) {
        EXPECT_EQ(seen, row.after) << "a rotation that ran to its end";
        break;
      }
      ++kills;
    }
    EXPECT_GE(kills, 5) << "every step of the rotation was cut once";
    EXPECT_GE(finished_by_recovery, 2) << "kills after the publishing rename were finished";
  }
}

TEST_F(GetVersionParts, HistoryIsShiftedInPlaceWhenNoStagingFolderCanBeMade) {
  fs::path folder = module("01000000");
  write_history(folder, {"3.0", "2.0", "1.0"}, "4.0");
  // A staging folder whose content the rotating process may not remove: the rotation runs in a
  // child without privileges, in a module folder it may write.
  fs::create_directories(folder / ".history-staging" / "locked");
  fs::permissions(folder, fs::perms::all);
  fs::permissions(folder / ".history-staging", fs::perms::owner_read | fs::perms::owner_exec |
                                                   fs::perms::others_read | fs::perms::others_exec);
  pid_t child = fork();
  if (child == 0) {
    if (chdir(folder.c_str()) != 0 || (geteuid() == 0 && setuid(65534) != 0)) _exit(3);
    _exit(qma::commands::rotate_version_history(".") ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  fs::permissions(folder / ".history-staging", fs::perms::owner_all);
  EXPECT_TRUE(fs::exists(folder / ".history-staging" / "locked")) << "it could not be removed";
  EXPECT_EQ(read_history(folder), (History{"4.0", "3.0", "2.0"}));
}

TEST_F(GetVersionParts, FailedKillIsOneLineWithTheRealResultAndError) {
  // The platform never kills the calling process, so a tool handle on it is a kill that fails.
  const uint32_t self = qma::platform::current_process_id();
  auto tool = qma::platform::Process::open(self);
  ASSERT_TRUE(tool.ok());
  qma::commands::end_get_version_tool(&tool.value(), static_cast<int>(self));
  EXPECT_EQ(agent_.count_in_log("system( \"kill -KILL -" + std::to_string(self) +
                                "\" ) error!! iRet=[-1], errno=[22]"),
            1);
  EXPECT_EQ(agent_.count_in_log("TerminateProcess() error!"), 0);
}

}  // namespace
