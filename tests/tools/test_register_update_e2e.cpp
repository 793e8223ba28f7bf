// A package's whole road with the real programs: a zip made here is registered with qmactl,
// unpacked by the agent's launcher and archiver, and its own tool then updates the module,
// ending in a completion notice over TCP.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "support/real_agent.h"
#include "tools/http_receiver.h"
#include "tools/zip_builder.h"

namespace {

namespace fs = std::filesystem;
using qma::test::read_text;

constexpr const char* kModule = "01000000";

const char kDescriptor[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<quillmend_package><module_id>01000000"
    "</module_id><version>2.0.0</version><reboot>false</reboot><supported_operating_systems>"
    "<windows_os major=\"*\" minor=\"*\" sp_major=\"*\" sp_minor=\"*\" arch=\"*\">"
    "<reference refid=\"all\"/></windows_os></supported_operating_systems><usage refid=\"all\">"
    "<update_normal timeout=\"20\">update.sh update_normal</update_normal></usage>"
    "<output_messages><message_list status_code=\"Complete\"><message lang=\"ja\">完了"
    "</message><message lang=\"en\">Completed</message></message_list></output_messages>"
    "</quillmend_package>\n";

// Answers "OK", waits until the agent has taken that answer away, then answers "Complete".
const char kToolBody[] =
    "f=Update_normal.xml\n"
    "answer() { printf '<Response><result_code>%s</result_code></Response>' \"$1\" >\"$f.part\" "
    "&& mv \"$f.part\" \"$f\"; }\n"
    "answer OK\n"
    "i=0; while [ -f \"$f\" ] && [ $i -lt 200 ]; do sleep 0.1; i=$((i + 1)); done\n"
    "answer Complete\n";

// A package made here (Unix modes, the tool starts with "#!") and one made on Windows (no
// Unix modes, so the tool unpacks as 0644, and no "#!" line) both update through their tool.
TEST(RegisterThenUpdate, RegisteredPackageIsUpdatedThroughItsOwnTool) {
  struct Row {
    const char* what;
    std::string tool;
    uint32_t mode;
  };
  const Row rows[] = {
      {"made here", std::string("#!/bin/sh\n") + kToolBody, qma::test::kZipTool},
      {"made on Windows", kToolBody, qma::test::kZipWindowsFile},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    qma::test::RealAgent agent;
    qma::test::HttpReceiver receiver(qma::test::ReceiverMode::kAnswerOk);
    std::ofstream(agent.bin() / "moxService.xml")
        << "<parameter><serviceName>moxServicePlain</serviceName></parameter>";
    const fs::path programs = fs::path(agent.agent_path()).parent_path();
    for (const char* program : {"QMZipControl", "QMAzip", "QMAunz"}) {
      fs::copy_file(programs / program, agent.bin() / program);
    }
    const fs::path package = agent.roots_.base() / "package.zip";
    ASSERT_TRUE(qma::test::write_zip(
        package, {{"QuillInfo.xml", kDescriptor, row.mode}, {"update.sh", row.tool, row.mode}}));
    agent.start();

    std::string out;
    int rc = qma::test::run_command(
        agent.qmactl_path() + " register " + kModule + " " + package.string(), &out);
    EXPECT_EQ(rc, 0) << out;
    EXPECT_NE(out.find("Status: 600\n"), std::string::npos) << out;
    const fs::path module = agent.package_root() / kModule;
    EXPECT_EQ(qma::test::tree_of(module),
              (std::vector<std::string>{"ModuleStatus", "QuillInfo.xml", "update.sh"}));
    const fs::perms unpacked = fs::status(module / "update.sh").permissions();
    EXPECT_EQ(unpacked, row.mode == qma::test::kZipTool ? fs::perms(0755) : fs::perms(0644));

    rc = qma::test::run_command(
        agent.qmactl_path() + " --id U-1 update " + kModule +
            " update_normal --reply 127.0.0.1:" + std::to_string(receiver.port()),
        &out);
    EXPECT_EQ(rc, 0) << out;
    EXPECT_NE(out.find("Status: 601\n"), std::string::npos) << out;
    ASSERT_TRUE(receiver.wait_for(1, 30000)) << agent.log();
    const std::string notice = receiver.requests()[0].body;
    EXPECT_NE(notice.find("<InReplyTo>U-1</InReplyTo><CommandCode>3</CommandCode><QMAData><Status>"
                          "600</Status><Module><CurrentVersion>2.0.0</CurrentVersion>"),
              std::string::npos)
        << notice;
    EXPECT_NE(notice.find("<ToolOutputLog lang=\"en\">Completed</ToolOutputLog>"),
              std::string::npos)
        << notice;
    EXPECT_TRUE(qma::test::wait_until([&] {
      return agent.count("QMA_SetModuleStatus() end.") >= 1;
    })) << agent.log();
    EXPECT_EQ(read_text(module / "ModuleStatus"), "0\n");
    EXPECT_FALSE(fs::exists(module / "Update_normal.xml"));
  }
}

}  // namespace
