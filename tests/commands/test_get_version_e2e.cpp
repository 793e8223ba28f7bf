// The get-version command of the real QMAgent under the standalone service manager: module
// folders with real tools (shell scripts, and the agent package's own QMAGetVersion), asked
// through the pipe and through qmactl.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <string>

#include "support/real_agent.h"

namespace {

namespace fs = std::filesystem;
using qma::test::answer_text;
using qma::test::exchange;
using qma::test::read_text;
using qma::test::request_frame;
using qma::test::request_xml;
using qma::test::wait_until;

// A tool that answers with the result the test left in next.xml.
constexpr const char* kCopyTool = "cp next.xml Get_version.xml\n";

std::string result_xml(const std::string& code, const std::string& version,
                       const std::string& options = "") {
  return "<?xml version='1.0' encoding='UTF-8'?><Response><result_code>" + code +
         "</result_code><data><cmp>Upper</cmp><version>" + version + "</version></data>" +
         (options.empty() ? "" : "<extension>" + options + "</extension>") + "</Response>";
}

std::string option_xml(const std::string& id, const std::string& version) {
  return "<option id=\"" + id + "\"><cmp>Even</cmp><version>" + version + "</version></option>";
}

struct Expected {
  std::string id, name_ja, name_en, status, current, previous, before, package, compare, log_ja,
      log_en, extension;
};
std::string module_xml(const Expected& e) {
  return "<Module><ModuleID>" + e.id + "</ModuleID><module_name lang=\"ja\">" + e.name_ja +
         "</module_name><module_name lang=\"en\">" + e.name_en + "</module_name><ModuleStatus>" +
         e.status + "</ModuleStatus><CurrentVersion>" + e.current + "</CurrentVersion><ExVersion>" +
         e.previous + "</ExVersion><ExExVersion>" + e.before + "</ExExVersion><PackageID>" +
         e.package + "</PackageID><Compare>" + e.compare + "</Compare><ToolOutputLog lang=\"ja\">" +
         e.log_ja + "</ToolOutputLog><ToolOutputLog lang=\"en\">" + e.log_en + "</ToolOutputLog>" +
         e.extension + "</Module>";
}
const std::string kBios =
    module_xml({"00000000", "システム BIOS", "System BIOS", "0", "1.0", "", "", "NoPackage", "",
                "(jp)BIOS_VersionGet_Success", "(en)BIOS_VersionGet_Success", ""});
const std::string kAgent = module_xml(
    {"02000000", "Quillmend Agent", "Norvik Quillmend Agent", "0", "3.1.0.7", "", "", "NoPackage",
     "even", "(jp)QMA_VersionGet_Success", "(en)QMA_VersionGet_Success", ""});

// A module of a test package whose tool ran and answered (versions as given).
Expected test_module(const std::string& id, const std::string& status, const std::string& current,
                     const std::string& previous = "", const std::string& before = "") {
  bool ok = !current.empty();
  return {id,
          "モジュール" + id,
          "Module " + id,
          status,
          current,
          previous,
          before,
          "PKG-" + id,
          ok ? "Upper" : "",
          ok ? "取得しました" : "",
          ok ? "Version read." : "",
          ""};
}

/// A module whose tool left no answer the agent could read: status 6 and the agent's error.
Expected unanswered_module(const std::string& id) {
  Expected module = test_module(id, "6", "");
  module.log_ja = "エラー";
  module.log_en = "The agent got no answer.";
  return module;
}

class GetVersionE2E : public ::testing::Test {
 protected:
  void SetUp() override { agent_.start(); }

