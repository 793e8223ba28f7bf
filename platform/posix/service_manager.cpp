// Service manager on POSIX: choice of backend and the helpers both backends share.
// OS headers are allowed here; nothing in this file logs.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "platform/environment.h"
#include "platform/error.h"
#include "platform/posix/service_manager_internal.h"
#include "platform/process.h"

extern char** environ;

namespace qma::platform {

Result<std::unique_ptr<ServiceManager>> ServiceManager::open() {
  if (svc::systemd_chosen()) return svc::make_systemd_manager();
  return svc::make_standalone_manager();
}

Result<std::string> current_program_path() {
  char buffer[4096];
  ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
  if (n < 0) {
    int error = errno;
    set_last_error(error);
    return Result<std::string>::failure(error);
  }
  return std::string(buffer, static_cast<size_t>(n));
}

namespace svc {

bool systemd_chosen() {
  auto choice = get_env("QMA_SCM").value_or("");
  if (choice == "systemd") return true;
  if (choice == "standalone") return false;
  struct stat st {};
  return ::stat("/run/systemd/system", &st) == 0 && S_ISDIR(st.st_mode);
}

bool systemd_user_scope() {
  return get_env("QMA_SYSTEMD_SCOPE").value_or("") == "user";
}

std::vector<std::string> systemctl_words(std::vector<std::string> args) {
  if (systemd_user_scope()) args.insert(args.begin(), "--user");
  args.insert(args.begin(), "systemctl");
  return args;
}

std::map<std::string, std::string> parse_key_values(std::string_view text) {
  std::map<std::string, std::string> values;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    size_t eq = line.find('=');
    if (eq != std::string_view::npos)
      values[std::string(line.substr(0, eq))] = std::string(line.substr(eq + 1));
    start = end + 1;
  }
  return values;
}

std::string format_key_values(const std::map<std::string, std::string>& values) {
  std::string out;
  for (const auto& [key, value] : values) {
    std::string clean = value;
    for (char& c : clean) {
      if (c == '\n' || c == '\r') c = ' ';
    }
    out += key + "=" + clean + "\n";
  }
  return out;
}

std::string format_status(const ServiceStatus& s) {
  char line[160];
  std::snprintf(line, sizeof(line), "%u %u %u %u %u %u %u\n", s.service_type, s.current_state,
                s.controls_accepted, s.win32_exit_code, s.service_specific_exit_code, s.check_point,
                s.wait_hint);
  return line;
}

std::optional<ServiceStatus> parse_status(std::string_view text) {
  std::istringstream in{std::string(text)};
  ServiceStatus s;
  if (!(in >> s.service_type >> s.current_state >> s.controls_accepted >> s.win32_exit_code >>
        s.service_specific_exit_code >> s.check_point >> s.wait_hint)) {
    return std::nullopt;
  }
  return s;
}

std::optional<std::string> read_whole(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string content;
  char buffer[4096];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof(buffer));
    if (n < 0) {
      if (errno == EINTR) continue;
      ::close(fd);
      return std::nullopt;
    }
    if (n == 0) break;
    content.append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  return content;
}

