// Stop and start: the agent reports stopped only once it has let go of the pipe, so a start
// right after a stop always listens; a listener that cannot start ends the service as a
// failure and the failure command runs.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "platform/local_pipe.h"
#include "platform/process.h"
#include "platform/service_manager.h"
#include "support/real_agent.h"

namespace {

namespace fs = std::filesystem;
namespace p = qma::platform;
using qma::test::answer_text;
using qma::test::exchange;
using qma::test::read_text;
using qma::test::request_frame;
using qma::test::request_xml;
using qma::test::wait_until;

class StopStartTest : public ::testing::Test {
 protected:
  bool answers(const std::string& id) {
    auto reply = exchange(request_frame(request_xml("0", id)), 0, 5000);
    return reply.answer.find("<InReplyTo>" + id + "</InReplyTo>") != std::string::npos &&
           reply.answer.find("<Status>600</Status>") != std::string::npos;
  }

  qma::test::RealAgent agent_;
  qma::test::TempRoots& roots_ = agent_.roots_;
};

TEST_F(StopStartTest, TwentyStopStartCyclesWithAHeldPipeAreEachAnswered) {
  std::vector<p::PipeConnection> holders;
  for (int cycle = 0; cycle < 20; ++cycle) {
    // Started at once after the last stop was reported, as a script would.
    ASSERT_TRUE(agent_.service()->start({}).ok()) << "cycle " << cycle;
    ASSERT_TRUE(wait_until([&] { return agent_.state() != p::kServiceStartPending; }, 10000));
    ASSERT_EQ(agent_.state(), p::kServiceRunning) << "cycle " << cycle << "\n" << agent_.log();
    ASSERT_TRUE(wait_until([&] { return answers("C" + std::to_string(cycle)); }, 5000))
        << "cycle " << cycle << ": the started agent never answered\n"
        << agent_.log();
    holders.clear();
    // A client holds the pipe, silent, while the agent is stopped.
    auto holder = p::connect_local_pipe(QMA_PIPE_NAME, 5000);
    ASSERT_TRUE(holder.ok());
    holders.push_back(std::move(holder.value()));
    p::sleep_ms(20);
    ASSERT_TRUE(agent_.service()->control(p::kServiceControlStop).ok()) << "cycle " << cycle;
    ASSERT_TRUE(wait_until([&] { return agent_.state() == p::kServiceStopped; }, 10000));
    EXPECT_EQ(agent_.service()->query_status()->win32_exit_code, 0u) << "cycle " << cycle;
  }
  // The console tool, whose "stopped" a start right after relies on.
  ASSERT_TRUE(agent_.service()->start({}).ok());
  ASSERT_TRUE(wait_until([&] { return answers("L"); }, 10000));
  auto stopped = agent_.console("-stop");
  EXPECT_TRUE(std::regex_match(
      stopped.output, std::regex("Stopping Quillmend Agent\\.\\.*\nQuillmend Agent stopped\\.\n")))
      << stopped.output;
  auto started = agent_.console("-start");
  EXPECT_TRUE(std::regex_match(
      started.output, std::regex("Starting Quillmend Agent\\.\\.*\nQuillmend Agent started\\.\n")))
      << started.output;
  EXPECT_TRUE(answers("M"));
  EXPECT_FALSE(fs::exists(roots_.state() / "restart-ran")) << "every stop was an ordinary one";
}

TEST_F(StopStartTest, ListenerThatCannotStartEndsTheServiceAsAFailure) {
  // Another process listens on the pipe already.
  auto squatter = p::PipeListener::create(QMA_PIPE_NAME);
  ASSERT_TRUE(squatter.ok());
  ASSERT_TRUE(agent_.service()->start({}).ok());
  ASSERT_TRUE(wait_until([&] { return fs::exists(roots_.state() / "restart-ran"); }, 15000))
      << "the failure command never ran\n"
      << agent_.log();
  auto status = agent_.service()->query_status();
  ASSERT_TRUE(status.ok());
  EXPECT_EQ(status->current_state, p::kServiceStopped);
  EXPECT_EQ(status->win32_exit_code, static_cast<uint32_t>(p::kErrorServiceSpecificError));
  EXPECT_EQ(read_text(roots_.state() / "restart-ran"), "restart\n");
  EXPECT_NE(agent_.log().find("CreateNamedPipe() error! GetLastError=[98]"), std::string::npos)
      << agent_.log();
  EXPECT_NE(agent_.service_log().find("QMAgentService terminated as a failure"), std::string::npos);
}

// The control socket lies deeper in the state folder than the pipe; only the pipe's
// 107-byte limit may bound the state folder's length.
TEST_F(StopStartTest, StateFolderAsLongAsThePipeAllowsStartsAndStops) {
  std::string base = roots_.base().string() + "/";
  fs::path state = base + std::string(91 - base.size(), 's');
  ASSERT_EQ(state.string().size(), 91u);
  ASSERT_EQ(p::local_pipe_path(QMA_PIPE_NAME).size() - roots_.state().string().size() +
                state.string().size(),
            107u);
  fs::create_directories(state);
  setenv("QMA_STATE_DIR", state.c_str(), 1);
  // Whatever happens below, nothing of this state folder keeps running.
  struct Cleanup {
    fs::path state;
    ~Cleanup() {
      for (const char* file : {"host.pid", "service.pid"}) {
        pid_t pid = qma::test::read_pid(state / "scm" / "quillmend%20agent" / file);
        if (qma::test::process_alive(pid)) ::kill(pid, SIGKILL);
      }
    }
  } cleanup{state};
  ASSERT_TRUE(qma::test::write_machine_environment(roots_));
  ASSERT_EQ(agent_.console("-install").exit_code, 1);
  auto started = agent_.console("-start");
  EXPECT_TRUE(std::regex_match(
      started.output, std::regex("Starting Quillmend Agent\\.\\.*\nQuillmend Agent started\\.\n")))
      << started.output << agent_.service_log();
  EXPECT_TRUE(wait_until([&] { return answers("D"); }, 5000));
  auto stopped = agent_.console("-stop");
  EXPECT_TRUE(std::regex_match(
      stopped.output, std::regex("Stopping Quillmend Agent\\.\\.*\nQuillmend Agent stopped\\.\n")))
      << stopped.output;
  EXPECT_EQ(agent_.service_log().find("StartServiceCtrlDispatcher() error!"), std::string::npos);
}

// The agent and its supervisor hold only the descriptors they use, and the service's
// output log stays empty: no help text on a start, no console text of the stop routine.
TEST_F(StopStartTest, ServiceKeepsNoStrayDescriptorsAndWritesNoConsoleText) {
  auto started = agent_.console("-start");
  ASSERT_TRUE(wait_until([&] { return answers("F"); }, 10000)) << started.output;
  fs::path folder = qma::test::service_folder(roots_, qma::test::RealAgent::kServiceName);
  for (const char* file : {"service.pid", "host.pid"}) {
    pid_t pid = qma::test::read_pid(folder / file);
    ASSERT_TRUE(qma::test::process_alive(pid)) << file;
    std::vector<std::string> stray;
    for (const auto& entry : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) {
      std::error_code error;
      std::string target = fs::read_symlink(entry.path(), error).string();
      if (std::stoi(entry.path().filename().string()) > 2 && target == "/dev/null") {
        stray.push_back(entry.path().filename().string());
      }
    }
    EXPECT_EQ(stray, std::vector<std::string>{}) << file << ": /dev/null held beyond 0, 1 and 2";
  }
  auto stopped = agent_.console("-stop");
  EXPECT_NE(stopped.output.find("Quillmend Agent stopped."), std::string::npos) << stopped.output;
  ASSERT_TRUE(wait_until([&] { return !fs::exists(folder / "host.pid"); }, 10000));
  EXPECT_EQ(read_text(folder / "output.log"), "");
}

// Under systemd the failure shows as the process's exit code (1 is an ordinary end),
// so the unit's failure command runs.
TEST_F(StopStartTest, ListenerFailureUnderSystemdEndsWithAFailureExitCode) {
  auto squatter = p::PipeListener::create(QMA_PIPE_NAME);
  ASSERT_TRUE(squatter.ok());
  qma::test::NotifySocket notify(roots_.base() / "notify.sock");
  ASSERT_TRUE(notify.ok());
  auto process = agent_.start_service_process(notify);
  ASSERT_TRUE(process.ok());
  EXPECT_EQ(process->wait(15000), p::WaitStatus::kSignaled);
  if (process->exit_code() == 259) (void)process->kill_tree();
  std::vector<std::string> messages = notify.receive();
  std::string last = messages.empty() ? "" : messages.back();
  EXPECT_EQ(process->exit_code(), 2u);
  EXPECT_EQ(last, "STATUS=qma 16 1 7 1066 1 0 30000\n");
}

}  // namespace
