// Updates end to end: the real agent, the stand-in update tool, a notice receiver over TCP and
// requests over the agent's socket.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "common/xml_text.h"
#include "platform/file.h"
#include "support/real_agent.h"
#include "tools/http_receiver.h"

namespace {

namespace fs = std::filesystem;
using qma::test::first_answer;
using qma::test::HttpReceiver;
using qma::test::read_text;
using qma::test::ReceiverMode;
using qma::test::wait_until;

constexpr const char* kModule = "01000000";

std::string update_request(const std::string& id, const std::string& module,
                           const std::string& mode, const std::string& port,
                           const std::string& option = "") {
  std::string data = "<ModuleID>" + module + "</ModuleID><PackageID>P</PackageID><Mode>" + mode +
                     "</Mode><ReplyToAddress>127.0.0.1</ReplyToAddress><ReplyToPort>" + port +
                     "</ReplyToPort>";
  if (!option.empty()) {
    data +=
        "<extension><option id=\"" + qma::common::xml_escaped(option) + "\"></option></extension>";
  }
  return qma::test::request_xml("3", id, "2.0", data);
}
std::string update_request(const std::string& id, const std::string& module,
                           const std::string& mode, int port, const std::string& option = "") {
  return update_request(id, module, mode, std::to_string(port), option);
}

std::string progress_request(const std::string& id, const std::string& module) {
  return qma::test::request_xml("4", id, "2.0", "<ModuleID>" + module + "</ModuleID>");
}

std::string status_of(const std::string& answer) {
  size_t at = answer.find("<Status>");
  return at == std::string::npos ? "" : answer.substr(at + 8, 3);
}

/// The notice the agent sends for an update of the test module.
std::string notice(const std::string& id, const std::string& status, const std::string& ja,
                   const std::string& en, const std::string& current = "2.0.0",
                   const std::string& ex = "1.0.0") {
  return "<QMAMessage MessageVersion=\"2.0\"><InReplyTo>" + id +
         "</InReplyTo><CommandCode>3</CommandCode><QMAData><Status>" + status +
         "</Status><Module><CurrentVersion>" + current + "</CurrentVersion><ExVersion>" + ex +
         "</ExVersion></Module><ToolOutputLog lang=\"ja\">" + ja +
         "</ToolOutputLog><ToolOutputLog lang=\"en\">" + en +
         "</ToolOutputLog></QMAData></QMAMessage>";
}

class UpdateE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    // The communication service's name selects the plain request function.
    std::ofstream(agent_.bin() / "moxService.xml")
        << "<parameter><serviceName>moxServicePlain</serviceName></parameter>";
    add_module(kModule, "false", 5);
  }

  fs::path dir(const std::string& module) const { return agent_.package_root() / module; }
  void add_module(const std::string& module, const std::string& reboot, int timeout) const {
    add_module(module, reboot, std::to_string(timeout));
  }
  void add_module(const std::string& module, const std::string& reboot,
                  const std::string& timeout) const {
    fs::create_directories(dir(module));
    std::error_code ec;
    fs::create_symlink(QMA_TEST_UPDATE_TOOL, dir(module) / "tool", ec);
    std::string t = "timeout=\"" + timeout + "\"";
    std::ofstream(dir(module) / "QuillInfo.xml")
        << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<quillmend_package><module_id>" << module
        << "</module_id><version>2.0.0</version><reboot>" << reboot
        << "</reboot><supported_operating_systems><windows_os major=\"*\" minor=\"*\" "
           "sp_major=\"*\" sp_minor=\"*\" arch=\"*\"><reference refid=\"all\"/></windows_os>"
           "</supported_operating_systems><usage refid=\"all\"><update_normal "
        << t << ">tool plan.txt</update_normal><update_normal_ext " << t
        << ">tool plan.txt -o #{id} -log #{id}.txt</update_normal_ext><install " << t
        << ">tool plan.txt</install><get_ratio timeout=\"5\">tool ratio.txt</get_ratio>"
           "</usage><output_messages>"
           "<message_list status_code=\"OK\"><message lang=\"ja\">受け付けました</message>"
           "<message lang=\"en\">Accepted</message></message_list>"
           "<message_list status_code=\"Complete\"><message lang=\"ja\">完了しました</message>"
           "<message lang=\"en\">Completed</message></message_list>"
           "<message_list status_code=\"TIMEOUT\"><message lang=\"ja\">時間切れです</message>"
           "<message lang=\"en\">Timed out</message></message_list>"
           "</output_messages></quillmend_package>\n";
    std::ofstream(dir(module) / "CurrentVersion.xml")
        << "<Response><result_code>OK</result_code><data><version>1.0.0</version></data>"
           "</Response>";
  }
  void plan(const std::string& steps, const std::string& module = kModule,
            const std::string& name = "plan.txt") const {
    std::ofstream(dir(module) / name) << steps;
  }
  std::string module_status(const std::string& module = kModule) const {
    return read_text(dir(module) / "ModuleStatus");
  }
  std::string agent_status() const { return read_text(agent_.bin() / "QMAgentStatus"); }
  bool updates_ended(int count) const {
    return wait_until([&] {
      return agent_.count("Success End of ManagerProcIF_Thread") +
                 agent_.count("Error End of ManagerProcIF_Thread") >=
             count;
    });
  }
  static bool gone(pid_t pid) { return !fs::exists("/proc/" + std::to_string(pid)); }

  qma::test::RealAgent agent_;
  HttpReceiver receiver_{ReceiverMode::kAnswerOk};
};

