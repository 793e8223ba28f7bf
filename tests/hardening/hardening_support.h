// Helpers of the hardening checks: running a program and collecting its output, test
// users and groups that exist only for one test, and folders other users may enter.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace qma::test {

/// Where the programs under test were built.
inline std::string program_path(const std::string& name) {
  return std::string(QMA_BIN_DIR) + "/" + name;
}

struct RunResult {
  int exit_code = -1;  ///< -1 when it did not end by itself (killed on time-out, or not run)
  std::string out;
  std::string err;
  pid_t pid = 0;
};

/// Runs a program (searched in PATH when it has no '/'), with standard input
/// closed, and collects its output; kills it after timeout_ms.
inline RunResult run_program(const std::vector<std::string>& args, int timeout_ms = 30000) {
  RunResult result;
  std::vector<char*> argv;
  for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  int out[2];
  int err[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return result;
  if (::pipe2(err, O_CLOEXEC) != 0) {
    ::close(out[0]);
    ::close(out[1]);
    return result;
  }
  pid_t pid = ::fork();
  if (pid == 0) {
    int null_fd = ::open("/dev/null", O_RDONLY);
    ::dup2(null_fd, 0);
    if (null_fd > 2) ::close(null_fd);
    ::dup2(out[1], 1);
    ::dup2(err[1], 2);
    ::execvp(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(out[1]);
  ::close(err[1]);
  result.pid = pid;
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  std::string* texts[2] = {&result.out, &result.err};
  int open_count = 2;
  bool killed = false;
  while (open_count > 0 && pid > 0) {
    int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                    end - std::chrono::steady_clock::now())
                                    .count());
    if (left <= 0 && !killed) {
      ::kill(pid, SIGKILL);
      killed = true;
    }
    if (::poll(fds, 2, left > 0 ? left : 100) < 0) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[4096];
      ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        texts[i]->append(buffer, static_cast<size_t>(n));
      } else {
        ::close(fds[i].fd);
        fds[i].fd = -1;
        --open_count;
      }
    }
  }
  for (auto& fd : fds) {
    if (fd.fd >= 0) ::close(fd.fd);
  }
  int status = 0;
  if (pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) && !killed) {
    result.exit_code = WEXITSTATUS(status);
  }
  return result;
}

/// A group and users that exist for the lifetime of the object (useradd and
/// groupadd; CI runs as root). Names carry this process's id, so parallel runs
/// do not meet.
class TestAccounts {
 public:
  TestAccounts() {
    if (::geteuid() != 0) {
      ADD_FAILURE() << "these checks create test users and must run as root";
      return;
    }
    std::string tag = std::to_string(::getpid());
    group_ = "qmag" + tag;
    member_ = "qmam" + tag;
    outsider_ = "qmao" + tag;
    ok_ = run_program({"groupadd", group_}).exit_code == 0;
    ok_ =
        ok_ &&
        run_program({"useradd", "-M", "-N", "-s", "/bin/false", "-G", group_, member_}).exit_code ==
            0;
    ok_ = ok_ && run_program({"useradd", "-M", "-N", "-s", "/bin/false", outsider_}).exit_code == 0;
    if (!ok_) ADD_FAILURE() << "could not create the test group and users";
  }
  ~TestAccounts() {
    for (const auto& user : {member_, outsider_}) {
      if (!user.empty()) (void)run_program({"userdel", user});
    }
    if (!group_.empty()) (void)run_program({"groupdel", group_});
  }
  TestAccounts(const TestAccounts&) = delete;
  TestAccounts& operator=(const TestAccounts&) = delete;

  bool ok() const { return ok_; }
  const std::string& group() const { return group_; }
  const std::string& member() const { return member_; }
  const std::string& outsider() const { return outsider_; }

  /// The command line that runs a program as that user, with the user's groups.
  static std::vector<std::string> as_user(const std::string& user,
                                          const std::vector<std::string>& command) {
    std::vector<std::string> args = {"setpriv", "--reuid=" + user, "--regid=" + primary_group(user),
                                     "--init-groups"};
    args.insert(args.end(), command.begin(), command.end());
    return args;
  }

  /// The user's primary group id, as text.
  static std::string primary_group(const std::string& user) {
    auto id = run_program({"id", "-g", user});
    return id.out.substr(0, id.out.find('\n'));
  }

 private:
  bool ok_ = false;
  std::string group_, member_, outsider_;
};

/// Lets every user enter a folder and the folders above it up to `top` (temporary
/// folders are made for their owner alone).
inline void open_for_all(const std::filesystem::path& folder, const std::filesystem::path& top) {
  for (auto path = folder;; path = path.parent_path()) {
    ::chmod(path.c_str(), 0755);
    if (path == top || path == path.parent_path()) break;
  }
}

}  // namespace qma::test
