// Child processes: start without a shell, wait through a process descriptor, kill a tree (POSIX
// backend).
//
// This folder is the only place that may include OS headers. Nothing here logs:
// failures are returned and recorded as the thread's last error (errno).
//
// A started program runs in a process group of its own, so that killing "the
// tool and everything it started" is one kill of the group. Waits with a time
// limit poll a pidfd; every child we started is reaped once it has ended, by
// the wait that sees it end or, when nobody waits, by a small reaper thread.
#include "platform/process.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/clock.h"
#include "platform/command_line.h"
#include "platform/error.h"
#include "platform/file.h"

extern char** environ;

namespace qma::platform {

const char* const kScriptExtension = ".sh";

namespace {

constexpr uint32_t kStillActive = 259;

int pidfd_open_raw(pid_t pid) {
#ifdef SYS_pidfd_open
  return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
#else
  (void)pid;
  errno = ENOSYS;
  return -1;
#endif
}

/// The exit code Windows-style callers see: the exit status, or 128 + the
/// signal number for a child that a signal ended (as a shell reports it).
uint32_t exit_code_of(int status) {
  if (WIFEXITED(status)) return static_cast<uint32_t>(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return 128u + static_cast<uint32_t>(WTERMSIG(status));
  return kStillActive;
}

/// True when the program's name ends in ".sh" (in any letter case).
bool is_shell_script(const std::string& path) {
  size_t slash = path.find_last_of('/');
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (name.size() <= 3) return false;
  std::string suffix = name.substr(name.size() - 3);
  for (char& c : suffix) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return suffix == ".sh";
}

/// Starts a program with posix_spawn: no shell, only standard input, output
/// and error inherited, default signal handling and an empty signal mask.
int spawn_program(const std::string& path, const std::vector<std::string>& args, const char* dir,
                  bool own_group, pid_t* pid) {
  std::vector<char*> argv;
  argv.reserve(args.size() + 1);
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  int error = posix_spawn_file_actions_init(&actions);
  if (error != 0) return error;
  error = posix_spawnattr_init(&attr);
  if (error != 0) {
    posix_spawn_file_actions_destroy(&actions);
    return error;
  }
  short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
  if (own_group) flags |= POSIX_SPAWN_SETPGROUP;
  sigset_t none;
  sigset_t all;
  sigemptyset(&none);
  sigfillset(&all);
  sigdelset(&all, SIGKILL);
  sigdelset(&all, SIGSTOP);
  if (error == 0) error = posix_spawnattr_setflags(&attr, flags);
  if (error == 0) error = posix_spawnattr_setsigmask(&attr, &none);
  if (error == 0) error = posix_spawnattr_setsigdefault(&attr, &all);
  if (error == 0 && own_group) error = posix_spawnattr_setpgroup(&attr, 0);
    // Windows children inherit no handles: close whatever a library left open
    // without close-on-exec.
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
  if (error == 0) error = posix_spawn_file_actions_addclosefrom_np(&actions, 3);
#endif
  if (error == 0 && dir != nullptr) error = posix_spawn_file_actions_addchdir_np(&actions, dir);
  if (error == 0) error = posix_spawn(pid, path.c_str(), &actions, &attr, argv.data(), environ);
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  return error;
}

/// Reaps a child nobody waits for any more, so it never stays a zombie.
void reap_in_background(pid_t pid) {
  try {
    std::thread([pid] {
      int status = 0;
      while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
    }).detach();
  } catch (...) {
    // No thread to spare: the child stays a zombie until the process ends.
  }
}

/// Parent of a process from /proc/PID/stat, or -1.
pid_t parent_of(pid_t pid) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  char buf[512];
  ssize_t got = read(fd, buf, sizeof buf - 1);
  close(fd);
  if (got <= 0) return -1;
  buf[got] = '\0';
  // The command name may hold blanks and parentheses; the fields go on after the last ')'.
  std::string_view text(buf, static_cast<size_t>(got));
  size_t close_paren = text.rfind(')');
  if (close_paren == std::string_view::npos) return -1;
  int ppid = -1;
  char state = 0;
  if (std::sscanf(buf + close_paren + 1, " %c %d", &state, &ppid) != 2) return -1;
  return ppid;
}

/// Every descendant of root that /proc shows now (also those that left its group).
std::vector<pid_t> descendants_of(pid_t root) {
  std::multimap<pid_t, pid_t> children;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return {};
  while (dirent* entry = readdir(proc)) {
    char* end = nullptr;
    long value = std::strtol(entry->d_name, &end, 10);
    if (end == entry->d_name || *end != '\0' || value <= 0 || value > INT_MAX) continue;
    pid_t pid = static_cast<pid_t>(value);
    pid_t ppid = parent_of(pid);
    if (ppid > 0) children.emplace(ppid, pid);
  }
  closedir(proc);
  std::vector<pid_t> found;
  std::set<pid_t> seen{root};
  std::vector<pid_t> todo{root};
  while (!todo.empty()) {
    pid_t parent = todo.back();
    todo.pop_back();
    auto range = children.equal_range(parent);
    for (auto it = range.first; it != range.second; ++it) {
      if (seen.insert(it->second).second) {
        found.push_back(it->second);
        todo.push_back(it->second);
      }
    }
  }
  return found;
}

}  // namespace

struct Process::Impl {
  pid_t pid = -1;
  int pidfd = -1;
  bool ours = false;  // started by us, so ours to reap
  bool ended = false;
  uint32_t exit_code = kStillActive;