bool write_whole(const std::string& path, std::string_view content) {
  std::string temp = path + ".tmpXXXXXX";
  int fd = ::mkstemp(temp.data());
  if (fd < 0) return false;
  ::fchmod(fd, 0644);
  size_t done = 0;
  while (done < content.size()) {
    ssize_t n = ::write(fd, content.data() + done, content.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      int error = errno;
      ::close(fd);
      ::unlink(temp.c_str());
      errno = error;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  if (::close(fd) != 0 || ::rename(temp.c_str(), path.c_str()) != 0) {
    int error = errno;
    ::unlink(temp.c_str());
    errno = error;
    return false;
  }
  return true;
}

ExecArrays::ExecArrays(const std::vector<std::string>& argv, const std::vector<std::string>& envp)
    : argv_strings_(argv), envp_strings_(envp) {
  for (auto& s : argv_strings_) argv_.push_back(s.data());
  argv_.push_back(nullptr);
  for (auto& s : envp_strings_) envp_.push_back(s.data());
  envp_.push_back(nullptr);
}

std::vector<std::string> environment_with(const std::map<std::string, std::string>& changes) {
  std::vector<std::string> env;
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
    std::string entry(*e);
    std::string name = entry.substr(0, entry.find('='));
    if (changes.count(name) == 0) env.push_back(entry);
  }
  for (const auto& [name, value] : changes) {
    if (!value.empty()) env.push_back(name + "=" + value);
  }
  return env;
}

namespace {

/// Forks, runs exec_child in the child with stdin from /dev/null, and waits.
int fork_and_wait(const ExecArrays& arrays, bool use_path, int stdout_fd) {
  pid_t pid = ::fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    int null_fd = ::open("/dev/null", O_RDWR);
    if (null_fd >= 0) {
      ::dup2(null_fd, 0);
      if (stdout_fd < 0) ::dup2(null_fd, 1);
    }
    if (stdout_fd >= 0) ::dup2(stdout_fd, 1);
    ::closefrom(3);  // the program gets the standard descriptors only
    if (use_path) {
      ::execvpe(arrays.argv()[0], arrays.argv(), arrays.envp());
    } else {
      ::execve(arrays.argv()[0], arrays.argv(), arrays.envp());
    }
    ::_exit(127);
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return 128 + WTERMSIG(status);
}

}  // namespace

int run_and_capture(const std::vector<std::string>& argv, std::string* output) {
  if (argv.empty()) return -1;
  ExecArrays arrays(argv, environment_with({}));
  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0) return -1;
  // The reader drains the pipe while the child runs, so a long output never blocks it.
  pid_t pid = ::fork();
  if (pid < 0) {
    ::close(pipe_fds[0]);
    ::close(pipe_fds[1]);
    return -1;
  }
  if (pid == 0) {
    int null_fd = ::open("/dev/null", O_RDWR);
    if (null_fd >= 0) ::dup2(null_fd, 0);
    ::dup2(pipe_fds[1], 1);
    ::closefrom(3);
    ::execvpe(arrays.argv()[0], arrays.argv(), arrays.envp());
    ::_exit(127);
  }
  ::close(pipe_fds[1]);
  std::string captured;
  char buffer[4096];
  for (;;) {
    ssize_t n = ::read(pipe_fds[0], buffer, sizeof(buffer));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    captured.append(buffer, static_cast<size_t>(n));
  }
  ::close(pipe_fds[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  if (output != nullptr) *output = captured;
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return 128 + WTERMSIG(status);
}

int run_failure_command(const std::string& command_line, const std::vector<std::string>& envp) {
  auto args = split_command_line(command_line);
  if (args.empty()) return -1;
  const std::string& program = args[0];
  if (program.size() > 3 && program.compare(program.size() - 3, 3, ".sh") == 0)
    args.insert(args.begin(), "/bin/sh");
  ExecArrays arrays(args, envp);
  return fork_and_wait(arrays, false, -1);
}

namespace {

/// Runs a bind or connect with the address of `path`, shortened through the
/// folder's descriptor when the path is too long for the address.
template <typename Call>
int with_unix_address(const std::string& path, Call call) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::string target = path;
  int folder_fd = -1;
  if (target.size() >= sizeof(address.sun_path)) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ENAMETOOLONG;
    std::string folder = slash == 0 ? std::string("/") : path.substr(0, slash);
    folder_fd = ::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (folder_fd < 0) return errno;
    target = "/proc/self/fd/" + std::to_string(folder_fd) + "/" + path.substr(slash + 1);
    if (target.size() >= sizeof(address.sun_path)) {
      ::close(folder_fd);
      return ENAMETOOLONG;
    }
  }
  std::memcpy(address.sun_path, target.c_str(), target.size() + 1);
  int error =
      call(reinterpret_cast<sockaddr*>(&address), static_cast<socklen_t>(sizeof address)) == 0
          ? 0
          : errno;
  if (folder_fd >= 0) ::close(folder_fd);
  return error;
}

}  // namespace

int bind_unix_socket(int fd, const std::string& path) {
  return with_unix_address(path, [fd](sockaddr* a, socklen_t n) { return ::bind(fd, a, n); });
}

int connect_unix_socket(int fd, const std::string& path) {
  return with_unix_address(path, [fd](sockaddr* a, socklen_t n) { return ::connect(fd, a, n); });
}

unsigned long long process_start_time(pid_t pid) {
  if (pid <= 0) return 0;
  auto stat = read_whole("/proc/" + std::to_string(pid) + "/stat");
  if (!stat) return 0;
  // The command name may hold spaces and parentheses: fields count from the last ')'.
  size_t close = stat->rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream in(stat->substr(close + 1));
  std::string field;
  // Field 3 (state) is the first after ')'; the start time is field 22.
  for (int index = 3; index <= 22; ++index) {
    if (!(in >> field)) return 0;
  }
  char state = '?';
  {
    std::istringstream again(stat->substr(close + 1));
    again >> state;
  }
  if (state == 'Z' || state == 'X') return 0;  // ended, only not yet reaped
  return std::strtoull(field.c_str(), nullptr, 10);
}

}  // namespace svc
}  // namespace qma::platform
