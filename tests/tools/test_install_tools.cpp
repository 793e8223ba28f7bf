// The console tools of the installation: QMZipControl and moxControlAgents, their console
// lines, exit codes and the programs and agents' scripts they start. envpulse with its
// stand-in systemctl and QMZipControl in a folder removed under it are tried in
// test_install_tools_linux.cpp.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/process.h"
#include "platform/registry.h"
#include "support/temp_roots.h"
#include "tools/control_agents_fixture.h"
#include "tools/tool_runner.h"
#include "tools/zip_control_fixture.h"

namespace {

namespace fs = std::filesystem;
using qma::test::read_text;
using qma::test::run_tool;
using qma::test::ToolEnvironment;

// ---- QMZipControl, with a recording archiver in place of QMAzip and QMAunz ----

using qma::test::ZipControl;

TEST_F(ZipControl, ConsoleLinesExitCodesAndTheArchiverCommandLine) {
  const std::string quoted_arg = "say \"hi\"\\";
  const std::string long_arg(8200, 'n');
  struct Row {
    const char* what;
    std::vector<std::string> args;
    ToolEnvironment environment;
    std::string out;
    int status;
    std::string archiver_log;  // empty: the archiver must not run
  };
  const Row rows[] = {
      {"no mode", {}, {}, "argment error : 1\n", 1, ""},
      {"no installation root",
       {"-u", "p.zip"},
       {{}, {"AXIS2C_HOME"}},
       "getenv error : 203\n",
       2,
       ""},
      {"empty installation root",
       {"-u", "p.zip"},
       {{{"AXIS2C_HOME", ""}}, {}},
       "getenv error : 203\n",
       2,
       ""},
      {"unknown mode", {"-x", "p.zip"}, {}, "argment error : -x\n", 3, ""},
      {"unpack without an archive",
       {"-u"},
       {},
       cmdbuf("QMAunz", "-x -o"),
       0,
       "cwd=" + work_.string() + "\n[-x]\n[-o]\n"},
      {"unpack an archive whose path has blanks",
       {"-u", (work_ / "pkg 1.zip").string()},
       {},
       cmdbuf("QMAunz", "-x -o \"" + (work_ / "pkg 1.zip").string() + "\""),
       0,
       "cwd=" + work_.string() + "\n[-x]\n[-o]\n[" + (work_ / "pkg 1.zip").string() + "]\n"},
      {"pack names with blanks, quotes and a trailing backslash",
       {"-c", "QMAgentLog.zip", "a b.log", quoted_arg},
       {},
       cmdbuf("QMAzip", "-o \"QMAgentLog.zip\" \"a b.log\" \"say \\\"hi\\\"\\\\\""),
       0,
       "cwd=" + work_.string() + "\n[-o]\n[QMAgentLog.zip]\n[a b.log]\n[" + quoted_arg + "]\n"},
      {"a failing archiver still ends the launcher with 0",
       {"-c", "x.zip", "f.log"},
       {{{"QMA_FAKE_ARCHIVER_EXIT", "9"}}, {}},
       cmdbuf("QMAzip", "-o \"x.zip\" \"f.log\""),
       0,
       "cwd=" + work_.string() + "\n[-o]\n[x.zip]\n[f.log]\n"},
      {"arguments past the command line's 8192 characters",
       {"-c", "x.zip", long_arg},
       {},
       "argment error : " + long_arg + "\n",
       1,
       ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    fs::remove(log_);
    auto result = launch(row.args, row.environment);
    EXPECT_EQ(result.out, row.out);
    EXPECT_EQ(result.status, row.status);
    EXPECT_EQ(qma::test::read_text_mode(log_), row.archiver_log);
  }
}

TEST_F(ZipControl, ArchiverMissing) {
  fs::remove(roots_.bin() / ZipControl::program("QMAzip"));
  auto missing = launch({"-c", "x.zip", "f.log"});
  EXPECT_EQ(missing.out, cmdbuf("QMAzip", "-o \"x.zip\" \"f.log\"") + "CreateProcess error : 2\n");
  EXPECT_EQ(missing.status, 5);
}

// ---- moxControlAgents ----

using qma::test::ControlAgents;
using qma::test::kStartScript;
using qma::test::kStopScript;

TEST_F(ControlAgents, UsageForMissingOrUnknownWords) {
  // The program's name as started (argument 0 without its folder).
  const std::string usage = std::string("moxControlAgents") + qma::platform::kProgramExtension +
                            " ( -start | -stop ) AXIS2C_HOME\n"
                            "-start:Start of agents\n"
                            "-stop:Stop of agents\n"
                            "AXIS2C_HOME:Path of environment value \"AXIS2C_HOME\"\n"
                            "There is no parameter appointment:Indication of Usage\n";
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{}, {"-start"}, {"-restart", roots_.home().string()}}) {
    auto result = control(args);
    EXPECT_EQ(result.out, usage);
    EXPECT_EQ(result.status, qma::platform::kExitCodeOfMinusOne);
  }
}

TEST_F(ControlAgents, MissingAndEmptyAgentFolder) {
  auto missing = control({"-start", roots_.home().string()});
  EXPECT_EQ(missing.err, "フォルダ \"" + agents_.string() + "\" が存在しません.\n");
  EXPECT_EQ(missing.status, qma::platform::kExitCodeOfMinusOne);

  fs::create_directories(agents_);
  auto empty = control({"-stop", roots_.home().string()});
  EXPECT_EQ(empty.status, 0);
  EXPECT_EQ(empty.out + empty.err, "");
}

TEST_F(ControlAgents, RunsEachAgentInItsFolderAndStopsAtTheFirstWithoutItsScript) {
  add_agent("AgentA", true, true);
  add_agent("AgentB", false, true, 3);  // no start script; its stop script fails
  add_agent("AgentC", true, true);
  std::ofstream(agents_ / "notes.txt") << "a plain file is taken for an agent";

  auto start = control({"-start", roots_.home().string()});
  EXPECT_EQ(start.status, qma::platform::kExitCodeOfMinusOne);
  EXPECT_EQ(start.err, "バッチファイル \"" + (agents_ / "AgentB" / kStartScript).string() +
                           "\" が存在しません.\n");
  EXPECT_EQ(ran(), "AgentA " + (agents_ / "AgentA" / kStartScript).string() + "\n");

  fs::remove(log_);
  auto stop = control({"-stop", roots_.home().string()});
  EXPECT_EQ(stop.status, qma::platform::kExitCodeOfMinusOne);
  EXPECT_EQ(stop.err, "バッチファイル \"" + (agents_ / "notes.txt" / kStopScript).string() +
                          "\" が存在しません.\n");
  EXPECT_EQ(ran(), "AgentA " + (agents_ / "AgentA" / kStopScript).string() + "\nAgentB " +
                       (agents_ / "AgentB" / kStopScript).string() + "\nAgentC " +
                       (agents_ / "AgentC" / kStopScript).string() + "\n");

  fs::remove(agents_ / "notes.txt");
  fs::remove(log_);
  auto again = control({"-stop", roots_.home().string()});
  EXPECT_EQ(again.status, 0) << again.err;
  const std::string all = ran();
  EXPECT_EQ(std::count(all.begin(), all.end(), '\n'), 3);
}

}  // namespace