TEST_F(UpdateE2E, AcceptedThenCompleteWithRebootSendsTheNoticeAndLeavesRebootPending) {
  add_module(kModule, "true", 5);
  plan(
      "write Update_normal.xml OK\nwait-gone Update_normal.xml 20000\nsleep 200\n"
      "write Update_normal.xml Complete\n");
  agent_.start();
  std::string out;
  int rc = qma::test::run_command(
      agent_.qmactl_path() + " --id U-1 update " + kModule +
          " update_normal --reply 127.0.0.1:" + std::to_string(receiver_.port()),
      &out);
  EXPECT_EQ(rc, 0) << out;
  EXPECT_NE(out.find("Status: 601\n"), std::string::npos) << out;
  EXPECT_NE(out.find("ToolOutputLog: [lang=en] Accepted\n"), std::string::npos) << out;
  ASSERT_TRUE(receiver_.wait_for(1, 20000)) << agent_.log();
  auto received = receiver_.requests();
  EXPECT_EQ(received[0].path, "/quillmend.manager");
  EXPECT_EQ(received[0].body, notice("U-1", "600", "完了しました", "Completed"));
  ASSERT_TRUE(updates_ended(1));
  EXPECT_EQ(module_status(), "1\n");
  EXPECT_EQ(agent_status(), "2 1");
  EXPECT_FALSE(fs::exists(dir(kModule) / "Update_normal.xml"));
  EXPECT_NE(read_text(agent_.bin() / "QMAPKG_UpdateInfo.txt").find("MSG_ID=U-1\n"),
            std::string::npos)
      << "the information file stays until the next update";
  EXPECT_EQ(agent_.count("moxSlpReStartBatFile[\"\"" +
                         (agent_.bin() / "moxSlpReStart.sh").string() + "\"\"]"),
            1);
}

TEST_F(UpdateE2E, FirstAnswersThatEndTheUpdateWithoutANotice) {
  struct Row {
    const char* name;
    const char* timeout;
    std::string steps;
    const char* status;
    const char* module_status;  // after; the file holds "0\n" before
    const char* message;        // English text of the answer
  };
  const Row rows[] = {
      {"never answers", "1", "pidfile tool.pid\nsleep 20000\n", "905", "2\n", "Timed out"},
      // A time limit that does not begin with a digit is 0: one look, then the tool is ended.
      {"time limit with a leading blank", " 2",
       "sleep 1500\nwrite Update_normal.xml OK\nsleep 20000\n", "905", "2\n", "Timed out"},
      {"NotInstalled", "5", "write Update_normal.xml NotInstalled\n", "771", "0\n", ""},
      {"DownGrade", "5", "write Update_normal.xml DownGrade\n", "772", "0\n", ""},
      {"Depend", "5", "write Update_normal.xml Depend\n", "773", "0\n", ""},
      {"AlreadyInstalled", "5", "write Update_normal.xml AlreadyInstalled\n", "774", "0\n", ""},
      {"Duplex", "5", "write Update_normal.xml Duplex\n", "775", "0\n", ""},
      {"first answer Complete", "5", "write Update_normal.xml Complete\n", "900", "2\n",
       "Completed"},
      {"garbage", "5", "garbage Update_normal.xml\nsleep 3000\n", "900", "2\n", ""},
      {"half written and left so", "5", "half Update_normal.xml\nsleep 3000\n", "900", "2\n", ""},
  };
  agent_.start();
  int ended = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    add_module(kModule, "false", row.timeout);
    std::ofstream(dir(kModule) / "ModuleStatus") << "0\n";
    plan(row.steps);
    std::string answer = first_answer(
        update_request(std::string("F-") + row.status, kModule, "update_normal", receiver_.port()));
    EXPECT_EQ(status_of(answer), row.status) << answer;
    EXPECT_NE(
        answer.find(std::string("<ToolOutputLog lang=\"en\">") + row.message + "</ToolOutputLog>"),
        std::string::npos)
        << answer;
    ASSERT_TRUE(updates_ended(++ended));
    EXPECT_EQ(module_status(), row.module_status);
    EXPECT_EQ(agent_status(), "0 0");
    EXPECT_FALSE(fs::exists(dir(kModule) / "Update_normal.xml"));
  }
  // The tool that never answered was killed and reaped.
  pid_t silent = qma::test::read_pid(dir(kModule) / "tool.pid");
  EXPECT_TRUE(wait_until([&] { return gone(silent); }, 5000));
  EXPECT_EQ(agent_.count("Timeout error!(first response from update-tool). Result file not "
                         "created.[" +
                         dir(kModule).string() + "/update_normal.xml]"),
            2);
  EXPECT_GE(agent_.count("Result of update-tool is invalid! [ErrorInAgent:"), 2);
  EXPECT_EQ(receiver_.requests().size(), 0u) << "no notice follows a first answer that ends";
}

