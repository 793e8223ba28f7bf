// The option id in a tool's command line, and the package information file in both layouts.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "commands/update/option_id.h"
#include "commands/update/package_info.h"
#include "manager_if/agent_harness.h"
#include "platform/process.h"

namespace {

namespace fs = std::filesystem;
using qma::commands::OptionSubstitution;
using qma::commands::substitute_option_id;
using qma::test::read_text;

// What the tool must receive: the template's own arguments with the placeholder replaced by
// the id's exact text.
std::vector<std::string> expected_arguments(const std::string& parameters, const std::string& id) {
  std::vector<std::string> args = qma::platform::split_command_line("\"tool\" " + parameters);
  for (std::string& arg : args) {
    for (size_t at = arg.find("#{id}"); at != std::string::npos; at = arg.find("#{id}", at)) {
      arg.replace(at, 5, id);
      at += id.size();
    }
  }
  return args;
}

TEST(OptionId, ToolReceivesTheIdAsLiteralArgumentText) {
  const std::vector<std::string> templates = {
      "tool -o #{id} -log #{id}.txt",
      "tool \"-o=#{id}\" x",
      "tool pre#{id}post",
      "tool \"a b\" #{id} \"c\"\"d\" e",
      "tool C:\\dir\\#{id} x",
      "tool \"C:\\dir\\#{id}\" x",
      "tool -o#{id}\\ x",
      "tool \"#{id}\\\\\" tail",
      "tool #{id}",
  };
  const std::vector<std::string> ids = {
      "A1",         "a b",        "x\"y",      "back\\slash\\", "\\\"",  "$(touch p)",
      "`id`;ls -l", "'single' q", "tab\there", "\\\\\"\\",      "end\\", "\"",
  };
  for (const std::string& tmpl : templates) {
    for (const std::string& id : ids) {
      SCOPED_TRACE(tmpl + "  <-  " + id);
      std::string out;
      ASSERT_EQ(substitute_option_id(tmpl, id, out), OptionSubstitution::kDone);
      ASSERT_TRUE(out.starts_with("tool ")) << out;
      EXPECT_EQ(qma::platform::split_command_line("\"tool\" " + out.substr(5)),
                expected_arguments(tmpl.substr(5), id))
          << out;
    }
  }
}

TEST(OptionId, PlaceholderRulesAndRefusals) {
  std::string out;
  EXPECT_EQ(substitute_option_id("tool -o #{id} -log #{id}.txt", "A1", out),
            OptionSubstitution::kDone);
  EXPECT_EQ(out, "tool -o A1 -log A1.txt");
  EXPECT_EQ(substitute_option_id("tool -o #{ID}", "A1", out), OptionSubstitution::kNoPlaceholder);
  EXPECT_EQ(substitute_option_id("tool -o #{id}", "#{id}", out), OptionSubstitution::kDone);
  EXPECT_EQ(out, "tool -o #{id}") << "inserted text is not searched again";
  EXPECT_EQ(substitute_option_id("tool_#{id} -x", "B2", out), OptionSubstitution::kDone);
  EXPECT_EQ(out, "tool_B2 -x");
  for (const char* id : {"../../bin/sh", "a b", "x\"y", "a\\b"}) {
    EXPECT_EQ(substitute_option_id("tool_#{id} -x", id, out), OptionSubstitution::kUnsafe) << id;
  }
  EXPECT_EQ(substitute_option_id("tool #{id}\"q\"", "a b", out), OptionSubstitution::kUnsafe);
}

class PackageInfo : public ::testing::Test {
 protected:
  std::string path() const { return (agent_.roots_.bin() / QMA_PKG_INFO_FILE_NAME).string(); }
  void write(const std::string& text) const { std::ofstream(path(), std::ios::binary) << text; }

