// A systemd user manager of a test's own, started in a private mount namespace, so the
// systemd service backend meets the real thing without touching the host's managers.
#pragma once

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace qma::test {

/// Moves this process into a private mount namespace (once) in which /run/systemd/system
/// exists on a tmpfs of its own, so that systemctl and the agent see a systemd host.
/// Needs root and a single-threaded process. Empty on success, else why it failed.
inline std::string enter_private_systemd_namespace() {
  static const std::string result = []() -> std::string {
    if (::geteuid() != 0) {
      return "a private mount namespace needs root; this test runs as uid " +
             std::to_string(::geteuid());
    }
    if (::unshare(CLONE_NEWNS) != 0) {
      return std::string("unshare(CLONE_NEWNS) failed: ") + std::strerror(errno);
    }
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
      return std::string("making / private failed: ") + std::strerror(errno);
    }
    // Where the host has no /run/systemd, a fresh /run takes its place: no folder is
    // ever made on the host's file systems.
    struct stat st {};
    const char* target = ::stat("/run/systemd", &st) == 0 ? "/run/systemd" : "/run";
    if (::mount("tmpfs", target, "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755") != 0) {
      return std::string("tmpfs on ") + target + " failed: " + std::strerror(errno);
    }
    std::error_code ec;
    std::filesystem::create_directories("/run/systemd/system", ec);
    if (ec) return "cannot create /run/systemd/system: " + ec.message();
    return {};
  }();
  return result;
}

/// `systemd --user` with its runtime, configuration and data folders under a test folder,
/// in control groups of its own. The test process's XDG variables and HOME point at
/// those folders while the manager runs, so `systemctl --user` and the programs the test
/// starts talk to this manager.
class UserManager {
 public:
  UserManager() = default;
  UserManager(const UserManager&) = delete;
  UserManager& operator=(const UserManager&) = delete;
  ~UserManager() { stop(); }

