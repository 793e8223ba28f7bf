// The console tools of the installation: QMZipControl, moxControlAgents and envpulse,
// their console lines, exit codes and the programs they start. The agents' scripts are shell
// text. QMZipControl in a folder removed under it is tried in test_install_tools_linux.cpp.
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
#include "tools/tool_runner.h"
#include "tools/zip_control_fixture.h"

namespace {

namespace fs = std::filesystem;
using qma::test::read_text;
using qma::test::run_tool;
using qma::test::ToolEnvironment;

// The agents' scripts under the names moxControlAgents runs them by.
const std::string kStartScript = std::string("StartAgent") + qma::platform::kScriptExtension;
const std::string kStopScript = std::string("StopAgent") + qma::platform::kScriptExtension;

void write_script(const fs::path& path, const std::string& body) {
  fs::create_directories(path.parent_path());
  std::ofstream(path) << "#!/bin/sh\n" << body;
  fs::permissions(path, fs::perms::owner_all);
}

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
    EXPECT_EQ(read_text(log_), row.archiver_log);
  }
}

TEST_F(ZipControl, ArchiverMissing) {
  fs::remove(roots_.bin() / "QMAzip");
  auto missing = launch({"-c", "x.zip", "f.log"});
  EXPECT_EQ(missing.out, cmdbuf("QMAzip", "-o \"x.zip\" \"f.log\"") + "CreateProcess error : 2\n");
  EXPECT_EQ(missing.status, 5);
}

// ---- moxControlAgents ----

class ControlAgents : public ::testing::Test {
 protected:
  void SetUp() override {
    agents_ = roots_.bin() / "AgentFolder";
    log_ = roots_.base() / "agents.log";
  }
  // An agent whose scripts record the folder they run in and the action.
  void add_agent(const std::string& name, bool start_script, bool stop_script, int stop_exit = 0) {
    fs::create_directories(agents_ / name);
    const std::string record = "echo \"$(basename \"$PWD\") $0\" >> '" + log_.string() + "'\n";
    if (start_script) write_script(agents_ / name / kStartScript, record);
    if (stop_script) {
      write_script(agents_ / name / kStopScript,
                   record + "exit " + std::to_string(stop_exit) + "\n");
    }
  }
  qma::test::ToolResult control(const std::vector<std::string>& args) {
    std::vector<std::string> argv{MOXCONTROLAGENTS_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_tool(argv, roots_.base());
  }
  std::string ran() const { return read_text(log_); }

  qma::test::TempRoots roots_;
  fs::path agents_, log_;
};

TEST_F(ControlAgents, UsageForMissingOrUnknownWords) {
  const std::string usage =
      "moxControlAgents ( -start | -stop ) AXIS2C_HOME\n"
      "-start:Start of agents\n"
      "-stop:Stop of agents\n"
      "AXIS2C_HOME:Path of environment value \"AXIS2C_HOME\"\n"
      "There is no parameter appointment:Indication of Usage\n";
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{}, {"-start"}, {"-restart", roots_.home().string()}}) {
    auto result = control(args);
    EXPECT_EQ(result.out, usage);
    EXPECT_EQ(result.status, 255);
  }
}