TEST_F(UpdateE2E, FinalAnswersTheirNoticesAndStatuses) {
  HttpReceiver garbage{ReceiverMode::kAnswerGarbage};
  const int closed_port = [] {
    HttpReceiver gone_soon{ReceiverMode::kAnswerOk};
    return gone_soon.port();
  }();
  struct Row {
    const char* name;
    int timeout;
    std::string steps;
    int port;                   // 0: the receiver of the test
    const char* notice_status;  // nullptr: the notice does not reach the receiver
    const char* module_status;
    const char* port_prefix = "";  // text before the port number in the request
  };
  const std::string accepted = "write Update_normal.xml OK\nwait-gone Update_normal.xml 20000\n";
  const Row rows[] = {
      {"Complete", 5, accepted + "write Update_normal.xml Complete\n", 0, "600", "0\n"},
      {"OK instead of Complete", 5, accepted + "write Update_normal.xml OK\n", 0, "900", "2\n"},
      {"crash before the final answer", 5, accepted + "crash\n", 0, "900", "2\n"},
      {"exit without a final answer", 5, accepted + "exit 0\n", 0, "900", "2\n"},
      {"refusal at the end", 5, accepted + "write Update_normal.xml Duplex\n", 0, "775", ""},
      {"hangs past its limit", 1, "pidfile tool.pid\n" + accepted + "sleep 2500\n", 0, "905",
       "2\n"},
      {"helper outlives the tool", 5,
       "child 4000 helper.pid\n" + accepted + "write Update_normal.xml Complete\n", 0, "600",
       "0\n"},
      {"first answer half written, then whole", 5,
       // Seen half written about a second after the start, whole at the second look.
       "sleep 900\nhalf Update_normal.xml\nsleep 700\n" + accepted +
           "write Update_normal.xml Complete\n",
       0, "600", "0\n"},
      {"receiver down", 5, accepted + "write Update_normal.xml Complete\n", closed_port, nullptr,
       "2\n"},
      {"receiver answers garbage", 5, accepted + "write Update_normal.xml Complete\n",
       garbage.port(), nullptr, "2\n"},
      // A port text that does not begin with a digit is port 0: nothing is delivered.
      {"port with a leading blank", 5, accepted + "write Update_normal.xml Complete\n", 0, nullptr,
       "2\n", " "},
  };
  agent_.start();
  int ended = 0;
  size_t notices = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    add_module(kModule, "false", row.timeout);
    fs::remove(dir(kModule) / "ModuleStatus");
    plan(row.steps);
    std::string id = "N-" + std::to_string(ended);
    std::string answer = first_answer(update_request(
        id, kModule, "update_normal",
        row.port_prefix + std::to_string(row.port != 0 ? row.port : receiver_.port())));
    EXPECT_EQ(status_of(answer), "601") << answer;
    ASSERT_TRUE(updates_ended(++ended)) << agent_.log();
    if (row.notice_status != nullptr) {
      ASSERT_TRUE(receiver_.wait_for(++notices, 5000));
      std::string body = receiver_.requests().back().body;
      EXPECT_NE(body.find("<InReplyTo>" + id +
                          "</InReplyTo><CommandCode>3</CommandCode><QMAData>"
                          "<Status>" +
                          row.notice_status + "</Status>"),
                std::string::npos)
          << body;
    } else {
      EXPECT_EQ(receiver_.requests().size(), notices);
    }
    EXPECT_EQ(module_status(), row.module_status);
    EXPECT_EQ(agent_status(), "0 0");
  }
  EXPECT_EQ(receiver_.requests()[5].body, notice("N-5", "905", "時間切れです", "Timed out"));
  EXPECT_EQ(garbage.requests().size(), 1u) << "the notice reached the garbage answerer";
  EXPECT_EQ(agent_.count("Completion data send error!"), 3);
  EXPECT_EQ(agent_.count("_syncRequest() error! para1=[127.0.0.1] para2=[0]"), 1);
  // The tool given up at its limit ends later by itself and is reaped, never left a zombie.
  pid_t late = qma::test::read_pid(dir(kModule) / "tool.pid");
  EXPECT_TRUE(wait_until([&] { return gone(late); }, 10000));
  pid_t helper = qma::test::read_pid(dir(kModule) / "helper.pid");
  if (qma::test::process_alive(helper)) ::kill(helper, SIGKILL);
}

// A tool that leaves a FIFO or a 1 GB file (sparse: it costs no disk) as its result: each
// request is answered at once with the code of an unreadable result, and the agent serves the
// next request (it would answer "901" were it left busy).
TEST_F(UpdateE2E, ResultFilesThatAreNoBoundedRegularFileAnswerAtOnceAsInvalid) {
  const std::string gigabyte = std::to_string(1LL << 30);
  const std::string accepted = "write Update_normal.xml OK\nwait-gone Update_normal.xml 20000\n";
  struct Row {
    const char* name;
    bool progress;       // a progress query (get_ratio) instead of an update
    std::string steps;   // of the update's plan, or of the progress tool's
    const char* answer;  // status of the first answer
    const char* notice;  // status of the notice; nullptr: none
  };
  const Row rows[] = {
      {"first answer a FIFO", false, "fifo Update_normal.xml\nsleep 3000\n", "900", nullptr},
      {"first answer 1 GB", false, "huge Update_normal.xml OK " + gigabyte + "\nsleep 3000\n",
       "900", nullptr},
      {"final answer a FIFO", false, accepted + "fifo Update_normal.xml\n", "601", "900"},
      {"final answer 1 GB", false, accepted + "huge Update_normal.xml Complete " + gigabyte + "\n",
       "601", "900"},
      {"progress a FIFO", true, "fifo Get_ratio.xml\n", "900", nullptr},
      {"progress 1 GB", true, "huge Get_ratio.xml OK " + gigabyte + "\n", "900", nullptr},
  };
  agent_.start();
  int ended = 0;
  size_t notices = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    fs::remove(dir(kModule) / "ModuleStatus");
    plan(row.steps, kModule, row.progress ? "ratio.txt" : "plan.txt");
    const std::string id = "B-" + std::to_string(ended);
    const int errors = agent_.count("Get result of update-tool error!");
    std::string answer =
        first_answer(row.progress ? progress_request(id, kModule)
                                  : update_request(id, kModule, "update_normal", receiver_.port()),
                     15000);
    EXPECT_EQ(status_of(answer), row.answer) << answer;
    if (row.notice != nullptr) {
      ASSERT_TRUE(receiver_.wait_for(++notices, 15000)) << agent_.log();
      EXPECT_EQ(status_of(receiver_.requests().back().body), row.notice);
    }
    ASSERT_TRUE(updates_ended(++ended)) << agent_.log();
    if (!row.progress) {
      EXPECT_EQ(module_status(), "2\n");
    }
    EXPECT_EQ(agent_status(), "0 0");
    EXPECT_GT(agent_.count("Get result of update-tool error!"), errors);
    EXPECT_FALSE(fs::exists(dir(kModule) / (row.progress ? "Get_ratio.xml" : "Update_normal.xml")))
        << "the unreadable result is removed";
  }
  EXPECT_EQ(receiver_.requests().size(), notices);
  EXPECT_GE(agent_.count("xmlReaderForFile() error!"), 6);

  // A later update runs to its end as ever.
  fs::remove(dir(kModule) / "ModuleStatus");
  plan(accepted + "write Update_normal.xml Complete\n");
  EXPECT_EQ(
      status_of(first_answer(update_request("B-9", kModule, "update_normal", receiver_.port()))),
      "601");
  ASSERT_TRUE(receiver_.wait_for(++notices, 15000));
  EXPECT_EQ(receiver_.requests().back().body, notice("B-9", "600", "完了しました", "Completed"));
}