  // A module folder with a descriptor and a shell-script tool; `timeout` is the descriptor's
  // attribute text ("" leaves the attribute out).
  fs::path add_module(const std::string& id, const std::string& script,
                      const std::string& timeout = "timeout=\"30\"") {
    fs::path folder = root_ / id;
    fs::create_directories(folder);
    std::ofstream(folder / "QuillInfo.xml")
        << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<quillmend_package>"
        << "<module_id>" << id << "</module_id><package_id>PKG-" << id << "</package_id>"
        << "<module_name lang=\"ja\">モジュール" << id << "</module_name>"
        << "<module_name lang=\"en\">Module " << id << "</module_name>"
        << "<module_name_with_id lang=\"ja\">モジュール(" << id << ")</module_name_with_id>"
        << "<module_name_with_id lang=\"en\">Module (" << id << ")</module_name_with_id>"
        << "<supported_operating_systems><windows_os major=\"*\" minor=\"*\" sp_major=\"*\" "
        << "sp_minor=\"*\" arch=\"*\"><reference refid=\"r\"/></windows_os>"
        << "</supported_operating_systems><usage refid=\"r\"><get_version " << timeout
        << ">gv.sh</get_version></usage><output_messages>"
        << "<message_list status_code=\"OK\"><message lang=\"ja\">取得しました</message>"
        << "<message lang=\"en\">Version read.</message></message_list>"
        << "<message_list status_code=\"Busy\"><message lang=\"ja\">使用中です</message>"
        << "<message lang=\"en\">The device is busy.</message></message_list>"
        << "<message_list status_code=\"ErrorInAgent\"><message lang=\"ja\">エラー</message>"
        << "<message lang=\"en\">The agent got no answer.</message></message_list>"
        << "</output_messages></quillmend_package>\n";
    std::ofstream(folder / "gv.sh") << "#!/bin/sh\n" << script;
    fs::permissions(folder / "gv.sh", fs::perms::owner_all | fs::perms::group_read |
                                          fs::perms::group_exec | fs::perms::others_read |
                                          fs::perms::others_exec);
    return folder;
  }
  void answer_next(const std::string& id, const std::string& result) {
    std::ofstream(root_ / id / "next.xml") << result;
  }

  // The answer text of one get-version request.
  static std::string versions(const std::string& id = "GV-1",
                              const std::string& message_version = "2.0") {
    return answer_text(
        exchange(request_frame(request_xml("1", id, message_version)), 0, 60000).answer);
  }
  // The module part of an answer, after checking that it is a complete 600 answer.
  static std::string modules(const std::string& text, const std::string& status = "600") {
    EXPECT_NE(text.find("<QMAData><Status>" + status + "</Status>"), std::string::npos) << text;
    size_t start = text.find("<Module>");
    size_t end = text.rfind("</QMAData>");
    if (end == std::string::npos) return "no answer";
    return start == std::string::npos ? "" : text.substr(start, end - start);
  }

  // Live processes whose current folder is `folder` (a tool and whatever it started).
  static int processes_in(const fs::path& folder) {
    int found = 0;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator("/proc", ec)) {
      std::string name = entry.path().filename().string();
      if (name.find_first_not_of("0123456789") != std::string::npos) continue;
      fs::path cwd = fs::read_symlink(entry.path() / "cwd", ec);
      if (!ec && cwd == folder && qma::test::process_alive(std::stoi(name))) ++found;
    }
    return found;
  }

  qma::test::RealAgent agent_;
  fs::path root_ = agent_.package_root();
};

TEST_F(GetVersionE2E, EmptyRootListsTheBuiltInEntriesInOrder) {
  // The test host has no BMC device, so its entry is left out.
  std::string text = versions("GV-0");
  EXPECT_EQ(modules(text), kBios + kAgent);
  EXPECT_NE(text.find("<InReplyTo>GV-0</InReplyTo><CommandCode>1</CommandCode>"),
            std::string::npos);
  EXPECT_NE(text.find("<AgentVersion>3.1.0.7</AgentVersion>"), std::string::npos);
  EXPECT_NE(text.find("<Serial>SN0042</Serial>"), std::string::npos);
}

TEST_F(GetVersionE2E, OnlyRealWritableVisibleFoldersAreModulesAndBuiltInsYieldByName) {
  add_module("01000000", kCopyTool);
  answer_next("01000000", result_xml("OK", "1.5"));
  // Entries that are no module folders: were any of them processed, its broken descriptor
  // would fail the whole command.
  std::ofstream(root_ / "00000000") << "a plain file takes the BIOS entry's place";
  std::ofstream(root_ / "01000009") << "plain file";
  fs::create_directories(root_ / ".01000002");
  fs::create_directories(root_ / "01000003");
  fs::permissions(root_ / "01000003", fs::perms::owner_write, fs::perm_options::remove);
  fs::create_directory_symlink(root_ / ".01000002", root_ / "01000004");
  fs::create_symlink(root_ / "nowhere", root_ / "01000005");
  for (const char* broken : {".01000002", "01000003"}) {
    std::ofstream(root_ / broken / "QuillInfo.xml") << "<quillmend_package>";
  }
  EXPECT_EQ(modules(versions()), kAgent + module_xml(test_module("01000000", "0", "1.5")));
  fs::permissions(root_ / "01000003", fs::perms::owner_write, fs::perm_options::add);
}