TEST_F(ControlAgents, MissingAndEmptyAgentFolder) {
  auto missing = control({"-start", roots_.home().string()});
  EXPECT_EQ(missing.err, "フォルダ \"" + agents_.string() + "\" が存在しません.\n");
  EXPECT_EQ(missing.status, 255);

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
  EXPECT_EQ(start.status, 255);
  EXPECT_EQ(start.err, "バッチファイル \"" + (agents_ / "AgentB" / kStartScript).string() +
                           "\" が存在しません.\n");
  EXPECT_EQ(ran(), "AgentA " + (agents_ / "AgentA" / kStartScript).string() + "\n");

  fs::remove(log_);
  auto stop = control({"-stop", roots_.home().string()});
  EXPECT_EQ(stop.status, 255);
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

// ---- envpulse, with a recording systemctl in place of the real one ----

class EnvPulse : public ::testing::Test {
 protected:
  void SetUp() override {
    fake_bin_ = roots_.base() / "fakebin";
    fs::create_directories(fake_bin_);
    calls_ = roots_.base() / "systemctl.log";
    qma::platform::RegistryKey key;
    ASSERT_EQ(qma::platform::reg_create_key(
                  "SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment", key),
              0);
    const std::string path = "%AXIS2C_HOME%/bin:/usr/bin";
    ASSERT_EQ(qma::platform::reg_set_value(key, "Path", qma::platform::kRegExpandSz, path.c_str(),
                                           static_cast<uint32_t>(path.size() + 1)),
              0);
    const std::string home = roots_.home().string();
    ASSERT_EQ(qma::platform::reg_set_value(key, "AXIS2C_HOME", qma::platform::kRegSz, home.c_str(),
                                           static_cast<uint32_t>(home.size() + 1)),
              0);
  }
  void fake_systemctl(const std::string& body) {
    write_script(fake_bin_ / "systemctl", "echo \"$*\" >> '" + calls_.string() + "'\n" + body);
  }
  /// Runs envpulse with QMA_SCM=manager, the stand-in systemctl first on PATH and the
  /// caller's environment changed as given (QMA_SYSTEMD_SCOPE unset unless set there).
  qma::test::ToolResult pulse(const std::string& manager, ToolEnvironment environment = {}) {
    environment.set.emplace_back("QMA_SCM", manager);
    environment.set.emplace_back("PATH", fake_bin_.string() + ":/usr/bin:/bin");
    if (std::none_of(environment.set.begin(), environment.set.end(),
                     [](const auto& variable) { return variable.first == "QMA_SYSTEMD_SCOPE"; })) {
      environment.unset.push_back("QMA_SYSTEMD_SCOPE");
    }
    return run_tool({ENVPULSE_PATH}, roots_.base(), environment);
  }
  std::string pushed() const {
    return "set-environment PATH=" + roots_.home().string() +
           "/bin:/usr/bin AXIS2C_HOME=" + roots_.home().string() + "\n";
  }

  qma::test::TempRoots roots_;
  fs::path fake_bin_, calls_;
};

TEST_F(EnvPulse, PushesTheMachineEnvironmentToSystemd) {
  fake_systemctl("exit 0\n");
  auto result = pulse("systemd");
  EXPECT_EQ(result.out, "ENVPULSE...\n\nENVPULSE SUCCESS\n");
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(read_text(calls_), pushed());

  // The user's manager when the agent's service lives there.
  fs::remove(calls_);
  auto user = pulse("systemd", {{{"QMA_SYSTEMD_SCOPE", "user"}}, {}});
  EXPECT_EQ(user.out, "ENVPULSE...\n\nENVPULSE SUCCESS\n");
  EXPECT_EQ(read_text(calls_), "--user " + pushed());

  // Path's %AXIS2C_HOME% is the machine environment's, whatever the caller has.
  const ToolEnvironment callers[] = {{{}, {"AXIS2C_HOME"}}, {{{"AXIS2C_HOME", "/elsewhere"}}, {}}};
  for (const ToolEnvironment& caller : callers) {
    fs::remove(calls_);
    auto result = pulse("systemd", caller);
    EXPECT_EQ(result.out, "ENVPULSE...\n\nENVPULSE SUCCESS\n");
    EXPECT_EQ(read_text(calls_), pushed());
  }
}

TEST_F(EnvPulse, ErrorLineWithoutServiceManagerOrWhenSystemctlFails) {
  fake_systemctl("exit 0\n");
  auto standalone = pulse("standalone");
  EXPECT_EQ(standalone.out, "ENVPULSE...\n\nENVPULSE ERROR\n");
  EXPECT_EQ(standalone.status, 0);
  EXPECT_EQ(read_text(calls_), "");

  fake_systemctl("exit 1\n");
  auto refused = pulse("systemd");
  EXPECT_EQ(refused.out, "ENVPULSE...\n\nENVPULSE ERROR\n");
  EXPECT_EQ(refused.status, 0);

  fs::remove(fake_bin_ / "systemctl");
  auto absent = run_tool({ENVPULSE_PATH}, roots_.base(),
                         {{{"QMA_SCM", "systemd"}, {"PATH", fake_bin_.string()}}, {}});
  EXPECT_EQ(absent.out, "ENVPULSE...\n\nENVPULSE ERROR\n");
}

TEST_F(EnvPulse, HungServiceManagerIsAbandonedAfterItsTimeLimit) {
  fake_systemctl("exec sleep 60\n");
  auto start = std::chrono::steady_clock::now();
  auto result = pulse("systemd");
  auto seconds =
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start)
          .count();
  EXPECT_EQ(result.out, "ENVPULSE...\n\nENVPULSE ERROR\n");
  EXPECT_EQ(result.status, 0);
  EXPECT_LT(seconds, 30) << "the 60 s systemctl was waited for";
}

}  // namespace