// The rule for tool writers: the first answer stays in the result file until the agent has
// taken it away; only then does the final answer go there.
TEST_F(UpdateE2E, ToolMustKeepItsFirstAnswerUntilTheAgentHasTakenIt) {
  struct Row {
    const char* name;
    std::string steps;
    const char* first_status;   // of the accepted answer
    const char* notice_status;  // nullptr: no notice follows
    const char* module_status;
  };
  const Row rows[] = {
      // Both answers within the first second: the agent's second look finds "Complete" first.
      {"OK, then Complete at once",
       "sleep 300\nwrite Update_normal.xml OK\n"
       "write Update_normal.xml Complete\nsleep 2000\n",
       "900", nullptr, "2\n"},
      {"OK kept until taken, then Complete",
       "sleep 300\nwrite Update_normal.xml OK\nwait-gone Update_normal.xml 20000\n"
       "write Update_normal.xml Complete\n",
       "601", "600", "0\n"},
  };
  agent_.start();
  int ended = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    fs::remove(dir(kModule) / "ModuleStatus");
    plan(row.steps);
    const size_t notices = receiver_.requests().size();
    std::string id = "K-" + std::to_string(ended);
    std::string answer =
        first_answer(update_request(id, kModule, "update_normal", receiver_.port()));
    EXPECT_EQ(status_of(answer), row.first_status) << answer;
    ASSERT_TRUE(updates_ended(++ended)) << agent_.log();
    if (row.notice_status != nullptr) {
      ASSERT_TRUE(receiver_.wait_for(notices + 1, 5000));
      EXPECT_EQ(status_of(receiver_.requests().back().body), row.notice_status);
    } else {
      EXPECT_FALSE(receiver_.wait_for(notices + 1, 1000)) << "no notice follows";
    }
    EXPECT_EQ(module_status(), row.module_status);
  }
  EXPECT_EQ(agent_.count("Result of update-tool is invalid! [Complete:"), 1);
}

TEST_F(UpdateE2E, OptionIdsReachTheToolAsLiteralTextAndAreCheckedInItsAnswers) {
  agent_.start();
  const std::string hostile = "a b\"c;$(touch pwned) `touch pwned2` 'q' \\\\";
  plan(
      "report args.txt\nwrite Update_normal.xml OK option=@3\nwait-gone Update_normal.xml 20000\n"
      "write Update_normal.xml Complete option=@3\n");
  std::string answer =
      first_answer(update_request("O-1", kModule, "update_normal", receiver_.port(), hostile));
  EXPECT_EQ(status_of(answer), "601") << answer;
  EXPECT_NE(answer.find("<Module><extension><option id=\"" + hostile + "\"></option>"),
            std::string::npos)
      << answer;
  ASSERT_TRUE(receiver_.wait_for(1, 20000));
  EXPECT_EQ(status_of(receiver_.requests()[0].body), "600");
  std::ifstream args(dir(kModule) / "args.txt");
  std::vector<std::string> lines;
  for (std::string line; std::getline(args, line);) lines.push_back(line);
  EXPECT_EQ(lines, (std::vector<std::string>{dir(kModule).string(), "tool", "plan.txt", "-o",
                                             hostile, "-log", hostile + ".txt"}));
  EXPECT_FALSE(fs::exists(dir(kModule) / "pwned"));
  EXPECT_FALSE(fs::exists(dir(kModule) / "pwned2"));
  ASSERT_TRUE(updates_ended(1));

  // The option the answer names is checked: missing (906) or another (907); the wait goes on.
  plan(
      "write Update_normal.xml OK\nwait-gone Update_normal.xml 20000\n"
      "write Update_normal.xml Complete option=A1\n");
  EXPECT_EQ(status_of(first_answer(
                update_request("O-2", kModule, "update_normal", receiver_.port(), "A1"))),
            "906");
  ASSERT_TRUE(receiver_.wait_for(2, 20000));
  EXPECT_EQ(status_of(receiver_.requests()[1].body), "600");
  ASSERT_TRUE(updates_ended(2));
  plan(
      "write Update_normal.xml OK option=B2\nwait-gone Update_normal.xml 20000\n"
      "write Update_normal.xml Complete option=B2\n");
  EXPECT_EQ(status_of(first_answer(
                update_request("O-3", kModule, "update_normal", receiver_.port(), "A1"))),
            "907");
  ASSERT_TRUE(receiver_.wait_for(3, 20000));
  EXPECT_EQ(status_of(receiver_.requests()[2].body), "907");
  ASSERT_TRUE(updates_ended(3));
  EXPECT_EQ(agent_.count("Option ID is unmatch! [A1:B2]"), 2);

  // Substituted twice, a 127-character id passes 259 characters: refused, nothing started.
  int started = agent_.count("Execute update-tool. ModuleID=");
  EXPECT_EQ(first_answer(update_request("O-4", kModule, "update_normal", receiver_.port(),
                                        std::string(127, 'x'))),
            "");
  ASSERT_TRUE(updates_ended(4));
  EXPECT_EQ(agent_.count("Execute update-tool. ModuleID="), started);
  EXPECT_EQ(agent_.count("Can't convert option id in update-tool(tool plan.txt -o #{id} -log "
                         "#{id}.txt)! Mode=[update_normal]"),
            1);
  // An id with a line break would forge lines of the module status file.
  EXPECT_EQ(first_answer(qma::test::request_xml(
                "3", "O-5", "2.0",
                "<ModuleID>01000000</ModuleID><PackageID>P</PackageID><Mode>update_normal</"
                "Mode><ReplyToAddress>127.0.0.1"
                "</ReplyToAddress><ReplyToPort>1</ReplyToPort><extension><option id=\"A&#10;B=1\">"
                "</option></extension>")),
            "");
  ASSERT_TRUE(updates_ended(5));
  EXPECT_EQ(agent_.count("Option ID of the request is invalid."), 1);
  EXPECT_EQ(agent_.count("Execute update-tool. ModuleID="), started);
  EXPECT_EQ(module_status(), "0\n" + hostile + "=0\nA1=0\n")
      << "refusals before the start change nothing";
}

