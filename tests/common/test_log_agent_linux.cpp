// The agent log on Linux: the log file followed at its path, counted by open descriptors, and a
// log mutex (a file under the state folder) that cannot be made.
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "common/agent_log_fixture.h"
#include "common/log/qma_log.h"
#include "common/log_test_support.h"
#include "platform/clock.h"
#include "platform/named_mutex.h"

namespace {

namespace fs = std::filesystem;
using qma::platform::NamedMutex;
using qma::platform::WaitStatus;
using qma::test::path_text;
using qma::test::read_lines;
using qma::test::regex_escape;

using qma::test::AgentLogTest;
using qma::test::sequence_of;

/// Open descriptors of this process, as the system lists them.
size_t open_descriptors() {
  size_t count = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd")) ++count;
  return count;
}

TEST_F(AgentLogTest, LinesFollowTheFileAtThePathWhenAnotherProcessReplacesOrRemovesIt) {
  initialise(1000);
  QMA_LogInfo("f", "QMAProc", 1, "first");
  const size_t descriptors = open_descriptors();

  // Another writer moves the file aside and starts a new one under the name; the
  // path is looked at again once a second has passed since the last look.
  fs::rename(log_file(), log_dir_ / "moved.log");
  qma::test::write_file(log_file(), "replacement\n");
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  QMA_LogInfo("f", "QMAProc", 2, "second");
  // Then removes it altogether.
  fs::remove(log_file());
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  QMA_LogInfo("f", "QMAProc", 3, "third");
  for (int i = 4; i <= 50; ++i) QMA_LogInfo("f", "QMAProc", i, "more %d", i);

  std::vector<std::string> moved = read_lines(log_dir_ / "moved.log");
  ASSERT_EQ(moved.size(), 1u);
  EXPECT_NE(moved[0].find("first"), std::string::npos);
  std::vector<std::string> written = lines();
  ASSERT_EQ(written.size(), 48u);
  EXPECT_NE(written[0].find("-----third-----"), std::string::npos);
  EXPECT_EQ(sequence_of(written[0]), 3);
  // Lines reuse one descriptor instead of leaving one behind per file or line.
  EXPECT_EQ(open_descriptors(), descriptors);
}

TEST_F(AgentLogTest, InitialisationFailsOnlyWithoutAMutex) {
  // A state folder that is a plain file leaves nowhere to create the mutex (a file under it).
  const fs::path blocked = roots_.base() / "state-is-a-file";
  std::ofstream(blocked) << "x";
  qma::test::set_env("QMA_STATE_DIR", path_text(blocked));
  EXPECT_EQ(QMA_InitializeForLogFile(path_text(log_dir_).c_str(), 10000, &holder_), 0);
  EXPECT_EQ(holder_, nullptr);

  qma::test::set_env("QMA_STATE_DIR", path_text(roots_.state()));
  initialise(10000);
  QMA_FinalizeForLogFile(&holder_);
  EXPECT_EQ(holder_, nullptr);
}

}  // namespace