TEST_F(GetVersionE2E, AgentPackageAnswersThroughItsOwnTool) {
  fs::path folder = root_ / "02000000";
  fs::create_directories(folder);
  fs::copy_file(QMA_GETVERSION_PATH, folder / "QMAGetVersion");
  fs::copy_file(QMA_AGENT_PACKAGE_DESCRIPTOR, folder / "QuillInfo.xml");
  // The package carries 3.1.0; the installed agent says 3.1.0.7.
  EXPECT_EQ(modules(versions()),
            kBios + module_xml({"02000000", "Quillmend Agent", "Norvik Quillmend Agent", "0",
                                "3.1.0.7", "", "", "QMAgent-3.1.0", "Lower",
                                "エージェントのバージョンを取得しました。",
                                "The agent version was read.", ""}));
  EXPECT_EQ(read_text(folder / "CurrentVersion.xml"),
            "<?xml version='1.0' encoding='UTF-8'?><Response><result_code>OK</result_code><data>"
            "<cmp>Lower</cmp><version>3.1.0.7</version></data></Response>");
  EXPECT_FALSE(fs::exists(folder / "Get_version.xml"));
}

TEST_F(GetVersionE2E, BusyWithoutEarlierStatusAndAStoredRebootStatusIsKept) {
  add_module("03000000", kCopyTool);
  answer_next("03000000", result_xml("Busy", "9.9"));
  add_module("03010000", kCopyTool);
  answer_next("03010000", result_xml("OK", "2.0"));
  std::ofstream(root_ / "03010000" / "ModuleStatus") << "1\n";
  Expected busy = test_module("03000000", "4", "");
  busy.log_ja = "使用中です";
  busy.log_en = "The device is busy.";
  EXPECT_EQ(modules(versions()),
            kBios + kAgent + module_xml(busy) + module_xml(test_module("03010000", "1", "2.0")));
  EXPECT_EQ(read_text(root_ / "03000000" / "ModuleStatus"), "4\n");
  EXPECT_EQ(read_text(root_ / "03010000" / "ModuleStatus"), "1\n");
}

TEST_F(GetVersionE2E, HistoryKeepsThreeVersionsAndIgnoresRepeats) {
  fs::path folder = add_module("04000000", kCopyTool);
  answer_next("04000000", result_xml("OK", "1.0"));
  EXPECT_EQ(modules(versions()), kBios + kAgent + module_xml(test_module("04000000", "0", "1.0")));

  // The same version again: the history files stay as they are.
  std::ofstream(folder / "CurrentVersion.xml", std::ios::app) << "<!-- first run -->";
  EXPECT_EQ(modules(versions()), kBios + kAgent + module_xml(test_module("04000000", "0", "1.0")));
  EXPECT_NE(read_text(folder / "CurrentVersion.xml").find("<!-- first run -->"), std::string::npos);
  EXPECT_FALSE(fs::exists(folder / "ExVersion.xml"));

  answer_next("04000000", result_xml("OK", "2.0"));
  (void)versions();
  answer_next("04000000", result_xml("OK", "3.0"));
  EXPECT_EQ(modules(versions()),
            kBios + kAgent + module_xml(test_module("04000000", "0", "3.0", "2.0", "1.0")));

  // The same table for people.
  std::string out;
  EXPECT_EQ(qma::test::run_command(std::string(QMACTL_PATH) + " versions", &out), 0) << out;
  for (const char* line :
       {"Status: 600\n", "AgentVersion: 3.1.0.7\n",
        "MODULE    NAME                    VERSION  PREVIOUS  STATUS  MESSAGES\n",
        "00000000  System BIOS             1.0      -         0 (ok)  "
        "(en)BIOS_VersionGet_Success\n",
        "                                                             "
        "(jp)BIOS_VersionGet_Success\n",
        "04000000  Module 04000000         3.0      2.0, 1.0  0 (ok)  Version read.\n",
        "                                                             取得しました\n"}) {
    EXPECT_NE(out.find(line), std::string::npos) << line << "in\n" << out;
  }
}