TEST_F(UpdateE2E, ProgressIsServedWhileAnUpdateRunsAndASecondUpdateIsRefused) {
  plan(
      "write Update_normal.xml OK\nwait-gone Update_normal.xml 20000\nwait-file go 20000\n"
      "write Update_normal.xml Complete\n");
  plan("write Get_ratio.xml OK data=42\n", kModule, "ratio.txt");
  std::ofstream(dir(kModule) / "ModuleStatus") << "0\n";
  agent_.start();
  auto connection = qma::platform::connect_local_pipe(QMA_PIPE_NAME, 5000);
  ASSERT_TRUE(connection.ok());
  std::string frame =
      qma::test::request_frame(update_request("R-1", kModule, "update_normal", receiver_.port()));
  ASSERT_TRUE(connection->write(frame.data(), frame.size(), 5000).ok());
  ASSERT_TRUE(wait_until([&] { return agent_.count("Accepted of update-tool.") == 1; }));

  // A progress query excludes the next one until its request thread has ended.
  auto progress = [this](const std::string& id, const std::string& module) {
    int ended = agent_.count("QMA_ManagerProcIF() end.");
    std::string answer = first_answer(progress_request(id, module));
    EXPECT_TRUE(wait_until([&] { return agent_.count("QMA_ManagerProcIF() end.") > ended; }));
    return answer;
  };
  EXPECT_EQ(progress("R-2", kModule),
            "<QMAMessage MessageVersion=\"2.0\"><InReplyTo>R-2</InReplyTo><CommandCode>4"
            "</CommandCode><QMAData><Status>600</Status><Progress>42</Progress><ToolOutputLog "
            "lang=\"ja\">受け付けました</ToolOutputLog><ToolOutputLog lang=\"en\">Accepted"
            "</ToolOutputLog></QMAData></QMAMessage>");
  plan("write Get_ratio.xml No-Command\n", kModule, "ratio.txt");
  EXPECT_EQ(status_of(progress("R-3", kModule)), "908");
  EXPECT_EQ(status_of(first_answer(update_request("R-4", kModule, "install", receiver_.port()))),
            "901");
  // A module id that is no folder of the package root is refused with "900", never empty.
  for (const char* module : {"", "..", "../01000000"}) {
    EXPECT_EQ(status_of(progress("R-5", module)), "900") << module;
  }
  EXPECT_TRUE(fs::exists(agent_.bin() / "QMAPKG_UpdateInfo.txt"))
      << "a progress query leaves the running update's information file";
  EXPECT_EQ(agent_status(), "1 0") << "busy while the update runs";
  EXPECT_EQ(module_status(), "0\n");

  std::ofstream(dir(kModule) / "go") << "";
  ASSERT_TRUE(receiver_.wait_for(1, 20000));
  EXPECT_EQ(status_of(receiver_.requests()[0].body), "600");
  ASSERT_TRUE(wait_until([&] { return agent_status() == "0 0"; }));
  EXPECT_EQ(module_status(), "0\n");
}

TEST_F(UpdateE2E, NoticeGoesOverHttpsUnlessTheServiceIsThePlainOne) {
  qma::test::TestCertificate certificate;
  ASSERT_TRUE(certificate.make(agent_.roots_.base(), "notice"));
  setenv("QMA_MOX_CAFILE", certificate.cert.c_str(), 1);
  HttpReceiver secure{ReceiverMode::kAnswerOk, &certificate};
  // A service name that differs from the plain one only in case still means HTTPS.
  std::ofstream(agent_.bin() / "moxService.xml")
      << "<parameter><serviceName>moxserviceplain</serviceName></parameter>";
  plan(
      "write Update_normal.xml OK\nwait-gone Update_normal.xml 20000\n"
      "write Update_normal.xml Complete\n");
  agent_.start();
  unsetenv("QMA_MOX_CAFILE");
  EXPECT_EQ(status_of(first_answer(update_request("S-1", kModule, "update_normal", secure.port()))),
            "601");
  ASSERT_TRUE(secure.wait_for(1, 20000)) << agent_.log();
  EXPECT_EQ(secure.requests()[0].body, notice("S-1", "600", "完了しました", "Completed"));
  ASSERT_TRUE(updates_ended(1));
  EXPECT_EQ(module_status(), "0\n");
}

