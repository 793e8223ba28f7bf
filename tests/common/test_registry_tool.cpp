// qmareg end to end: the built program run against a temporary registry file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "common/host/qma_system.h"
#include "common/log/qma_log.h"
#include "platform/registry.h"
#include "tests/support/temp_roots.h"

namespace {

namespace fs = std::filesystem;
using qma::test::read_text;

struct ToolRun {
  int exit_code = -1;
  std::string out, err;
};

/// The qmareg built beside this test program.
fs::path qmareg_path() {
  return fs::read_symlink("/proc/self/exe").parent_path() / "qmareg";
}

class RegistryTool : public ::testing::Test {
 protected:
  void SetUp() override {
    qma::log::reset_for_testing();
    ASSERT_TRUE(fs::exists(qmareg_path())) << "build the qmareg target first: " << qmareg_path();
  }

  /// Runs qmareg with the arguments, `input` on standard input.
  ToolRun qmareg(std::vector<std::string> args, const std::string& input = "") {
    const fs::path in = roots_.base() / "stdin", out = roots_.base() / "stdout",
                   err = roots_.base() / "stderr";
    std::ofstream(in, std::ios::binary) << input;
    pid_t child = fork();
    if (child == 0) {
      int fd_in = open(in.c_str(), O_RDONLY);
      int fd_out = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      int fd_err = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      if (fd_in < 0 || fd_out < 0 || fd_err < 0) _exit(126);
      dup2(fd_in, 0);
      dup2(fd_out, 1);
      dup2(fd_err, 2);
      std::string program = qmareg_path().string();
      std::vector<char*> argv{program.data()};
      for (auto& arg : args) argv.push_back(arg.data());
      argv.push_back(nullptr);
      execv(program.c_str(), argv.data());
      _exit(127);
    }
    ToolRun run;
    int status = 0;
    EXPECT_EQ(waitpid(child, &status, 0), child);
    if (WIFEXITED(status)) run.exit_code = WEXITSTATUS(status);
    run.out = read_text(out);
    run.err = read_text(err);
    return run;
  }

  std::string registry_text() const { return read_text(roots_.state() / "registry.reg"); }

  qma::test::TempRoots roots_;
};

constexpr char kKey[] = "HKLM\\SOFTWARE\\Norvik\\QMAgent\\Config";
constexpr char kOk[] = "The operation completed successfully.\n";
constexpr char kNotFound[] =
    "ERROR: The system was unable to find the specified registry key or value.\n";

TEST_F(RegistryTool, AddsQueriesAndDeletesTheThreeTypesTheAgentReads) {
  struct Row {
    const char* type;
    const char* name;
    const char* data;
    const char* file_line;
    const char* query_line;
  };
  const Row rows[] = {
      {"REG_DWORD", "LOGMAXNUM", "0x1f", "\"LOGMAXNUM\"=dword:0000001f",
       "    LOGMAXNUM    REG_DWORD    0x1f\n"},
      {"REG_DWORD", "AGENT_EFFECT", "0", "\"AGENT_EFFECT\"=dword:00000000",
       "    AGENT_EFFECT    REG_DWORD    0x0\n"},
      {"REG_SZ", "LOG_SAVEPATH", "/srv/a \"b\"\\c", "\"LOG_SAVEPATH\"=\"/srv/a \\\"b\\\"\\\\c\"",
       "    LOG_SAVEPATH    REG_SZ    /srv/a \"b\"\\c\n"},
      {"REG_EXPAND_SZ", "Path", "%AXIS2C_HOME%\\bin", "\"Path\"=expand:\"%AXIS2C_HOME%\\\\bin\"",
       "    Path    REG_EXPAND_SZ    %AXIS2C_HOME%\\bin\n"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    ToolRun add = qmareg({"add", kKey, "/v", row.name, "/t", row.type, "/d", row.data, "/f"});
    EXPECT_EQ(add.exit_code, 0) << add.err;
    EXPECT_EQ(add.out, kOk);
    EXPECT_NE(registry_text().find(std::string(row.file_line) + "\n"), std::string::npos)
        << registry_text();
    ToolRun one =
        qmareg({"query", "HKEY_LOCAL_MACHINE\\software\\norvik\\qmagent\\config", "/v", row.name});
    EXPECT_EQ(one.exit_code, 0) << one.err;
    EXPECT_EQ(one.out, std::string("\nHKEY_LOCAL_MACHINE\\SOFTWARE\\Norvik\\QMAgent\\Config\n") +
                           row.query_line + "\n");
  }
  ToolRun all = qmareg({"query", kKey});
  EXPECT_EQ(all.exit_code, 0);
  std::string listing = "\nHKEY_LOCAL_MACHINE\\SOFTWARE\\Norvik\\QMAgent\\Config\n";
  for (const auto& row : rows) listing += row.query_line;
  EXPECT_EQ(all.out, listing);

  // What the tool writes is what the agent reads.
  EXPECT_EQ(QMA_Cmn_GetRegistory_dword("SOFTWARE\\Norvik\\QMAgent\\Config", "LOGMAXNUM", 10000),
            31u);
  char path[260] = {};
  QMA_Cmn_GetRegistory_String("SOFTWARE\\Norvik\\QMAgent\\Config", "LOG_SAVEPATH", "", path,
                              sizeof path);
  EXPECT_STREQ(path, "/srv/a \"b\"\\c");

  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    ToolRun del = qmareg({"delete", kKey, "/v", row.name, "/f"});
    EXPECT_EQ(del.exit_code, 0) << del.err;
    EXPECT_EQ(del.out, kOk);
    EXPECT_EQ(registry_text().find(row.file_line), std::string::npos) << registry_text();
    EXPECT_EQ(qmareg({"query", kKey, "/v", row.name}).exit_code, 1);
  }
  EXPECT_EQ(qmareg({"query", kKey}).out,
            "\nHKEY_LOCAL_MACHINE\\SOFTWARE\\Norvik\\QMAgent\\Config\n");
}

TEST_F(RegistryTool, AbsentKeysAndValuesAreReportedWithExitCodeOne) {
  ASSERT_EQ(qmareg({"add", kKey}).exit_code, 0);
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"query", "HKLM\\SOFTWARE\\Nothing"},
           {"query", kKey, "/v", "Nothing"},
           {"delete", kKey, "/v", "Nothing", "/f"},
           {"delete", "HKLM\\SOFTWARE\\Nothing", "/f"},
       }) {
    ToolRun run = qmareg(args);
    EXPECT_EQ(run.exit_code, 1) << args[0] << " " << args[1];
    EXPECT_EQ(run.err, kNotFound);
  }
}