  /// Starts the manager and waits until it runs; empty on success, else why not.
  std::string start(const std::filesystem::path& base) {
    namespace fs = std::filesystem;
    base_ = base;
    std::error_code ec;
    const std::pair<const char*, fs::path> folders[] = {
        {"XDG_RUNTIME_DIR", base / "runtime"}, {"XDG_CONFIG_HOME", base / "config"},
        {"XDG_DATA_HOME", base / "data"},      {"XDG_STATE_HOME", base / "state"},
        {"XDG_CACHE_HOME", base / "cache"},    {"HOME", base / "home"},
    };
    for (const auto& [name, folder] : folders) {
      fs::create_directories(folder, ec);
      if (ec) return "cannot create " + folder.string() + ": " + ec.message();
      remember_and_set(name, folder.c_str());
    }
    fs::permissions(base / "runtime", fs::perms::owner_all, ec);
    remember_and_set("DBUS_SESSION_BUS_ADDRESS", nullptr);
    std::string error = make_control_groups();
    if (!error.empty()) return error;

    std::string log = (base / "manager.log").string();
    std::vector<std::pair<std::string, bool>> procs;  // file, move required
    for (size_t i = 0; i < groups_.size(); ++i)
      procs.emplace_back(groups_[i] + "/cgroup.procs", tracking_[i]);
    pid_t parent = ::getpid();
    pid_t pid = ::fork();
    if (pid < 0) return std::string("fork failed: ") + std::strerror(errno);
    if (pid == 0) {
      // Ends with the test, whatever way the test ends.
      ::prctl(PR_SET_PDEATHSIG, SIGTERM);
      if (::getppid() != parent) ::_exit(126);
      // The hierarchies systemd tracks its processes in must take the manager; a
      // controller of the old hierarchy that refuses (cpuset without cpus) may stay.
      for (const auto& [file, required] : procs) {
        int fd = ::open(file.c_str(), O_WRONLY | O_CLOEXEC);
        bool moved = fd >= 0 && ::write(fd, "0", 1) == 1;
        if (fd >= 0) ::close(fd);
        if (!moved && required) ::_exit(125);
      }
      int null_fd = ::open("/dev/null", O_RDONLY);
      int log_fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
      if (null_fd >= 0) ::dup2(null_fd, 0);
      if (log_fd >= 0) {
        ::dup2(log_fd, 1);
        ::dup2(log_fd, 2);
      }
      ::execl("/lib/systemd/systemd", "systemd", "--user", static_cast<char*>(nullptr));
      ::_exit(127);
    }
    pid_ = pid;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    std::string state;
    while (std::chrono::steady_clock::now() < end) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        std::string why = WIFEXITED(status) && WEXITSTATUS(status) == 125
                              ? "it could not join its control groups"
                              : "status " + std::to_string(status);
        return "systemd --user ended at start (" + why + "); its output:\n" + read_file(log);
      }
      systemctl("is-system-running", &state);
      if (state.rfind("running", 0) == 0 || state.rfind("degraded", 0) == 0) return {};
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return "systemd --user did not come up within 30 s (last state: " + state + "); its output:\n" +
           read_file(log);
  }

  /// Ends the manager (its services stop with it), kills whatever is left in its control
  /// groups, removes them, and restores the variables start() changed. Bounded.
  void stop() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      if (!wait_for_end(pid_, 15000)) {
        ::kill(pid_, SIGKILL);
        wait_for_end(pid_, 5000);
      }
      pid_ = -1;
    }
    remove_control_groups();
    for (const auto& [name, value] : saved_) {
      if (value) {
        ::setenv(name.c_str(), value->c_str(), 1);
      } else {
        ::unsetenv(name.c_str());
      }
    }
    saved_.clear();
  }

  /// Runs `systemctl --user ARGS`; its exit status, and its output in *output.
  int systemctl(const std::string& args, std::string* output = nullptr) const {
    std::string command = "systemctl --user " + args + " 2>&1";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return -1;
    std::string text;
    char buffer[1024];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) text.append(buffer, n);
    int status = ::pclose(pipe);
    if (output != nullptr) *output = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  /// One property of a unit (`systemctl --user show -p NAME --value UNIT`), without its LF.
  std::string property(const std::string& unit, const std::string& name) const {
    std::string out;
    systemctl("show -p " + name + " --value " + unit, &out);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
    return out;
  }

  /// What the manager wrote on its standard output and error.
  std::string log() const { return read_file((base_ / "manager.log").string()); }

 private:
  static std::string read_file(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  void remember_and_set(const std::string& name, const char* value) {
    if (saved_.count(name) == 0) {
      const char* old = std::getenv(name.c_str());
      saved_[name] = old != nullptr ? std::optional<std::string>(old) : std::nullopt;
    }
    if (value != nullptr) {
      ::setenv(name.c_str(), value, 1);
    } else {
      ::unsetenv(name.c_str());
    }
  }

  static bool wait_for_end(pid_t pid, int timeout_ms) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
      int status = 0;
      pid_t done = ::waitpid(pid, &status, WNOHANG);
      if (done == pid || (done < 0 && errno == ECHILD)) return true;
      if (std::chrono::steady_clock::now() >= end) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }

  /// A new group below this process's own in every hierarchy, so the manager takes it
  /// for its root and moves no other process of the host.
  std::string make_control_groups() {
    std::vector<std::vector<std::string>> mounts;  // mount point, type, super options
    std::ifstream mountinfo("/proc/self/mountinfo");
    for (std::string line; std::getline(mountinfo, line);) {
      std::istringstream fields(line);
      std::vector<std::string> f;
      for (std::string word; fields >> word;) f.push_back(word);
      auto dash = std::find(f.begin(), f.end(), "-");
      if (f.size() < 5 || dash == f.end() || f.end() - dash < 4) continue;
      if (dash[1] == "cgroup" || dash[1] == "cgroup2") mounts.push_back({f[4], dash[1], dash[3]});
    }
    std::string name = "qma-usermgr-" + std::to_string(::getpid()) + "-" +
                       std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
    std::ifstream own("/proc/self/cgroup");
    for (std::string line; std::getline(own, line);) {
      size_t first = line.find(':');
      size_t second = line.find(':', first + 1);
      if (first == std::string::npos || second == std::string::npos) continue;
      std::string controllers = line.substr(first + 1, second - first - 1);
      std::string path = line.substr(second + 1);
      const std::vector<std::string>* mount = nullptr;
      for (const auto& m : mounts) {
        if (controllers.empty() ? m[1] == "cgroup2"
                                : m[1] == "cgroup" && has_all(m[2], controllers))
          mount = &m;
      }
      if (mount == nullptr) continue;
      std::string group = (*mount)[0] + (path == "/" ? "" : path) + "/" + name;
      if (::mkdir(group.c_str(), 0755) != 0) {
        return "cannot create the control group " + group +
               " for the user manager: " + std::strerror(errno);
      }
      groups_.push_back(group);
      tracking_.push_back(controllers.empty() || controllers == "name=systemd");
    }
    if (groups_.empty()) return "no control group hierarchy found for the user manager";
    return {};
  }

  static bool has_all(const std::string& options, const std::string& controllers) {
    std::string list = "," + options + ",";
    std::istringstream in(controllers);
    for (std::string c; std::getline(in, c, ',');) {
      if (list.find("," + c + ",") == std::string::npos) return false;
    }
    return true;
  }

  /// Kills every process left in the groups (bounded), then removes them deepest first.
  void remove_control_groups() {
    namespace fs = std::filesystem;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
      bool any = false;
      for (const auto& group : groups_) {
        std::error_code ec;
        std::vector<fs::path> folders = {group};
        for (fs::recursive_directory_iterator it(group, ec), stop; !ec && it != stop;
             it.increment(ec)) {
          if (it->is_directory(ec)) folders.push_back(it->path());
        }
        for (const auto& folder : folders) {
          std::ifstream procs(folder / "cgroup.procs");
          for (long pid; procs >> pid;) {
            any = true;
            ::kill(static_cast<pid_t>(pid), SIGKILL);
          }
        }
      }
      while (::waitpid(-1, nullptr, WNOHANG) > 0) {
      }
      if (!any || std::chrono::steady_clock::now() >= end) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    for (const auto& group : groups_) {
      std::error_code ec;
      std::vector<fs::path> folders;
      for (fs::recursive_directory_iterator it(group, ec), stop; !ec && it != stop;
           it.increment(ec)) {
        if (it->is_directory(ec)) folders.push_back(it->path());
      }
      std::sort(folders.begin(), folders.end(), [](const fs::path& a, const fs::path& b) {
        return a.string().size() > b.string().size();
      });
      for (const auto& folder : folders) ::rmdir(folder.c_str());
      ::rmdir(group.c_str());
    }
    groups_.clear();
    tracking_.clear();
  }

  std::filesystem::path base_;
  pid_t pid_ = -1;
  std::vector<std::string> groups_;
  std::vector<bool> tracking_;  // per group: a hierarchy systemd tracks processes in
  std::map<std::string, std::optional<std::string>> saved_;
};

}  // namespace qma::test