TEST_F(UpdateE2E, SelfUpdateIsCompletedByTheRestartedAgent) {
  const std::string agent_module = "02000000";
  add_module(agent_module, "false", 30);
  // The tool answers, stops the agent and waits for its process to end (as it must before it
  // replaces the agent's files), starts it again in package start mode, and writes its final
  // answer only then: the new agent waits for it.
  plan("write Update_normal.xml OK\nwait-gone Update_normal.xml 20000\nrun " + agent_.agent_path() +
           " -stop\nwait-parent-gone 20000\nrun " + agent_.agent_path() +
           " -pkgstart\nsleep 1000\nwrite Update_normal.xml Complete\n",
       agent_module);
  agent_.start();
  EXPECT_EQ(status_of(first_answer(
                update_request("SU-1", agent_module, "update_normal", receiver_.port()))),
            "601");
  ASSERT_TRUE(receiver_.wait_for(1, 60000)) << agent_.log();
  EXPECT_EQ(receiver_.requests()[0].body,
            notice("SU-1", "600", "完了しました", "Completed", "3.1.0.7", "1.0.0"))
      << agent_.log();
  ASSERT_TRUE(wait_until([&] { return !fs::exists(agent_.bin() / "QMAPKG_UpdateInfo.txt"); }));
  EXPECT_EQ(agent_.count("QMA_CheckQMAUpdateByPKG() start."), 1);
  EXPECT_EQ(agent_.count("OpenProcess() error!"), 0) << "the tool still ran and was waited for";
  EXPECT_EQ(module_status(agent_module), "0\n");
  EXPECT_FALSE(fs::exists(dir(agent_module) / "Update_normal.xml"));
  // The restarted agent serves requests.
  ASSERT_TRUE(wait_until([] { return fs::exists(qma::platform::local_pipe_path(QMA_PIPE_NAME)); }));
  EXPECT_EQ(status_of(first_answer(qma::test::request_xml("0", "SU-2"))), "600");
}

TEST_F(UpdateE2E, PlainInformationFileIsCompletedAtPackageStart) {
  const std::string agent_module = "02000000";
  add_module(agent_module, "true", 30);
  std::ofstream(agent_.bin() / "QMAPKG_UpdateInfo.txt") << "127.0.0.1\r\n"
                                                        << receiver_.port() << "\r\nPLAIN-1\r\n";
  std::ofstream(dir(agent_module) / "update_normal.xml")
      << "<Response><result_code>Complete</result_code></Response>";
  // A history rotation cut short after it was published: the notice shows its new record.
  fs::create_directories(dir(agent_module) / ".history-rotation");
  auto identity = qma::platform::entry_identity((dir(agent_module) / ".history-rotation").string());
  ASSERT_TRUE(identity.ok());
  std::ofstream(dir(agent_module) / ".history-rotation" / "manifest")
      << "folder " << identity->device << ":" << identity->number
      << "\nCurrentVersion.xml\nExVersion.xml\n";
  std::ofstream(dir(agent_module) / ".history-rotation" / "CurrentVersion.xml")
      << "<Response><result_code>OK</result_code><data><version>1.5.0</version></data>"
         "</Response>";
  fs::copy_file(dir(agent_module) / "CurrentVersion.xml",
                dir(agent_module) / ".history-rotation" / "ExVersion.xml");
  agent_.start("-pkgstart");
  ASSERT_TRUE(receiver_.wait_for(1, 20000)) << agent_.log();
  EXPECT_EQ(receiver_.requests()[0].body,
            notice("PLAIN-1", "600", "完了しました", "Completed", "3.1.0.7", "1.5.0"));
  EXPECT_FALSE(fs::exists(dir(agent_module) / ".history-rotation"));
  EXPECT_NE(read_text(dir(agent_module) / "ExVersion.xml").find("1.0.0"), std::string::npos);
  EXPECT_EQ(module_status(agent_module), "1\n");
  EXPECT_EQ(agent_status(), "0 0") << "a reboot request at start-up finds the agent normal";
  EXPECT_FALSE(fs::exists(agent_.bin() / "QMAPKG_UpdateInfo.txt"));
  EXPECT_FALSE(fs::exists(dir(agent_module) / "update_normal.xml"));
  EXPECT_EQ(status_of(first_answer(qma::test::request_xml("0", "PLAIN-2"))), "600");
}

