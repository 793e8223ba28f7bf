// The real QMAgent program installed as a service in fresh roots: its installation files, the
// facts of a test host, its console commands, start and stop; and a client that reads the
// first answer of a request while the agent may keep the connection.
#pragma once

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "manager_if/agent_harness.h"
#include "platform/host.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "platform/service_manager.h"
#include "support/service_support_linux.h"

namespace qma::test {

/// Runs a command line through the shell (stderr with stdout); the exit status, -1 when it did
/// not exit normally.
inline int run_command(const std::string& command, std::string* out = nullptr) {
  FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return -1;
  char buffer[1024];
  size_t n;
  std::string text;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) text.append(buffer, n);
  if (out != nullptr) *out = text;
  int status = ::pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

/// Writes a request and returns the text of the first answer frame; empty when the agent
/// closed the connection (or timeout_ms passed) without one. The connection is closed then.
inline std::string first_answer(const std::string& xml, uint32_t timeout_ms = 30000) {
  auto pipe = platform::connect_local_pipe(QMA_PIPE_NAME, 5000);
  if (!pipe.ok()) {
    ADD_FAILURE() << "cannot connect to the agent's pipe";
    return {};
  }
  const std::string frame = request_frame(xml);
  for (size_t sent = 0; sent < frame.size();) {
    auto n = pipe->write(frame.data() + sent, frame.size() - sent, 5000);
    if (!n.ok()) return {};
    sent += *n;
  }
  std::string got;
  char buffer[4096];
  const uint64_t end = platform::monotonic_ms() + timeout_ms;
  while (platform::monotonic_ms() < end) {
    auto n = pipe->read(buffer, sizeof buffer, 500);
    if (n.ok()) {
      got.append(buffer, *n);
      if (got.size() >= 12 && got.size() >= manager_if::read_le32(got.data() + 8) + 12u) {
        return answer_text(got);
      }
    } else if (n.error() != platform::kErrorPipeTimeout) {
      break;
    }
  }
  return {};
}

/// The OS and boot facts of the test host ("Test Linux 12", booted at 1700000000 with boot
/// id "boot-1") and its firmware facts.
inline void write_test_host(TempRoots& roots) {
  roots.write_host_file("etc/os-release", "PRETTY_NAME=\"Test Linux 12\"\nVERSION_ID=\"12\"\n");
  roots.write_host_file("proc/stat", "cpu 1 2 3\nbtime 1700000000\n");
  roots.write_host_file("proc/sys/kernel/random/boot_id", "boot-1\n");
  write_dmi_facts(roots);
}

/// The files of an agent's installation in the roots: the log folder, the package root, the
/// agent's own descriptor (version 3.1.0.7) and a failure command, ServiceReStart.sh, that
/// appends "restart" to $QMA_STATE_DIR/restart-ran.
inline void write_installation(const TempRoots& roots) {
  const std::filesystem::path bin = roots.bin();
  std::filesystem::create_directories(bin / "QMA_LOGROOT");
  std::filesystem::create_directories(bin / "QMA_PKGROOT");
  std::filesystem::create_directories(bin / "AgentFolder" / "QMAgent");
  std::ofstream(bin / "AgentFolder" / "QMAgent" / "QMAgent.xml")
      << "<?xml version=\"1.0\"?>\n<service><version>3.1.0.7</version></service>\n";
  std::ofstream(bin / "ServiceReStart.sh") << "echo restart >> \"$QMA_STATE_DIR/restart-ran\"\n";
}

/// What a console command of QMAgent printed on its standard output, and its exit status.
struct ConsoleRun {
  std::string output;
  int exit_code = -1;
};

/// A datagram socket in the place of systemd's notify socket, for a service process started
/// directly: it receives what the service reports.
class NotifySocket {
 public:
  explicit NotifySocket(const std::filesystem::path& path) : path_(path.string()) {
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path_.c_str());
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      ::close(fd_);
      fd_ = -1;
    }
  }
  ~NotifySocket() {
    if (fd_ >= 0) ::close(fd_);
  }
  NotifySocket(const NotifySocket&) = delete;
  NotifySocket& operator=(const NotifySocket&) = delete;

  bool ok() const { return fd_ >= 0; }
  const std::string& path() const { return path_; }
  /// The messages that arrived since the last call, in order; does not wait.
  std::vector<std::string> receive() {
    std::vector<std::string> messages;
    char buffer[512];
    ssize_t n;
    while (fd_ >= 0 && (n = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT)) > 0) {
      messages.emplace_back(buffer, static_cast<size_t>(n));
    }
    return messages;
  }

 private:
  std::string path_;
  int fd_ = -1;
};

