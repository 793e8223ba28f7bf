// Child processes on Linux: inherited descriptors, timed waits, process groups and tree kills,
// opening by id, errno values of failed starts, shell scripts.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/child_start.h"
#include "platform/clock.h"
#include "platform/error.h"
#include "platform/process.h"
#include "support/temp_roots.h"

namespace qma::platform {
namespace {

namespace fs = std::filesystem;
using test::read_text;

using qma::test::kChild;
using qma::test::start;

/// Waits until a file has content (the child writes it by rename).
std::string wait_for_file(const fs::path& path) {
  for (int i = 0; i < 500 && !fs::exists(path); ++i) sleep_ms(10);
  return read_text(path);
}

/// True once the process is gone or only a zombie is left of it.
bool dead(pid_t pid) {
  std::string stat = read_text("/proc/" + std::to_string(pid) + "/stat");
  if (stat.empty()) return kill(pid, 0) != 0 && errno == ESRCH;
  size_t paren = stat.rfind(')');
  return paren != std::string::npos && paren + 2 < stat.size() &&
         (stat[paren + 2] == 'Z' || stat[paren + 2] == 'X');
}

bool becomes_dead(pid_t pid) {
  for (int i = 0; i < 500; ++i) {
    // As subreaper of the tests, orphaned grandchildren come back to us: reap them.
    waitpid(pid, nullptr, WNOHANG);
    if (dead(pid)) return true;
    sleep_ms(10);
  }
  return false;
}

class ProcessTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // Orphaned grandchildren are re-parented to this test program, so none is
    // left behind and their end can be seen here.
    prctl(PR_SET_CHILD_SUBREAPER, 1);
  }
  test::TempRoots roots_;
};

TEST_F(ProcessTest, ChildInheritsNoStrayDescriptors) {
  // Opened without close-on-exec on purpose: the child must still not get it.
  int leaked = open("/dev/null", O_RDONLY);
  ASSERT_GE(leaked, 0);
  fs::path out = roots_.base() / "fds.txt";
  Process child = start("child fds " + out.string());
  ASSERT_EQ(child.wait(10000), WaitStatus::kSignaled);
  close(leaked);
  EXPECT_EQ(child.exit_code(), 0u);
  EXPECT_EQ(read_text(out), "");
}

TEST_F(ProcessTest, TimedWaitReturnsTimeoutWhileChildKeepsRunning) {
  Process child = start("child sleep 60000");
  EXPECT_EQ(child.wait(200), WaitStatus::kTimeout);
  EXPECT_EQ(child.exit_code(), 259u);
  EXPECT_EQ(kill(static_cast<pid_t>(child.id()), 0), 0)
      << "the child must still run after the wait";
  ASSERT_TRUE(child.kill_tree().ok());
  ASSERT_EQ(child.wait(10000), WaitStatus::kSignaled);
  EXPECT_EQ(child.exit_code(), 128u + SIGKILL);
}

TEST_F(ProcessTest, ChildRunsInItsOwnProcessGroup) {
  Process child = start("child sleep 60000");
  EXPECT_EQ(getpgid(static_cast<pid_t>(child.id())), static_cast<pid_t>(child.id()));
  ASSERT_TRUE(child.kill_tree().ok());
  ASSERT_EQ(child.wait(10000), WaitStatus::kSignaled);
}

TEST_F(ProcessTest, KillTreeLeavesNoSurvivor) {
  struct {
    const char* name;
    const char* extra;
    bool by_id;
  } cases[] = {{"grandchild in the group", "", false},
               {"grandchild in a session of its own, killed by id", " detach", true}};
  for (const auto& c : cases) {
    fs::path pid_file = roots_.base() / (std::string("grandchild") + (c.by_id ? "2" : "1"));
    Process child = start("child tree " + pid_file.string() + " 60000" + c.extra);
    std::string text = wait_for_file(pid_file);
    ASSERT_FALSE(text.empty()) << c.name << ": no grandchild id";
    pid_t grandchild = std::stoi(text);
    ASSERT_EQ(kill(grandchild, 0), 0) << c.name;

    Status killed = c.by_id ? kill_process_tree(child.id()) : child.kill_tree();
    ASSERT_TRUE(killed.ok()) << c.name << ": errno " << killed.error();
    ASSERT_EQ(child.wait(10000), WaitStatus::kSignaled) << c.name;
    EXPECT_EQ(child.exit_code(), 128u + SIGKILL) << c.name;
    EXPECT_TRUE(becomes_dead(grandchild)) << c.name << ": grandchild " << grandchild << " survived";
  }
}