/// kill -9 of the agent while an update's tool runs, and a plain start after it: the crash
/// either way leaves no tool of the old run behind, and the manager hears exactly once about an
/// update that was accepted.
class CrashE2E : public UpdateE2E {
 protected:
  pid_t agent_pid() const {
    return qma::test::read_pid(
        qma::test::service_folder(agent_.roots_, qma::test::RealAgent::kServiceName) /
        "service.pid");
  }
  void kill_agent() {
    pid_t pid = agent_pid();
    ASSERT_GT(pid, 0);
    ASSERT_EQ(::kill(pid, SIGKILL), 0);
    ASSERT_TRUE(wait_until([&] { return !qma::test::process_alive(pid); }));
    ASSERT_TRUE(wait_until([&] { return agent_.state() == qma::platform::kServiceStopped; }));
  }
  pid_t pid_in(const std::string& name) const { return qma::test::read_pid(dir(kModule) / name); }
  bool gone_soon(pid_t pid) const {
    return wait_until([&] { return !qma::test::process_alive(pid); }, 10000);
  }
  size_t tool_records() const {
    std::error_code ec;
    size_t count = 0;
    for (auto it = fs::directory_iterator(agent_.roots_.state() / "tools", ec);
         !ec && it != fs::directory_iterator(); it.increment(ec))
      ++count;
    return count;
  }
  /// An update of the test module after the crash: answered and completed as any other.
  void next_update_succeeds(const std::string& id, size_t notices_before,
                            const std::string& status_after = "0\n") {
    plan(
        "write Update_normal.xml OK\nwait-gone Update_normal.xml 20000\n"
        "write Update_normal.xml Complete\n");
    EXPECT_EQ(
        status_of(first_answer(update_request(id, kModule, "update_normal", receiver_.port()))),
        "601");
    ASSERT_TRUE(receiver_.wait_for(notices_before + 1, 20000)) << agent_.log();
    EXPECT_EQ(receiver_.requests().back().body, notice(id, "600", "完了しました", "Completed"));
    ASSERT_TRUE(updates_ended(1)) << agent_.log();
    // A failed update's 2 stays until the reboot reset, as after any failure.
    EXPECT_EQ(module_status(), status_after);
    EXPECT_TRUE(wait_until([&] { return tool_records() == 0; }));
  }
};

TEST_F(CrashE2E, CrashAfterTheFirstAnswerIsFinishedByThePlainStartThatFollows) {
  // The tool outlives the killed agent, stays in its process group with a helper, and writes
  // its final answer only after the agent is gone.
  plan(
      "pidfile tool.pid\ndaemon 60000 helper.pid\nwrite Update_normal.xml OK\n"
      "wait-gone Update_normal.xml 20000\nwait-parent-gone 20000\nsleep 1500\n"
      "write Update_normal.xml Complete\n");
  agent_.start();
  EXPECT_EQ(
      status_of(first_answer(update_request("C-1", kModule, "update_normal", receiver_.port()))),
      "601");
  const pid_t tool = pid_in("tool.pid");
  const pid_t helper = pid_in("helper.pid");
  ASSERT_TRUE(qma::test::process_alive(tool));
  kill_agent();
  ASSERT_TRUE(qma::test::process_alive(tool)) << "the tool must outlive the agent";
  EXPECT_EQ(agent_status(), "1 0") << "busy when it crashed";

  agent_.start();
  ASSERT_TRUE(receiver_.wait_for(1, 30000)) << agent_.log();
  EXPECT_EQ(receiver_.requests()[0].body, notice("C-1", "600", "完了しました", "Completed"));
  EXPECT_TRUE(wait_until([&] { return !fs::exists(agent_.bin() / "QMAPKG_UpdateInfo.txt"); }));
  EXPECT_EQ(module_status(), "0\n");
  EXPECT_EQ(agent_status(), "0 0");
  EXPECT_FALSE(fs::exists(dir(kModule) / "Update_normal.xml"));
  EXPECT_TRUE(gone_soon(tool));
  EXPECT_TRUE(gone_soon(helper)) << "what the tool left in its group goes with its update";
  EXPECT_EQ(agent_.count("QMA_CheckQMAUpdateByPKG() start."), 1)
      << "the first start had nothing to finish";
  next_update_succeeds("C-2", 1);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_EQ(receiver_.requests().size(), 2u) << "exactly one notice per update";
}

// The tool writes its final answer and ends while no agent runs: the next start still reads
// that answer, rather than clearing it away with the leftovers of the killed run.
TEST_F(CrashE2E, AFinalAnswerWrittenWhileNoAgentRanIsReportedByTheNextStart) {
  plan(
      "pidfile tool.pid\nwrite Update_normal.xml OK\nwait-gone Update_normal.xml 20000\n"
      "wait-parent-gone 20000\nwrite Update_normal.xml Complete\n");
  agent_.start();
  EXPECT_EQ(
      status_of(first_answer(update_request("F-1", kModule, "update_normal", receiver_.port()))),
      "601");
  const pid_t tool = pid_in("tool.pid");
  kill_agent();
  ASSERT_TRUE(gone_soon(tool)) << "the tool answered and ended";
  ASSERT_TRUE(fs::exists(dir(kModule) / "Update_normal.xml"));

  agent_.start();
  ASSERT_TRUE(receiver_.wait_for(1, 30000)) << agent_.log();
  EXPECT_EQ(receiver_.requests()[0].body, notice("F-1", "600", "完了しました", "Completed"));
  EXPECT_TRUE(wait_until([&] { return module_status() == "0\n"; })) << module_status();
  EXPECT_TRUE(wait_until([&] { return tool_records() == 0; }));
  next_update_succeeds("F-2", 1);
}