TEST_F(RegistryTool, WithoutSlashFAnExistingValueIsReplacedOrDeletedOnlyOnYes) {
  ASSERT_EQ(qmareg({"add", kKey, "/v", "V", "/t", "REG_DWORD", "/d", "1"}).exit_code,
            0);  // new: no question
  ToolRun no_answer = qmareg({"add", kKey, "/v", "v", "/t", "REG_DWORD", "/d", "2"});
  EXPECT_EQ(no_answer.exit_code, 1);
  EXPECT_NE(no_answer.out.find("Value v exists, overwrite (Yes/No)?"), std::string::npos);
  EXPECT_NE(registry_text().find("\"V\"=dword:00000001"), std::string::npos);

  ToolRun said_no = qmareg({"add", kKey, "/v", "V", "/t", "REG_DWORD", "/d", "2"}, "no\n");
  EXPECT_EQ(said_no.exit_code, 1);
  EXPECT_NE(registry_text().find("\"V\"=dword:00000001"), std::string::npos);

  ToolRun said_yes = qmareg({"add", kKey, "/v", "V", "/t", "REG_DWORD", "/d", "2"}, "yes\n");
  EXPECT_EQ(said_yes.exit_code, 0);
  EXPECT_NE(registry_text().find("\"V\"=dword:00000002"), std::string::npos);

  EXPECT_EQ(qmareg({"delete", kKey, "/v", "V"}).exit_code, 1);
  EXPECT_NE(registry_text().find("\"V\"=dword:00000002"), std::string::npos);
  EXPECT_EQ(qmareg({"delete", kKey, "/v", "V"}, "y\n").exit_code, 0);
  EXPECT_EQ(registry_text().find("\"V\""), std::string::npos);
}

TEST_F(RegistryTool, DeletingAKeyRemovesItsSubtreeOnly) {
  ASSERT_EQ(qmareg({"add", "HKLM\\SOFTWARE\\Norvik\\QMAgent\\ExConfig\\Deep"}).exit_code, 0);
  ASSERT_EQ(qmareg({"add", kKey, "/v", "A", "/d", "x"}).exit_code, 0);
  ToolRun del = qmareg({"delete", "HKLM\\SOFTWARE\\Norvik\\QMAgent\\ExConfig", "/f"});
  EXPECT_EQ(del.exit_code, 0);
  EXPECT_EQ(del.out, kOk);
  EXPECT_EQ(registry_text().find("ExConfig"), std::string::npos);
  ToolRun tree = qmareg({"query", "HKLM\\SOFTWARE\\Norvik", "/s"});
  EXPECT_EQ(
      tree.out,
      "\nHKEY_LOCAL_MACHINE\\SOFTWARE\\Norvik\n\nHKEY_LOCAL_MACHINE\\SOFTWARE\\Norvik\\QMAgent\n"
      "\nHKEY_LOCAL_MACHINE\\SOFTWARE\\Norvik\\QMAgent\\Config\n    A    REG_SZ    x\n");
}

TEST_F(RegistryTool, BadArgumentsChangeNothing) {
  const std::vector<std::vector<std::string>> bad = {
      {"add", kKey, "/v", "N", "/t", "REG_DWORD", "/d", "12ab"},
      {"add", kKey, "/v", "N", "/t", "REG_DWORD", "/d", "4294967296"},
      {"add", kKey, "/v", "N", "/t", "REG_FANCY", "/d", "1"},
      {"add", kKey, "/t", "REG_SZ", "/d", "1"},
      {"add", "HKCU\\Software\\X"},
      {"add", kKey, "/v"},
      {"add", kKey, "/bogus"},
      {"frobnicate", kKey},
      {},
  };
  for (const auto& args : bad) {
    ToolRun run = qmareg(args);
    EXPECT_EQ(run.exit_code, 1) << (args.empty() ? "" : args.back());
    EXPECT_EQ(run.err.rfind("ERROR: ", 0), 0u) << run.err;
  }
  EXPECT_FALSE(fs::exists(roots_.state() / "registry.reg"));
}

}  // namespace
