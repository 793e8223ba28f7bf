// Runs a built program as a child process in a chosen folder and environment, and keeps
// its exit status, standard output and standard error apart.
#pragma once

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "support/temp_roots.h"

namespace qma::test {

struct ToolResult {
  int status = -1;  ///< exit status, -1 when the child did not exit normally
  std::string out;
  std::string err;
};

struct ToolEnvironment {
  std::vector<std::pair<std::string, std::string>> set;
  std::vector<std::string> unset;
};

/// Runs argv (argv[0] is the program path and the child's argv[0]) in `folder`.
inline ToolResult run_tool(const std::vector<std::string>& argv,
                           const std::filesystem::path& folder = {},
                           const ToolEnvironment& environment = {}) {
  ToolResult result;
  auto capture = make_temp_dir("tool");
  auto out_path = capture / "out";
  auto err_path = capture / "err";
  pid_t pid = fork();
  if (pid == 0) {
    int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (out < 0 || err < 0) _exit(120);
    dup2(out, 1);
    dup2(err, 2);
    if (!folder.empty() && chdir(folder.c_str()) != 0) _exit(121);
    for (const auto& [name, value] : environment.set) setenv(name.c_str(), value.c_str(), 1);
    for (const auto& name : environment.unset) unsetenv(name.c_str());
    std::vector<char*> args;
    for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  if (pid > 0) {
    pid_t got;
    do {
      got = waitpid(pid, &status, 0);
    } while (got < 0 && errno == EINTR);
    result.status = got == pid && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  result.out = read_text(out_path);
  result.err = read_text(err_path);
  std::error_code ec;
  std::filesystem::remove_all(capture, ec);
  return result;
}

}  // namespace qma::test
