// The real QMAgent program installed under the standalone service manager in fresh roots, and
// a client that reads the first answer of a request while the agent may keep the connection.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "manager_if/agent_harness.h"
#include "platform/host.h"
#include "platform/registry.h"
#include "platform/service_manager.h"
#include "service/service_test_support.h"

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

/// QMAgent installed as "Quillmend Agent" in fresh roots with the host facts of a test host;
/// started on request, and every process of it killed when the object goes.
class RealAgent {
 public:
  static constexpr const char* kServiceName = "Quillmend Agent";

  RealAgent() {
    adopt_orphans();
    setenv("QMA_SCM", "standalone", 1);
    std::filesystem::path programs =
        std::filesystem::path(platform::current_program_path().value()).parent_path();
    agent_ = (programs / "QMAgent").string();
    qmactl_ = (programs / "qmactl").string();
    std::filesystem::create_directories(bin() / "QMA_LOGROOT");
    std::filesystem::create_directories(package_root());
    std::filesystem::create_directories(bin() / "AgentFolder" / "QMAgent");
    std::ofstream(bin() / "AgentFolder" / "QMAgent" / "QMAgent.xml")
        << "<?xml version=\"1.0\"?>\n<service><version>3.1.0.7</version></service>\n";
    roots_.write_host_file("etc/os-release", "PRETTY_NAME=\"Test Linux 12\"\nVERSION_ID=\"12\"\n");
    roots_.write_host_file("proc/stat", "cpu 1 2 3\nbtime 1700000000\n");
    roots_.write_host_file("proc/sys/kernel/random/boot_id", "boot-1\n");
    write_dmi_facts(roots_);
    EXPECT_TRUE(write_machine_environment(roots_));
    // The program's exit status is not its answer (it ends with 1 after a console command).
    run_command(agent_ + " -install");
  }
  ~RealAgent() {
    kill_services(roots_);
    unsetenv("QMA_SCM");
  }
  RealAgent(const RealAgent&) = delete;
  RealAgent& operator=(const RealAgent&) = delete;

  /// Starts the service ("-start", or "-pkgstart" for a package start) and waits for its pipe.
  void start(const std::string& how = "-start") {
    std::error_code ec;
    std::filesystem::remove(platform::local_pipe_path(QMA_PIPE_NAME), ec);
    run_command(agent_ + " " + how);
    ASSERT_TRUE(
        wait_until([] { return service_state(kServiceName) == platform::kServiceRunning; }));
    ASSERT_TRUE(wait_until([] {
      return std::filesystem::exists(platform::local_pipe_path(QMA_PIPE_NAME));
    })) << log();
  }
  void stop() {
    run_command(agent_ + " -stop");
    ASSERT_TRUE(
        wait_until([] { return service_state(kServiceName) == platform::kServiceStopped; }));
  }

  std::filesystem::path bin() const { return roots_.bin(); }
  std::filesystem::path package_root() const { return bin() / "QMA_PKGROOT"; }
  std::string log() const { return read_text(bin() / "QMA_LOGROOT" / "QMAgent.log"); }
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
};

}  // namespace qma::test
