// Update-tool process control over real child processes, the result-file check of a package
// start and the final statuses of an update. A tree kill of the tool's helpers is tried in
// test_update_tools_linux.cpp.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "commands/update/update_tools.h"
#include "commands/update_tools_fixture.h"
#include "common/status/qma_status.h"
#include "manager_if/agent_harness.h"
#include "platform/file.h"
#include "platform/process.h"
#include "support/service_support.h"

namespace {

namespace fs = std::filesystem;
using qma::test::path_text;
using qma::test::read_text;

using qma::test::UpdateTools;

TEST_F(UpdateTools, ToolThatCannotStartLeavesNoHandle) {
  QMA_PROC_HANDLE handle = reinterpret_cast<QMA_PROC_HANDLE>(0x1);
  int pid = -5;
  EXPECT_EQ(QMA_ExecuteProcess(path_text(module_).c_str(), "absent", "x", &handle, &pid), 0);
  EXPECT_EQ(handle, nullptr);
  EXPECT_EQ(pid, -5);
  EXPECT_EQ(agent_.count_in_log("CreateProcess() error! GetLastError=[2] para1=[" +
                                (module_ / "absent").string() + "] para2=[x]"),
            1);
  // A path that would not fit the 260-byte buffer is never cut into another program's name.
  std::string long_name(260, 't');
  EXPECT_EQ(QMA_ExecuteProcess(path_text(module_).c_str(), long_name.c_str(), "", &handle, nullptr),
            0);
  EXPECT_EQ(handle, nullptr);
  EXPECT_EQ(agent_.count_in_log("CreateProcess() error! GetLastError=[" +
                                std::to_string(qma::platform::kErrorNameTooLong) + "]"),
            1);
  EXPECT_EQ(QMA_ExecuteProcess(nullptr, "tool", "", &handle, nullptr), 0);
  EXPECT_EQ(QMA_ExecuteProcess(path_text(module_).c_str(), "tool", "", nullptr, nullptr), 0);
  EXPECT_EQ(agent_.count_in_log("Parameter error! pDirName=[0]"), 1);
}

TEST_F(UpdateTools, WaitRangeTimeoutAndEnd) {
  plan("sleep 2500\n");
  QMA_PROC_HANDLE handle = start("plan");
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(QMA_WaitForProcTerm(handle, 0), 0);
  EXPECT_EQ(QMA_WaitForProcTerm(handle, 65536), 0);
  EXPECT_EQ(agent_.count_in_log("Parameter error! iWaitTime=[65536]"), 1);
  EXPECT_EQ(QMA_WaitForProcTerm(nullptr, 5), 0);
  EXPECT_EQ(QMA_WaitForProcTerm(handle, 1), -1) << "the tool still sleeps";
  EXPECT_TRUE(qma::test::process_running(handle->id())) << "it is left running";
  EXPECT_EQ(agent_.count_in_log("Timeout of child process. hproc=[" + std::to_string(handle->id()) +
                                "] iWaitTime=[1]"),
            1);
  EXPECT_EQ(QMA_WaitForProcTerm(handle, 65535), 1);
  EXPECT_EQ(handle->exit_code(), 0u);
  QMA_CloseProcHandle(&handle);
  EXPECT_EQ(handle, nullptr);

  // Without parameters the tool sees only its own name (and so finds no plan).
  int pid = 0;
  handle = start("", &pid);
  EXPECT_EQ(pid, static_cast<int>(handle->id()));
  ASSERT_EQ(QMA_WaitForProcTerm(handle, 10), 1);
  EXPECT_EQ(handle->exit_code(), 100u);
  QMA_CloseProcHandle(&handle);
}

TEST_F(UpdateTools, ResultFileCheckWaitsForTheRecordedToolOnlyInTheAgentLayout) {
  QMA_PKG_INFO_VALUES values = {};
  std::strcpy(values.ResultFileName, "update_normal.xml");
  std::strcpy(values.TimeLimit, "1800");

  // The recorded tool has ended: no wait; the result file is found whatever its case.
  plan("exit 0\n");
  QMA_PROC_HANDLE handle = start("plan");
  ASSERT_EQ(QMA_WaitForProcTerm(handle, 10), 1);
  std::snprintf(values.ProcessId, sizeof values.ProcessId, "%u", handle->id());
  QMA_CloseProcHandle(&handle);
  std::ofstream(module_ / "Update_normal.xml") << "<Response/>";
  EXPECT_EQ(QMA_CheckResultFile(0, path_text(module_).c_str(), &values), 1);
  EXPECT_EQ(agent_.count_in_log("OpenProcess() error! GetLastError=[" +
                                std::to_string(qma::platform::kErrorNoSuchProcess) + "]"),
            1);
  EXPECT_EQ(agent_.count_in_log("Detected file of PKG Response. path[" + module_.string() +
                                "] filename=[update_normal.xml]"),
            1);

  // A tool that still runs is waited for, as long as the recorded time limit says.
  plan("sleep 4000\n");
  handle = start("plan");
  std::snprintf(values.ProcessId, sizeof values.ProcessId, "%u", handle->id());
  std::strcpy(values.TimeLimit, "1");
  EXPECT_EQ(QMA_CheckResultFile(0, path_text(module_).c_str(), &values), 1);
  EXPECT_EQ(agent_.count_in_log("QMA_WaitForProcTerm() timeout error!"), 1);
  std::strcpy(values.TimeLimit, "0");
  EXPECT_EQ(QMA_CheckResultFile(0, path_text(module_).c_str(), &values), 1);
  EXPECT_EQ(agent_.count_in_log("QMA_WaitForProcTerm() error!"), 1);

  // The plain layout records no process: nothing is opened.
  int opened_before = agent_.count_in_log("OpenProcess() error!");
  fs::remove(module_ / "Update_normal.xml");
  EXPECT_EQ(QMA_CheckResultFile(1, path_text(module_).c_str(), &values), 0);
  EXPECT_EQ(agent_.count_in_log("OpenProcess() error!"), opened_before);
  EXPECT_EQ(agent_.count_in_log("QMA_WaitForProcTerm() timeout error!"), 1);
  EXPECT_EQ(agent_.count_in_log("Not found file of PKG Response. path[" + module_.string() +
                                "] filename=[update_normal.xml]"),
            1);
  ASSERT_EQ(QMA_TerminateProcess(handle), 1);
  QMA_CloseProcHandle(&handle);
}

TEST_F(UpdateTools, RecordedTimeLimitIsCappedAt500Seconds) {
  struct Row {
    const char* text;
    int seconds;
  };
  for (const Row& row :
       {Row{"1800", 500}, Row{"500", 500}, Row{"499", 499}, Row{"30s", 30}, Row{"-1", 500},
        Row{"0", 0}, Row{"", 0}, Row{"x", 0}, Row{"99999999999", 500}}) {
    EXPECT_EQ(qma::commands::recorded_tool_wait_seconds(row.text), row.seconds) << row.text;
  }
}

TEST_F(UpdateTools, FinalStatusesOfAnUpdate) {
  struct Row {
    const char* name;
    const char* reboot;  // nullptr: the descriptor has no reboot element
    int success, declined;
    const char* option;
    const char* status_file;  // after; nullptr: no file
    int agent_state;
  };
  const Row rows[] = {
      {"success with reboot", "true", 1, 0, "", "1\n", QMA_AGTSTAT_REBOOT},
      {"success without reboot", "false", 1, 0, "", "0\n", QMA_AGTSTAT_NORMAL},
      {"reboot text in another case", "True", 1, 0, "", "0\n", QMA_AGTSTAT_NORMAL},
      {"no reboot element", nullptr, 1, 0, "", "0\n", QMA_AGTSTAT_NORMAL},
      {"failure", "true", 0, 0, "", "2\n", QMA_AGTSTAT_NORMAL},
      {"declined", "true", 0, 1, "", nullptr, QMA_AGTSTAT_NORMAL},
      {"success of an option", "true", 1, 0, "OPT", "1\nOPT=1\n", QMA_AGTSTAT_REBOOT},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    fs::remove(module_ / "ModuleStatus");
    qma::status::set_agent_status_for_test(QMA_AGTSTAT_BUSY, 0);
    std::string descriptor = "<quillmend_package>";
    if (row.reboot != nullptr) descriptor += std::string("<reboot>") + row.reboot + "</reboot>";
    std::ofstream(module_ / "QuillInfo.xml") << descriptor << "</quillmend_package>";
    CMDTbl cmd = {};
    std::strcpy(cmd.ReqInfo.QMMData.ModuleID, "01000000");
    std::strcpy(cmd.ReqInfo.QMMData.OptionID, row.option);
    QMA_SetModuleStatus(&cmd, row.success, row.declined,
                        path_text(module_ / "QuillInfo.xml").c_str());
    if (row.status_file != nullptr) {
      EXPECT_EQ(read_text(module_ / "ModuleStatus"), row.status_file);
    } else {
      EXPECT_FALSE(fs::exists(module_ / "ModuleStatus"));
    }
    int state = -1, pending = -1;
    qma::status::agent_status(&state, &pending);
    EXPECT_EQ(state, row.agent_state);
    EXPECT_EQ(read_text(agent_.roots_.bin() / "QMAgentStatus"),
              std::to_string(row.agent_state) + (row.agent_state == 2 ? " 1" : " 0"));
  }
  EXPECT_EQ(agent_.count_in_log("reboot_info get error!! FileName=["), 1);
}

TEST_F(UpdateTools, UpdateWhoseResultFilePathIsTooLongIsRefusedUnderItsOwnLine) {
  // A package root so deep that the module's descriptor path fits 259 characters and the result
  // file path (folder, "/Update_normal.xml") does not: 243 + 18 = 261.
  const std::string root = g_QMAConfig.PkgSavePath;
  const fs::path deep = fs::path(root) / std::string(234 - root.size() - 1, 'd');
  const fs::path folder = deep / "01000000";
  ASSERT_EQ(folder.string().size(), 243u);
  fs::create_directories(folder);
  place_tool(folder);
  std::ofstream(folder / "QuillInfo.xml")
      << "<quillmend_package><supported_operating_systems><windows_os major=\"*\" minor=\"*\" "
         "sp_major=\"*\" sp_minor=\"*\" arch=\"*\"><reference refid=\"all\"/></windows_os>"
         "</supported_operating_systems><usage refid=\"all\"><update_normal timeout=\"5\">tool "
         "plan</update_normal></usage></quillmend_package>";
  std::strcpy(g_QMAConfig.PkgSavePath, path_text(deep).c_str());
  MPITbl mpi = {};
  CMDTbl cmd = {};
  std::strcpy(cmd.ReqInfo.CommandCode, "3");
  std::strcpy(cmd.ReqInfo.QMMData.ModuleID, "01000000");
  std::strcpy(cmd.ReqInfo.QMMData.Mode, "update_normal");
  EXPECT_EQ(QMA_ExecuteForUpdateCommand(&mpi, &cmd), 0);
  std::strcpy(g_QMAConfig.PkgSavePath, root.c_str());
  EXPECT_STREQ(cmd.ResInfo.Status, "900");
  EXPECT_EQ(agent_.count_in_log("Result file path of update-tool too long. Length=[261] Path=[" +
                                (folder / "Update_normal.xml").string() + "]"),
            1);
  EXPECT_EQ(agent_.count_in_log("Get command of update-tool error! Mode=[update_normal]"), 1);
  EXPECT_EQ(agent_.count_in_log("Execute update-tool."), 0);
}

TEST_F(UpdateTools, RemoveFileNotesWhatItCouldNotDelete) {
  std::ofstream(module_ / "Install.xml") << "x";
  QMA_RemoveFile(path_text(module_ / "install.xml").c_str());
  EXPECT_FALSE(fs::exists(module_ / "Install.xml")) << "found without regard to case";
  QMA_RemoveFile(path_text(module_ / "Install.xml").c_str());
  EXPECT_EQ(agent_.count_in_log("There is not exists file [" + (module_ / "Install.xml").string()),
            1);
  QMA_RemoveFile(path_text(module_).c_str());
  EXPECT_TRUE(fs::exists(module_));
  EXPECT_EQ(agent_.count_in_log("remove() error! errno=[" +
                                std::to_string(qma::platform::kErrorDeleteFolder) +
                                "], filename=[" + module_.string()),
            1);
}

}  // namespace