/// QMAgent installed as "Quillmend Agent" under the standalone service manager in fresh roots;
/// started on request, and every process of it killed when the object goes. While it lives,
/// LD_LIBRARY_PATH names the programs' folder, so libraries bound by name are found beside the
/// programs even where a sanitizer's loader interception hides the programs' own run path.
class RealAgent {
 public:
  static constexpr const char* kServiceName = "Quillmend Agent";

  enum Setup {
    /// The test host's facts and the machine environment are written and the service is
    /// installed.
    kInstalled,
    /// Only the installation's files: host facts, machine environment and installation are
    /// the test's.
    kFilesOnly,
  };

  explicit RealAgent(Setup setup = kInstalled) {
    adopt_orphans();
    setenv("QMA_SCM", "standalone", 1);
    const std::filesystem::path programs =
        std::filesystem::path(platform::current_program_path().value()).parent_path();
    agent_ = (programs / "QMAgent").string();
    qmactl_ = (programs / "qmactl").string();
    if (const char* old = std::getenv("LD_LIBRARY_PATH")) old_library_path_ = old;
    setenv("LD_LIBRARY_PATH", programs.c_str(), 1);
    write_installation(roots_);
    if (setup == kFilesOnly) return;
    write_test_host(roots_);
    EXPECT_TRUE(write_machine_environment(roots_));
    // A console command ends with exit status 1 whatever its outcome.
    EXPECT_EQ(console("-install").exit_code, 1);
  }
  ~RealAgent() {
    kill_services(roots_);
    unsetenv("QMA_SCM");
    if (old_library_path_) {
      setenv("LD_LIBRARY_PATH", old_library_path_->c_str(), 1);
    } else {
      unsetenv("LD_LIBRARY_PATH");
    }
  }
  RealAgent(const RealAgent&) = delete;
  RealAgent& operator=(const RealAgent&) = delete;

  /// Runs "QMAgent ARGUMENTS" as a console command; its standard error is dropped.
  ConsoleRun console(const std::string& arguments) const {
    ConsoleRun run;
    std::string command = "\"" + agent_ + "\" " + arguments + " 2>/dev/null";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return run;
    char buffer[512];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) run.output.append(buffer, n);
    int status = ::pclose(pipe);
    run.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
  }

  /// Starts the service ("-start", or "-pkgstart" for a package start) and waits for its pipe.
  void start(const std::string& how = "-start") {
    std::error_code ec;
    std::filesystem::remove(platform::local_pipe_path(QMA_PIPE_NAME), ec);
    console(how);
    ASSERT_TRUE(wait_until([this] { return state() == platform::kServiceRunning; }));
    ASSERT_TRUE(wait_until([] {
      return std::filesystem::exists(platform::local_pipe_path(QMA_PIPE_NAME));
    })) << log();
  }
  void stop() {
    console("-stop");
    ASSERT_TRUE(wait_until([this] { return state() == platform::kServiceStopped; }));
  }

  /// Starts QMAgent directly as systemd starts the service's process, reporting to `notify`
  /// (NOTIFY_SOCKET, QMA_SCM_SERVICE and QMA_SCM_BACKEND are set for that process alone), in
  /// the roots' base folder.
  platform::Result<platform::Process> start_service_process(const NotifySocket& notify) const {
    setenv("NOTIFY_SOCKET", notify.path().c_str(), 1);
    setenv("QMA_SCM_SERVICE", kServiceName, 1);
    setenv("QMA_SCM_BACKEND", "systemd", 1);
    auto process = platform::Process::spawn(agent_, "\"" + agent_ + "\"", roots_.base().string());
    for (const char* name : {"NOTIFY_SOCKET", "QMA_SCM_SERVICE", "QMA_SCM_BACKEND"}) unsetenv(name);
    return process;
  }

  /// The installed service; null when it is not installed.
  std::unique_ptr<platform::Service> service() const { return open_service(kServiceName); }
  /// Its state (0 when it cannot be read).
  uint32_t state() const { return service_state(kServiceName); }

  std::filesystem::path bin() const { return roots_.bin(); }
  std::filesystem::path package_root() const { return bin() / "QMA_PKGROOT"; }
  /// The agent log and the service log.
  std::string log() const { return read_text(bin() / "QMA_LOGROOT" / "QMAgent.log"); }
  std::string service_log() const { return read_text(bin() / "QMAgentService.log"); }
  /// How often the agent log holds the text.
  int count(const std::string& text) const {
    std::string all = log();
    int found = 0;
    for (size_t at = all.find(text); at != std::string::npos; at = all.find(text, at + 1)) ++found;
    return found;
  }
  const std::string& agent_path() const { return agent_; }
  const std::string& qmactl_path() const { return qmactl_; }

  TempRoots roots_;

 private:
  std::string agent_;
  std::string qmactl_;
  std::optional<std::string> old_library_path_;
};

}  // namespace qma::test
