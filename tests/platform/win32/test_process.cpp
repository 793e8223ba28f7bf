// Child processes on Windows: command line and folder as given, exit codes, timed waits, trees
// ended through their job (also by a recorded id once the starter is gone), batch files.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "platform/error.h"
#include "platform/file.h"
#include "platform/process.h"
#include "temp_state.h"

namespace qma::platform {
namespace {

using test::start_helper;
using test::TempState;
using test::wait_for_file;
using test::wait_for_pid;

constexpr uint32_t kKilled = 1;

std::string quoted(const std::string& path) {
  return "\"" + path + "\"";
}

TEST(Win32Process, CommandLineAndFolderReachTheChildAsGiven) {
  TempState state;
  struct Row {
    const char* what;
    const char* folder;
    const char* tail;
  } rows[] = {
      {"plain words", "work", "a b c"},
      {"quotes, backslashes, empty argument", "with space",
       R"("two words" a\"b "" C:\dir\\ "tail\\" x\\\"y  double  blanks )"},
      {"text beyond ASCII", "работа", "\"naïve файл\" ünï"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    const std::string folder = state.path(row.folder);
    ASSERT_TRUE(create_directory(folder).ok());
    const std::string out = state.path(std::string(row.folder) + ".txt");
    const std::string line = "\"win32_helper_child\" report " + quoted(out) + " " + row.tail;
    auto child = Process::spawn(test::helper_path(), line, folder);
    ASSERT_TRUE(child.ok()) << child.error();
    ASSERT_EQ(child->wait(10000), WaitStatus::kSignaled);
    EXPECT_EQ(child->exit_code(), 0u);
    EXPECT_EQ(wait_for_file(out), folder + "\n" + line);
  }
}

TEST(Win32Process, ExitCodeIsStillActiveUntilTheEndThenTheChildsOwn) {
  TempState state;
  const struct {
    const char* arguments;
    uint32_t code;
  } rows[] = {{"exit 0", 0}, {"exit 3", 3}, {"exit 255", 255}, {"exit 70000", 70000}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.arguments);
    Process child = start_helper(row.arguments, state.base());
    ASSERT_EQ(child.wait(kInfinite), WaitStatus::kSignaled);
    EXPECT_EQ(child.exit_code(), row.code);
    EXPECT_EQ(child.wait(0), WaitStatus::kSignaled) << "an ended process answers at once";
  }
  Process sleeper = start_helper("sleep 60000", state.base());
  EXPECT_EQ(sleeper.wait(200), WaitStatus::kTimeout);
  EXPECT_EQ(sleeper.exit_code(), 259u);
  ASSERT_TRUE(sleeper.kill_tree().ok());
  ASSERT_EQ(sleeper.wait(10000), WaitStatus::kSignaled);
  EXPECT_EQ(sleeper.exit_code(), kKilled);
}

// Every way the agent ends a tool takes what the tool started along: its own handle of the
// tool, the recorded id while the tool runs, and the recorded id after the agent that started
// it has gone (and after the tool itself has ended, leaving its child behind).
TEST(Win32Process, EveryWayOfEndingAToolEndsItsChildrenToo) {
  enum class Way { kKillTree, kTreeById, kGroupAfterStarterEnded, kGroupAfterToolEnded };
  const struct {
    const char* what;
    Way way;
  } rows[] = {
      {"kill_tree of the started tool", Way::kKillTree},
      {"kill_process_tree by the tool's id", Way::kTreeById},
      {"kill_process_group once the starting agent is gone", Way::kGroupAfterStarterEnded},
      {"kill_process_group once the tool ended, leaving its child", Way::kGroupAfterToolEnded},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    TempState state;
    const std::string grand_file = state.path("grandchild.txt");
    std::optional<Process> started;
    uint32_t tool_id = 0;
    if (row.way == Way::kKillTree || row.way == Way::kTreeById) {
      started = start_helper("tree " + quoted(grand_file) + " 60000", state.base());
      tool_id = started->id();
    } else {
      const std::string tool_file = state.path("tool.txt");
      const char* leave = row.way == Way::kGroupAfterToolEnded ? " leave" : "";
      // The starter plays the agent that crashes: it ends without ending the tool.
      Process agent = start_helper(
          "agent " + quoted(tool_file) + " " + quoted(grand_file) + " 60000" + leave, state.base());
      ASSERT_EQ(agent.wait(10000), WaitStatus::kSignaled);
      ASSERT_EQ(agent.exit_code(), 0u);
      tool_id = wait_for_pid(tool_file);
      ASSERT_NE(tool_id, 0u);
    }
    const uint32_t grandchild_id = wait_for_pid(grand_file);
    ASSERT_NE(grandchild_id, 0u) << "no grandchild";
    auto grandchild = Process::open(grandchild_id);
    ASSERT_TRUE(grandchild.ok()) << grandchild.error();
    auto tool = Process::open(tool_id);
    if (row.way == Way::kGroupAfterToolEnded) {
      // The tool may still be on its way out.
      if (tool.ok()) {
        ASSERT_EQ(tool->wait(10000), WaitStatus::kSignaled);
      }
      EXPECT_EQ(process_start_mark(tool_id), 0u);
    } else {
      ASSERT_TRUE(tool.ok()) << tool.error();
    }
    EXPECT_EQ(grandchild->wait(100), WaitStatus::kTimeout) << "the grandchild must run";

    switch (row.way) {
      case Way::kKillTree:
        ASSERT_TRUE(started->kill_tree().ok()) << last_error();
        break;
      case Way::kTreeById:
        ASSERT_TRUE(kill_process_tree(tool_id).ok()) << last_error();
        break;
      default: {
        auto killed = kill_process_group(tool_id);
        ASSERT_TRUE(killed.ok()) << killed.error();
        EXPECT_TRUE(*killed) << "the tool's job must be found by its id";
      }
    }
    ASSERT_EQ(grandchild->wait(10000), WaitStatus::kSignaled) << "grandchild survived";
    EXPECT_EQ(grandchild->exit_code(), kKilled);
    if (row.way != Way::kGroupAfterToolEnded) {
      ASSERT_EQ(tool->wait(10000), WaitStatus::kSignaled);
      EXPECT_EQ(tool->exit_code(), kKilled);
    }
    auto again = kill_process_group(tool_id);
    ASSERT_TRUE(again.ok()) << again.error();
    EXPECT_FALSE(*again) << "nothing is left to end";
  }
}

// A named job keeps its name only while a handle of it is open: the tool, and what it starts
// with inherited handles (as cmd.exe starts programs), hold one, so the job is still found by
// the tool's id once the agent that started it is gone.
TEST(Win32Process, ToolAndWhatItStartsHoldTheirJobOpen) {
  TempState state;
  const struct {
    const char* what;
    const char* arguments;
  } rows[] = {{"the tool", "jobs"}, {"a program the tool starts", "inherit jobs"}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    const std::string out = state.path(std::string(row.arguments) + ".txt");
    Process tool = start_helper(std::string(row.arguments) + " " + quoted(out), state.base());
    ASSERT_EQ(tool.wait(10000), WaitStatus::kSignaled);
    EXPECT_EQ(tool.exit_code(), 0u);
    EXPECT_EQ(wait_for_file(out), "1");
  }
}

TEST(Win32Process, RecordedIdTellsARunningProcessFromAnEndedOne) {
  TempState state;
  Process child = start_helper("sleep 300", state.base());
  const uint64_t mark = process_start_mark(child.id());
  EXPECT_NE(mark, 0u);
  EXPECT_EQ(process_start_mark(child.id()), mark) << "the mark of one process never changes";
  EXPECT_NE(process_start_mark(current_process_id()), 0u);

  auto opened = Process::open(child.id());
  ASSERT_TRUE(opened.ok()) << opened.error();
  EXPECT_EQ(opened->id(), child.id());
  EXPECT_EQ(opened->wait(10000), WaitStatus::kSignaled);
  EXPECT_EQ(opened->exit_code(), 0u);
  // Ended, though this program still holds handles of it.
  EXPECT_EQ(process_start_mark(child.id()), 0u);
  auto reopened = Process::open(child.id());
  ASSERT_FALSE(reopened.ok());
  EXPECT_EQ(last_error(), reopened.error());
  EXPECT_FALSE(Process::open(0).ok());
}

TEST(Win32Process, KillsRefuseTheCallerAndReportWhatIsMissing) {
  TempState state;
  const uint32_t self = current_process_id();
  EXPECT_FALSE(kill_process(self).ok());
  EXPECT_FALSE(kill_process_tree(self).ok());
  EXPECT_FALSE(kill_process_group(self).ok());

  // Nor the job the caller runs in: a program the tool started cannot end the tool's job.
  const std::string ends = state.path("ends.txt");
  Process parent = start_helper("inherit end PARENT " + quoted(ends), state.base());
  ASSERT_EQ(parent.wait(10000), WaitStatus::kSignaled);
  EXPECT_EQ(parent.exit_code(), 0u) << "the tool was ended from inside its job";
  EXPECT_EQ(wait_for_file(ends), "87 87") << "both refused as an invalid parameter";

  // kill_process ends one process only: its child goes on.
  const std::string grand_file = state.path("grandchild.txt");
  Process tool = start_helper("tree " + quoted(grand_file) + " 60000", state.base());
  auto grandchild = Process::open(wait_for_pid(grand_file));
  ASSERT_TRUE(grandchild.ok());
  ASSERT_TRUE(kill_process(tool.id()).ok());
  ASSERT_EQ(tool.wait(10000), WaitStatus::kSignaled);
  EXPECT_EQ(tool.exit_code(), kKilled);
  EXPECT_EQ(grandchild->wait(100), WaitStatus::kTimeout);
  ASSERT_TRUE(tool.kill_tree().ok()) << "the job still holds the child";
  EXPECT_EQ(grandchild->wait(10000), WaitStatus::kSignaled);
}

TEST(Win32Process, SpawnFailuresReportTheSystemsError) {
  TempState state;
  auto missing = Process::spawn(state.path("no-such-tool.exe"), "\"no-such-tool.exe\" ", "");
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error(), kErrorFileNotFound);
  EXPECT_EQ(last_error(), kErrorFileNotFound);