  ~Impl() {
    if (pidfd >= 0) close(pidfd);
    if (ours && !ended) {
      int status = 0;
      if (waitpid(pid, &status, WNOHANG) == 0) reap_in_background(pid);
    }
  }

  /// Collects the end of the process once the descriptor says it is over.
  /// True when it has ended.
  bool try_collect() {
    // Only the handle that started a child reaps it: an opened handle that reaped
    // it would take the exit code from the one that started it.
    if (ours) {
      int status = 0;
      pid_t got;
      do {
        got = waitpid(pid, &status, WNOHANG);
      } while (got < 0 && errno == EINTR);
      if (got == pid) {
        ended = true;
        exit_code = exit_code_of(status);
        return true;
      }
      if (got == 0) return false;
    }
    // Not our child (an opened process, or one reaped elsewhere). Its exit code
    // cannot be learnt on Linux; it stays "still active".
    if (pidfd >= 0) {
      pollfd p{pidfd, POLLIN, 0};
      if (poll(&p, 1, 0) > 0) {
        ended = true;
        return true;
      }
      return false;
    }
    if (kill(pid, 0) != 0 && errno == ESRCH) {
      ended = true;
      return true;
    }
    return false;
  }
};

Process::Process(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Process::Process(Process&&) noexcept = default;
Process& Process::operator=(Process&&) noexcept = default;
Process::~Process() = default;

Result<Process> Process::spawn(std::string_view application_path, std::string_view command_line,
                               std::string_view current_dir) {
  std::string path(application_path);
  if (path.empty()) {
    set_last_error(EINVAL);
    return Result<Process>::failure(EINVAL);
  }
  std::vector<std::string> args = split_command_line(command_line);
  if (args.empty()) args.push_back(path);
  std::string dir(current_dir);
  // A batch file's counterpart is a .sh script: it runs with /bin/sh whatever its mode and
  // whether or not it starts with "#!", as packages made elsewhere bring it. The arguments
  // stay the ones split above; the shell reads only the script, never a command line.
  if (is_shell_script(path)) {
    // A missing script fails to start as a missing program does, not as a shell's 127.
    std::string script = path.front() == '/' || dir.empty() ? path : dir + "/" + path;
    struct stat st {};
    int error = stat(script.c_str(), &st) != 0 ? errno : S_ISREG(st.st_mode) ? 0 : EACCES;
    if (error != 0) {
      set_last_error(error);
      return Result<Process>::failure(error);
    }
    args[0] = path;
    args.insert(args.begin(), "sh");
    path = "/bin/sh";
  }

  pid_t pid = -1;
  int error = spawn_program(path, args, dir.empty() ? nullptr : dir.c_str(), true, &pid);
  if (error != 0) {
    set_last_error(error);
    return Result<Process>::failure(error);
  }
  auto impl = std::make_unique<Impl>();
  impl->pid = pid;
  impl->ours = true;
  // The child is not reaped yet, so its id cannot have been reused: the
  // descriptor refers to it. Without pidfd support waits fall back to polling.
  impl->pidfd = pidfd_open_raw(pid);
  return Process(std::move(impl));
}

Result<Process> Process::open(uint32_t pid) {
  if (pid == 0 || pid > static_cast<uint32_t>(INT_MAX)) {
    set_last_error(EINVAL);
    return Result<Process>::failure(EINVAL);
  }
  auto impl = std::make_unique<Impl>();
  impl->pid = static_cast<pid_t>(pid);
  impl->pidfd = pidfd_open_raw(impl->pid);
  if (impl->pidfd < 0) {
    int error = errno;
    if (error == ENOSYS) {
      if (kill(impl->pid, 0) != 0 && errno == ESRCH)
        error = ESRCH;
      else
        error = 0;
    }
    if (error != 0) {
      set_last_error(error);
      return Result<Process>::failure(error);
    }
  }
  return Process(std::move(impl));
}

uint32_t Process::id() const {
  return impl_ ? static_cast<uint32_t>(impl_->pid) : 0;
}

uint32_t Process::exit_code() const {
  return impl_ ? impl_->exit_code : kStillActive;
}

WaitStatus Process::wait(uint32_t timeout_ms) {
  if (!impl_) {
    set_last_error(EINVAL);
    return WaitStatus::kFailed;
  }
  if (impl_->ended) return WaitStatus::kSignaled;
  uint64_t deadline = timeout_ms == kInfinite ? 0 : monotonic_ms() + timeout_ms;
  for (;;) {
    int slice;
    if (timeout_ms == kInfinite) {
      slice = -1;
    } else {
      uint64_t now = monotonic_ms();
      uint64_t left = now >= deadline ? 0 : deadline - now;
      slice = static_cast<int>(left > 1000000 ? 1000000 : left);
    }
    if (impl_->pidfd >= 0) {
      pollfd p{impl_->pidfd, POLLIN, 0};
      int ready = poll(&p, 1, slice);
      if (ready < 0 && errno != EINTR) {
        set_last_error(errno);
        return WaitStatus::kFailed;
      }
      if (ready > 0 && impl_->try_collect()) return WaitStatus::kSignaled;
    } else {
      // No process descriptors on this kernel: look every 10 ms.
      if (impl_->try_collect()) return WaitStatus::kSignaled;
      sleep_ms(slice < 0 || slice > 10 ? 10 : static_cast<uint32_t>(slice));
    }
    if (timeout_ms != kInfinite && monotonic_ms() >= deadline) {
      return impl_->try_collect() ? WaitStatus::kSignaled : WaitStatus::kTimeout;
    }
  }
}

Status Process::kill_tree() {
  if (!impl_) {
    set_last_error(EINVAL);
    return Status::failure(EINVAL);
  }
  if (impl_->ended) return Status::success();
  return kill_process_tree(static_cast<uint32_t>(impl_->pid));
}

Status kill_process_tree(uint32_t pid) {
  if (pid <= 1 || pid > static_cast<uint32_t>(INT_MAX)) {
    set_last_error(EINVAL);
    return Status::failure(EINVAL);
  }
  pid_t target = static_cast<pid_t>(pid);
  // Never our own process or our own group.
  if (target == getpid() || target == getpgrp()) {
    set_last_error(EINVAL);
    return Status::failure(EINVAL);
  }
  // Descendants that left the group (a new session, a group of their own) are
  // found through their parents before the tree is torn apart.
  std::vector<pid_t> stray = descendants_of(target);
  bool group_killed = kill(-target, SIGKILL) == 0;
  int group_error = errno;
  bool leader_killed = kill(target, SIGKILL) == 0;
  int leader_error = errno;
  for (pid_t child : stray) {
    if (child != getpid()) kill(child, SIGKILL);
  }
  if (group_killed || leader_killed) return Status::success();
  int error = leader_error == ESRCH ? group_error : leader_error;
  set_last_error(error);
  return Status::failure(error);
}

Status kill_process(uint32_t pid) {
  if (pid <= 1 || pid > static_cast<uint32_t>(INT_MAX) || pid == static_cast<uint32_t>(getpid())) {
    set_last_error(EINVAL);
    return Status::failure(EINVAL);
  }
  if (kill(static_cast<pid_t>(pid), SIGKILL) != 0) {
    int error = errno;
    set_last_error(error);
    return Status::failure(error);
  }
  return Status::success();
}

uint64_t process_start_mark(uint32_t pid) {
  if (pid == 0 || pid > static_cast<uint32_t>(INT_MAX)) return 0;
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%u/stat", pid);
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  char buf[1024];
  ssize_t got = read(fd, buf, sizeof buf - 1);
  close(fd);
  if (got <= 0) return 0;
  buf[got] = '\0';
  // Fields after the command name (which may hold blanks and parentheses): state is field 3,
  // the start time field 22.
  std::string_view text(buf, static_cast<size_t>(got));
  size_t close_paren = text.rfind(')');
  if (close_paren == std::string_view::npos) return 0;
  const char* at = buf + close_paren + 1;
  for (int field = 3; field < 22; ++field) {
    while (*at == ' ') ++at;
    while (*at != ' ' && *at != '\0') ++at;
  }
  unsigned long long start = 0;
  if (std::sscanf(at, " %llu", &start) != 1) return 0;
  // A process that has ended but is not reaped yet is no longer running.
  char state = 0;
  if (std::sscanf(buf + close_paren + 1, " %c", &state) == 1 && (state == 'Z' || state == 'X')) {
    return 0;
  }
  return start == 0 ? 1 : static_cast<uint64_t>(start);
}

Result<bool> kill_process_group(uint32_t group) {
  if (group <= 1 || group > static_cast<uint32_t>(INT_MAX)) {
    set_last_error(EINVAL);
    return Result<bool>::failure(EINVAL);
  }
  pid_t target = static_cast<pid_t>(group);
  if (target == getpgrp()) {
    set_last_error(EINVAL);
    return Result<bool>::failure(EINVAL);
  }
  if (kill(-target, SIGKILL) == 0) return true;
  if (errno == ESRCH) return false;
  set_last_error(errno);
  return Result<bool>::failure(errno);
}

int run_script(std::string_view script_path) {
  std::vector<std::string> args{"sh", std::string(script_path)};
  pid_t pid = -1;
  int error = spawn_program("/bin/sh", args, nullptr, false, &pid);
  if (error != 0) {
    set_last_error(error);
    return -1;
  }
  int status = 0;
  pid_t got;
  do {
    got = waitpid(pid, &status, 0);
  } while (got < 0 && errno == EINTR);
  if (got != pid) {
    set_last_error(errno);
    return -1;
  }
  return static_cast<int>(exit_code_of(status));
}

Result<Process> spawn_script(std::string_view script_path, std::string_view folder) {
  return Process::spawn("/bin/sh", "/bin/sh " + quote_argument(resolve_path(script_path)), folder);
}

uint32_t current_process_id() {
  return static_cast<uint32_t>(getpid());
}

}  // namespace qma::platform