TEST_F(ProcessTest, OpenOfEndedProcessFails) {
  Process child = start("child exit 0");
  uint32_t pid = child.id();
  ASSERT_EQ(child.wait(10000), WaitStatus::kSignaled);
  auto opened = Process::open(pid);
  ASSERT_FALSE(opened.ok());
  EXPECT_EQ(opened.error(), ESRCH);
  EXPECT_EQ(last_error(), ESRCH);
  EXPECT_FALSE(Process::open(0).ok());
}

TEST_F(ProcessTest, WaitOnForeignProcessTimesOutWhileItRuns) {
  // The test runner is alive for the whole test and is not our child.
  auto parent = Process::open(static_cast<uint32_t>(getppid()));
  ASSERT_TRUE(parent.ok()) << parent.error();
  EXPECT_EQ(parent->wait(50), WaitStatus::kTimeout);
  EXPECT_EQ(parent->exit_code(), 259u);
}

TEST_F(ProcessTest, SpawnFailuresReportErrno) {
  auto missing =
      Process::spawn((roots_.base() / "no-such-tool").string(), "\"no-such-tool\" ", "/");
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error(), ENOENT);
  EXPECT_EQ(last_error(), ENOENT);

  auto bad_dir = Process::spawn(kChild, "child exit 0", (roots_.base() / "no-such-dir").string());
  ASSERT_FALSE(bad_dir.ok());
  EXPECT_EQ(bad_dir.error(), ENOENT);
}

// A tool given as a .sh file runs with /bin/sh whatever its mode and first line (packages
// made on Windows bring it as 0644 and without "#!"). Its arguments are the command line's,
// split as for any program: the shell reads the script, never the command line.
TEST_F(ProcessTest, ShellScriptRunsWithTheShellWhateverItsMode) {
  const fs::path folder = roots_.base() / "module";
  fs::create_directories(folder);
  const fs::path out = folder / "args.txt";
  struct Row {
    const char* what;
    const char* name;
    std::string first_line;
    fs::perms mode;
  };
  const Row rows[] = {
      {"no #!, not executable", "tool.sh", "", fs::perms(0644)},
      {"#! of another shell, not executable", "Tool.SH", "#!/no/such/shell\n", fs::perms(0600)},
      {"executable", "run.sh", "#!/bin/sh\n", fs::perms(0755)},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    fs::remove(out);
    const fs::path script = folder / row.name;
    std::ofstream(script) << row.first_line
                          << "for a in \"$0\" \"$@\"; do printf '[%s]' \"$a\"; done >args.tmp\n"
                             "mv args.tmp args.txt\nexit 5\n";
    fs::permissions(script, row.mode);
    auto process = Process::spawn(script.string(),
                                  std::string("\"") + row.name + "\" a \"b c\" ;touch $(x) '*'",
                                  folder.string());
    ASSERT_TRUE(process.ok()) << process.error();
    ASSERT_EQ(process->wait(10000), WaitStatus::kSignaled);
    EXPECT_EQ(process->exit_code(), 5u);
    EXPECT_EQ(read_text(out), "[" + script.string() + "][a][b c][;touch][$(x)]['*']");
  }
  // A missing script fails to start as a missing program does.
  auto missing = Process::spawn((folder / "gone.sh").string(), "\"gone.sh\"", folder.string());
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error(), ENOENT);
  EXPECT_FALSE(fs::exists(folder / "x"));
}

TEST_F(ProcessTest, RunScriptReturnsTheShellStatus) {
  fs::path script = roots_.bin() / "StopAgent.sh";
  fs::path marker = roots_.base() / "ran.txt";
  std::ofstream(script) << "echo ran > \"" << marker.string() << "\"\nexit 7\n";
  EXPECT_EQ(run_script(script.string()), 7);
  EXPECT_EQ(read_text(marker), "ran\n");
  // A script the shell cannot open is the shell's failure, not a failure to run it.
  int missing = run_script((roots_.bin() / "missing.sh").string());
  EXPECT_NE(missing, 0);
  EXPECT_NE(missing, -1);
}

}  // namespace
}  // namespace qma::platform