TEST_F(CrashE2E, CrashBeforeTheFirstAnswerLeavesNothingRunningAndTheUpdateFailed) {
  // Left alone, the tool and what it started would go on and answer into the next run.
  plan(
      "pidfile tool.pid\ndaemon 60000 helper.pid\nchild 60000 session.pid\nsleep 4000\n"
      "write Update_normal.xml Complete\n");
  std::ofstream(dir(kModule) / "ModuleStatus") << "0\n";
  agent_.start();
  std::thread request([&] {
    EXPECT_EQ(first_answer(update_request("B-1", kModule, "update_normal", receiver_.port())), "")
        << "no answer from a killed agent";
  });
  // Killed at any moment once the tool is on record, with no step of the agent's in between.
  ASSERT_TRUE(wait_until([&] {
    return pid_in("tool.pid") > 0 && pid_in("helper.pid") > 0 && pid_in("session.pid") > 0 &&
           tool_records() == 1;
  }));
  const pid_t tool = pid_in("tool.pid");
  const pid_t helper = pid_in("helper.pid");
  const pid_t session = pid_in("session.pid");
  kill_agent();
  request.join();
  EXPECT_EQ(tool_records(), 1u) << "the record outlives the agent";

  agent_.start();
  EXPECT_TRUE(gone_soon(tool));
  EXPECT_TRUE(gone_soon(helper));
  EXPECT_TRUE(gone_soon(session)) << "a helper in a session of its own goes with the tree";
  EXPECT_EQ(
      agent_.count("Update-tool of the previous run was ended. pid=[" + std::to_string(tool) + "]"),
      1);
  EXPECT_EQ(module_status(), "2\n");
  EXPECT_EQ(tool_records(), 0u);
  std::this_thread::sleep_for(std::chrono::milliseconds(4500));
  EXPECT_FALSE(fs::exists(dir(kModule) / "Update_normal.xml")) << "no stale answer";
  EXPECT_EQ(receiver_.requests().size(), 0u);
  next_update_succeeds("B-2", 0, "2\n");
}

TEST_F(CrashE2E, WhatAToolLeavesInItsProcessGroupIsEndedWhenItEnds) {
  plan(
      "write Update_normal.xml OK\nwait-gone Update_normal.xml 20000\n"
      "daemon 60000 helper.pid\nwrite Update_normal.xml Complete\n");
  agent_.start();
  EXPECT_EQ(
      status_of(first_answer(update_request("D-1", kModule, "update_normal", receiver_.port()))),
      "601");
  ASSERT_TRUE(receiver_.wait_for(1, 20000)) << agent_.log();
  ASSERT_TRUE(updates_ended(1));
  const pid_t helper = pid_in("helper.pid");
  ASSERT_GT(helper, 0);
  EXPECT_TRUE(gone_soon(helper));
  EXPECT_EQ(agent_.count("Processes left by update-tool were ended."), 1) << agent_.log();
  EXPECT_EQ(tool_records(), 0u);
  // A later start finds nothing of it to end.
  agent_.stop();
  agent_.start();
  EXPECT_EQ(agent_.count("of the previous run"), 0);
  EXPECT_EQ(module_status(), "0\n");
}

TEST_F(CrashE2E, TheShippedFailureCommandStartsACrashedAgentAgainAFewTimesAtMost) {
  // The installation's failure command is the one the package brings, beside the program.
  fs::copy_file(QMA_RESTART_SCRIPT, agent_.bin() / "ServiceReStart.sh",
                fs::copy_options::overwrite_existing);
  fs::create_symlink(agent_.agent_path(), agent_.bin() / "QMAgent");
  plan(
      "pidfile tool.pid\nwrite Update_normal.xml OK\nwait-gone Update_normal.xml 20000\n"
      "wait-parent-gone 20000\nsleep 1500\nwrite Update_normal.xml Complete\n");
  agent_.start();
  EXPECT_EQ(
      status_of(first_answer(update_request("R-1", kModule, "update_normal", receiver_.port()))),
      "601");
  auto serving_again = [&](pid_t old) {
    bool up = wait_until(
        [&] {
          pid_t now = agent_pid();
          return now > 0 && now != old && agent_.state() == qma::platform::kServiceRunning;
        },
        20000);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    return up && status_of(first_answer(qma::test::request_xml("0", "R-INFO"))) == "600";
  };
  const fs::path restart_log = agent_.bin() / "ServiceReStart.log";
  for (int crash = 1; crash <= 4; ++crash) {
    pid_t pid = agent_pid();
    ASSERT_GT(pid, 0) << "crash " << crash;
    ASSERT_EQ(::kill(pid, SIGKILL), 0);
    if (crash == 1) {
      // Started again on its own, the agent finishes the update the crash cut off.
      ASSERT_TRUE(receiver_.wait_for(1, 30000)) << agent_.log() << read_text(restart_log);
      EXPECT_EQ(receiver_.requests()[0].body, notice("R-1", "600", "完了しました", "Completed"));
      ASSERT_TRUE(serving_again(pid)) << read_text(restart_log);
      EXPECT_TRUE(gone_soon(pid_in("tool.pid")));
      next_update_succeeds("R-2", 1);
    } else if (crash < 4) {
      ASSERT_TRUE(serving_again(pid)) << "crash " << crash << read_text(restart_log);
    } else {
      // The fourth crash within the minute: left stopped, and the log says why.
      ASSERT_TRUE(wait_until([&] {
        return read_text(restart_log).find("it is left stopped") != std::string::npos;
      })) << read_text(restart_log);
      std::this_thread::sleep_for(std::chrono::seconds(2));
      EXPECT_EQ(agent_.state(), qma::platform::kServiceStopped);
    }
  }
  const std::string lines = read_text(restart_log);
  int restarts = 0;
  for (size_t at = lines.find("starting it again"); at != std::string::npos;
       at = lines.find("starting it again", at + 1))
    ++restarts;
  EXPECT_EQ(restarts, 3) << lines;
  EXPECT_EQ(receiver_.requests().size(), 2u) << "one notice per update";
  // An administrator's start still works.
  agent_.start();
  EXPECT_EQ(status_of(first_answer(qma::test::request_xml("0", "R-3"))), "600");
}

}  // namespace