TEST_F(GetVersionE2E, TimedOutToolIsKilledWithItsChildAndTheNextModuleStillRuns) {
  add_module("05000000", "sleep 300 &\necho $! > child.pid\nsleep 300\n", "timeout=\"1\"");
  add_module("05010000", kCopyTool, "");  // no timeout attribute: 1800 s
  answer_next("05010000", result_xml("OK", "1.0"));
  // A time limit the wait refuses: the tool is not left running unwatched either.
  add_module("05020000", "sleep 300 &\necho $! > child.pid\nsleep 300\n", "timeout=\"0\"");
  Expected killed = unanswered_module("05000000");
  Expected refused = unanswered_module("05020000");
  EXPECT_EQ(modules(versions()), kBios + kAgent + module_xml(killed) +
                                     module_xml(test_module("05010000", "0", "1.0")) +
                                     module_xml(refused));
  pid_t child = qma::test::read_pid(root_ / "05000000" / "child.pid");
  ASSERT_GT(child, 0);
  EXPECT_TRUE(wait_until([child] { return !qma::test::process_alive(child); }, 5000))
      << "the tool's child outlived the kill";
  for (const char* id : {"05000000", "05020000"}) {
    EXPECT_TRUE(wait_until([&] { return processes_in(root_ / id) == 0; }, 5000))
        << "a process still runs in " << id;
  }
  EXPECT_EQ(agent_.count("Wait to finish of update-tool error! [0 sec.]"), 1);
  EXPECT_EQ(agent_.count("Timeout of update-tool. Command=[gv.sh ]"), 1);
  EXPECT_EQ(agent_.count("QMA_GetCommandFromQuillInfo() error! [get_version:timeout:"), 1);
}

// Tools that leave a FIFO or a 1 GB file (sparse) where the agent reads: the answer comes at
// once, the files the agent keeps are regular files again, and a second request answers alike.
TEST_F(GetVersionE2E, FilesThatAreNoBoundedRegularFileNeverHoldTheAnswer) {
  add_module("0A000000", "mkfifo Get_version.xml\n");
  add_module("0A010000",
             "printf '<Response><result_code>OK</result_code>' > Get_version.xml\n"
             "truncate -s 1073741824 Get_version.xml\n");
  add_module("0A020000",
             "cp next.xml Get_version.xml\nrm -f CurrentVersion.xml\n"
             "mkfifo CurrentVersion.xml\n");
  answer_next("0A020000", result_xml("OK", "2.0"));
  add_module("0A030000", "cp next.xml Get_version.xml\nrm -f ModuleStatus\nmkfifo ModuleStatus\n");
  answer_next("0A030000", result_xml("OK", "3.0"));
  Expected unreadable = unanswered_module("0A000000");
  Expected huge = unanswered_module("0A010000");
  const std::string expected = kBios + kAgent + module_xml(unreadable) + module_xml(huge) +
                               module_xml(test_module("0A020000", "0", "2.0")) +
                               module_xml(test_module("0A030000", "0", "3.0"));
  for (const char* id : {"GV-F1", "GV-F2"}) {
    SCOPED_TRACE(id);
    EXPECT_EQ(modules(versions(id)), expected) << agent_.log();
    EXPECT_TRUE(fs::is_regular_file(root_ / "0A020000" / "CurrentVersion.xml"));
    EXPECT_EQ(read_text(root_ / "0A030000" / "ModuleStatus"), "0\n");
    EXPECT_FALSE(fs::exists(root_ / "0A010000" / "Get_version.xml"));
  }
  EXPECT_EQ(agent_.count("Get result of update-tool error! [result_code:"), 4);
}

TEST_F(GetVersionE2E, ModuleIdWithoutADigitKeyIsProcessedWithoutALock) {
  add_module("AB000000", kCopyTool);
  answer_next("AB000000", result_xml("OK", "7.0"));
  EXPECT_EQ(modules(versions()), kBios + kAgent + module_xml(test_module("AB000000", "0", "7.0")));
  EXPECT_EQ(agent_.count("Invalid argument wkbuf=[AB00]"), 2);
  EXPECT_EQ(agent_.count("QMA_getVersionLock() error!"), 1);
}