  qma::test::InProcessAgent agent_;
};

TEST_F(PackageInfo, AgentLayoutIsWrittenAndReadBack) {
  CMDTbl cmd = {};
  std::strcpy(cmd.ReqInfo.MessageVersion, "2.0");
  std::strcpy(cmd.ReqInfo.MessageID, "M-7");
  std::strcpy(cmd.ReqInfo.QMMData.ModuleID, "02000000");
  std::strcpy(cmd.ReqInfo.QMMData.ReplyToAddress, "10.0.0.9");
  std::strcpy(cmd.ReqInfo.QMMData.ReplyToPort, "8080");
  QMA_CreateInfoFile(&cmd, "1800", "update_normal.xml", 4242);
  EXPECT_EQ(read_text(path()),
            "[QMAPKG_UpdateInfo]\nIP_ADDR=10.0.0.9\nPORT=8080\nMSG_ID=M-7\nMOD_ID=02000000\n"
            "MSG_VER=2.0\nRESULT_FILE=update_normal.xml\nPID=4242\nTIMEOUT=1800\n");
  EXPECT_EQ(QMA_CheckInfoFile(path().c_str()), 0);

  CMDTbl back = {};
  QMA_PKG_INFO_VALUES values = {};
  ASSERT_EQ(QMA_GetInfoFile(&back, 0, path().c_str(), &values), 1);
  EXPECT_STREQ(back.ReqInfo.QMMData.ReplyToAddress, "10.0.0.9");
  EXPECT_STREQ(back.ReqInfo.QMMData.ReplyToPort, "8080");
  EXPECT_STREQ(back.ResInfo.InReplyTo, "M-7");
  EXPECT_STREQ(back.ReqInfo.QMMData.ModuleID, "02000000");
  EXPECT_STREQ(back.ReqInfo.MessageVersion, "2.0");
  EXPECT_STREQ(values.ResultFileName, "update_normal.xml");
  EXPECT_STREQ(values.ProcessId, "4242");
  EXPECT_STREQ(values.TimeLimit, "1800");

  // A value holding a line break cannot write lines of its own.
  std::strcpy(cmd.ReqInfo.QMMData.ReplyToAddress, "10.0.0.9\nMOD_ID=../../x");
  QMA_CreateInfoFile(&cmd, "1800", "update_normal.xml", 4242);
  EXPECT_NE(read_text(path()).find("[QMAPKG_UpdateInfo]\nIP_ADDR=10.0.0.9\nPORT=8080\nMSG_ID="),
            std::string::npos)
      << read_text(path());
}

TEST_F(PackageInfo, ReadingRefusesWhatDoesNotFitTheLayout) {
  struct Row {
    const char* name;
    std::string text;
    int layout;
    int read;
    const char* log;
  };
  const std::string head = "[QMAPKG_UpdateInfo]\r\nIP_ADDR=1.2.3.4\r\n";
  const std::string tail =
      "MSG_ID=M\nMOD_ID=02000000\nMSG_VER=2.0\nRESULT_FILE=Install.xml\n"
      "PID=1\nTIMEOUT=5\n";
  const Row rows[] = {
      {"port without a value", head + "PORT=\n" + tail, 0, 0,
       "No data error! try to get param_tag_nm[PORT=]"},
      {"tags out of order", head + "MSG_ID=M\nPORT=1\n", 0, 0,
       "Position of the tag error! buf=[MSG_ID=M] tag=[PORT=]"},
      {"file ends early", head, 0, 0,
       "QMCmnFGetSwithoutNL() error! try to get param_tag_nm[PORT=]"},
      {"module id leading out of the package root",
       head + "PORT=1\nMSG_ID=M\nMOD_ID=..\nMSG_VER=2.0\nRESULT_FILE=a.xml\nPID=1\nTIMEOUT=5\n", 0,
       0, "Invalid data error! MOD_ID=[..]"},
      {"result file in another folder",
       head + "PORT=1\nMSG_ID=M\nMOD_ID=02000000\nMSG_VER=2.0\nRESULT_FILE=../a.xml\nPID=1\n"
              "TIMEOUT=5\n",
       0, 0, "Invalid data error!"},
      {"plain layout", "10.1.1.1\n9090\nP-1\n", 1, 1, "get param_tag_nm[MSG_ID=] param_nm[P-1]"},
      {"plain layout cut short", "10.1.1.1\n", 1, 0,
       "QMCmnFGetSwithoutNL() error! try to get param_tag_nm[PORT=]"},
      {"empty file", "", -1, 0, "QMCmnFGetSwithoutNL() error! try to get first tag"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    write(row.text);
    int before = agent_.count_in_log(row.log);
    EXPECT_EQ(QMA_CheckInfoFile(path().c_str()), row.layout);
    CMDTbl cmd = {};
    QMA_PKG_INFO_VALUES values = {};
    if (row.layout != -1) {
      EXPECT_EQ(QMA_GetInfoFile(&cmd, row.layout, path().c_str(), &values), row.read);
    }
    EXPECT_GT(agent_.count_in_log(row.log), before) << row.log;
    EXPECT_STREQ(cmd.ReqInfo.MessageVersion, row.layout == -1 ? "" : "2.0");
  }
  fs::remove(path());
  EXPECT_EQ(QMA_CheckInfoFile(path().c_str()), -1);
}

TEST_F(PackageInfo, PackageStartWithoutInstallationRootTouchesNothingRelative) {
  // Without AXIS2C_HOME the package root is the relative "QMA_PKGROOT": the working folder
  // holds what it would name, and nothing of it may go.
  const fs::path working = fs::current_path();
  const fs::path elsewhere = agent_.roots_.base() / "working";
  const std::string root = g_QMAConfig.PkgSavePath;
  const std::string home = agent_.roots_.home().string();
  std::vector<fs::path> kept;
  for (const fs::path& folder : {elsewhere / "QMA_PKGROOT" / "02000000", elsewhere / "02000000",
                                 fs::path(root) / "02000000"}) {
    fs::create_directories(folder);
    std::ofstream(folder / "Update_normal.xml") << "<Response/>";
    kept.push_back(folder / "Update_normal.xml");
  }
  fs::current_path(elsewhere);
  std::strcpy(g_QMAConfig.PkgSavePath, "QMA_PKGROOT");
  qma::test::set_env("AXIS2C_HOME", "");
  EXPECT_EQ(QMA_CheckQMAUpdateByPKG(), 1);
  qma::test::unset_env("AXIS2C_HOME");
  EXPECT_EQ(QMA_CheckQMAUpdateByPKG(), 1);
  fs::current_path(working);

  // An absolute package root is cleaned, but no module folder is built below it.
  std::ofstream(fs::path(root) / "Update_normal.xml") << "<Response/>";
  std::strcpy(g_QMAConfig.PkgSavePath, root.c_str());
  EXPECT_EQ(QMA_CheckQMAUpdateByPKG(), 1);
  qma::test::set_env("AXIS2C_HOME", qma::test::path_text(home));
  EXPECT_FALSE(fs::exists(fs::path(root) / "Update_normal.xml"));
  for (const fs::path& file : kept) EXPECT_TRUE(fs::exists(file)) << file;
  EXPECT_EQ(agent_.count_in_log("getenv( \"AXIS2C_HOME\" ) error!"), 3);
}

}  // namespace
