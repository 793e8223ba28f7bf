// The stand-in update tool's steps that need Linux: FIFOs, SIGKILL, forked helpers in or out of
// the tool's process group, the parent's end, and programs started in the tool's group.
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "update_tool.h"

extern char** environ;

namespace qma::test {
namespace {

// Taken before main, as the tool starts.
const pid_t kParent = getppid();

int make_fifo(const ToolStep& step) {
  std::remove(step.arg(1).c_str());
  return mkfifo(step.arg(1).c_str(), 0644) == 0 ? 0 : 113;
}

int crash(const ToolStep&) {
  kill(getpid(), SIGKILL);
  return 0;
}

/// A forked helper that sleeps MS and outlives the tool; in a session of its own or not.
int start_helper(const ToolStep& step, bool own_session) {
  pid_t pid = fork();
  if (pid < 0) return 108;
  if (pid == 0) {
    if (own_session) setsid();
    sleep_ms(std::atol(step.arg(1).c_str()));
    _exit(0);
  }
  return write_whole(step.arg(2), std::to_string(pid) + "\n") ? 0 : 109;
}

int start_child(const ToolStep& step) {
  return start_helper(step, true);
}

int start_daemon(const ToolStep& step) {
  return start_helper(step, false);
}

int wait_parent_gone(const ToolStep& step) {
  long ms = std::atol(step.arg(1).c_str());
  for (long waited = 0; getppid() == kParent && waited < ms; waited += 20) sleep_ms(20);
  return getppid() == kParent ? 5 : 0;
}

/// Starts the program (no shell) in the tool's own process group and waits for it.
int run_program(const ToolStep& step) {
  std::vector<std::string> program(step.words.begin() + 1, step.words.end());
  if (program.empty()) return 110;
  std::vector<char*> argv;
  for (std::string& a : program) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return 110;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
  }
  return WIFEXITED(status) ? 0 : 110;
}

const ToolStepRegistration kFifo("fifo", make_fifo);
const ToolStepRegistration kCrash("crash", crash);
const ToolStepRegistration kChild("child", start_child);
const ToolStepRegistration kDaemon("daemon", start_daemon);
const ToolStepRegistration kWaitParentGone("wait-parent-gone", wait_parent_gone);
const ToolStepRegistration kRun("run", run_program);

}  // namespace
}  // namespace qma::test