TEST_F(GetVersionE2E, OptionStatusesMergeAndMessageVersion10HasNoOptions) {
  add_module("07000000", kCopyTool);
  std::ofstream(root_ / "07000000" / "ModuleStatus") << "1\nA=0\nB=2\n";
  answer_next("07000000", result_xml("OK", "2.0", option_xml("A", "1.1") + option_xml("B", "1.2")));
  Expected merged = test_module("07000000", "2", "2.0");
  auto option = [](const char* id, const char* status, const char* version) {
    return std::string("<option id=\"") + id + "\"><ModuleStatus>" + status +
           "</ModuleStatus><Compare>Even</Compare><CurrentVersion>" + version +
           "</CurrentVersion><ExVersion></ExVersion><ExExVersion></ExExVersion></option>";
  };
  merged.extension =
      "<extension><module_name_with_id lang=\"ja\">モジュール(07000000)</module_name_with_id>"
      "<module_name_with_id lang=\"en\">Module (07000000)</module_name_with_id>" +
      option("A", "0", "1.1") + option("B", "2", "1.2") + "</extension>";
  EXPECT_EQ(modules(versions()), kBios + kAgent + module_xml(merged));

  EXPECT_EQ(modules(versions("GV-10", "1.0")),
            kBios + kAgent + module_xml(test_module("07000000", "1", "2.0")));

  // A result naming 500 options: each is reported, the answer stays whole.
  std::string options;
  for (int i = 0; i < 500; ++i) options += option_xml("O" + std::to_string(i), "1");
  answer_next("07000000", result_xml("OK", "3.0", options));
  std::string text = modules(versions());
  int reported = 0;
  for (size_t at = text.find("<option id=\"O"); at != std::string::npos;
       at = text.find("<option id=\"O", at + 1)) {
    ++reported;
  }
  EXPECT_EQ(reported, 500);
  EXPECT_NE(text.find("<option id=\"O499\"><ModuleStatus>0</ModuleStatus>"), std::string::npos);
}

TEST_F(GetVersionE2E, ConcurrentRequestsOnOneModuleAreSerialisedByItsLock) {
  add_module("09000000",
             "echo start >> runs.log\nsleep 1\ncp next.xml Get_version.xml\n"
             "echo end >> runs.log\n");
  answer_next("09000000", result_xml("OK", "1.0"));
  auto first = std::async(std::launch::async, [] { return versions("GV-A"); });
  auto second = std::async(std::launch::async, [] { return versions("GV-B"); });
  std::string expected = kBios + kAgent + module_xml(test_module("09000000", "0", "1.0"));
  EXPECT_EQ(modules(first.get()), expected);
  EXPECT_EQ(modules(second.get()), expected);
  EXPECT_EQ(read_text(root_ / "09000000" / "runs.log"), "start\nend\nstart\nend\n");
}

TEST_F(GetVersionE2E, ASecondRequestLeavesTheFirstOnesFreshResultAlone) {
  // The tool answers at once and ends three seconds later: its fresh result waits in the folder.
  fs::path folder = add_module("09010000", "cp next.xml Get_version.xml\nsleep 3\n");
  answer_next("09010000", result_xml("OK", "1.0"));
  auto first = std::async(std::launch::async, [] { return versions("GV-A"); });
  ASSERT_TRUE(wait_until([&] { return fs::exists(folder / "Get_version.xml"); }, 10000));
  // The second request arrives while the first one's tool has answered but not yet ended.
  auto second = std::async(std::launch::async, [] { return versions("GV-B"); });
  std::string expected = kBios + kAgent + module_xml(test_module("09010000", "0", "1.0"));
  EXPECT_EQ(modules(first.get()), expected);
  EXPECT_EQ(modules(second.get()), expected);
  EXPECT_EQ(read_text(folder / "ModuleStatus"), "0\n");
  EXPECT_EQ(agent_.count("Get_version.xml already exist!"), 0);
}

TEST_F(GetVersionE2E, ModuleWithoutAUsableDescriptorFailsTheWholeCommand) {
  add_module("01000000", kCopyTool);
  answer_next("01000000", result_xml("OK", "1.0"));
  fs::create_directories(root_ / "01000001");
  std::ofstream(root_ / "01000001" / "QuillInfo.xml") << "<quillmend_package><usage>";
  std::string text = versions();
  EXPECT_EQ(modules(text, "900"), "") << "no module entries at all";
  EXPECT_EQ(agent_.count("QMA_GetCommandFromQuillInfo() error! [get_version:"), 1);
  // The module processed before the broken one did run: its status and history are kept.
  EXPECT_EQ(read_text(root_ / "01000000" / "ModuleStatus"), "0\n");
  EXPECT_TRUE(fs::exists(root_ / "01000000" / "CurrentVersion.xml"));
}

}  // namespace