  auto bad_folder =
      Process::spawn(test::helper_path(), "\"win32_helper_child\" exit 0", state.path("none"));
  ASSERT_FALSE(bad_folder.ok());
  EXPECT_EQ(bad_folder.error(), 267) << "ERROR_DIRECTORY";
  EXPECT_EQ(last_error(), 267);
}

TEST(Win32Process, BatchFilesRunThroughTheCommandInterpreter) {
  TempState state;
  const std::string folder = state.path("module dir");
  ASSERT_TRUE(create_directory(folder).ok());
  const std::string marker = join_path(folder, "ran.txt");
  const std::string stop = join_path(folder, std::string("Stop Agent") + kScriptExtension);
  ASSERT_TRUE(write_file_atomic(stop, "@echo ran> \"" + marker + "\"\r\n@exit 7\r\n").ok());
  EXPECT_EQ(run_script(stop), 7);
  EXPECT_EQ(wait_for_file(marker), "ran\r\n");
  const int missing = run_script(join_path(folder, std::string("gone") + kScriptExtension));
  EXPECT_NE(missing, 0) << "a missing batch file is the interpreter's failure";
  EXPECT_NE(missing, -1);

  const std::string where = join_path(folder, "where.txt");
  const std::string start = join_path(folder, std::string("start") + kScriptExtension);
  ASSERT_TRUE(write_file_atomic(start, "@cd> where.txt\r\n@exit /b 5\r\n").ok());
  auto script = spawn_script(start, folder);
  ASSERT_TRUE(script.ok()) << script.error();
  ASSERT_EQ(script->wait(10000), WaitStatus::kSignaled);
  EXPECT_EQ(script->exit_code(), 5u);
  EXPECT_EQ(wait_for_file(where), folder + "\r\n");
}

}  // namespace
}  // namespace qma::platform
