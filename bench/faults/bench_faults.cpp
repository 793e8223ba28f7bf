// Fault run of the real agent: installed under the standalone service manager with the failure
// command the package brings, it is killed with SIGKILL during an update, N times after the
// update's first answer and N times before it. For each case it prints how often the agent was
// serving again within 20 s, how often the manager got exactly the notices it should (one for
// an accepted update, none for an unanswered one), how many processes of killed runs were left,
// and how often the next update of the module ended with "600". Exit 1 unless every count is
// N of N and nothing was left. Usage: bench_faults [--repetitions N]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "manager_if/agent_harness.h"
#include "manager_if/frame_codec.h"
#include "manager_if/qma_manager_if.h"
#include "platform/clock.h"
#include "platform/environment.h"
#include "platform/local_pipe.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "platform/service_manager.h"
#include "support/service_support_linux.h"
#include "tools/http_receiver.h"

namespace {

namespace fs = std::filesystem;
namespace p = qma::platform;

constexpr const char* kModule = "01000000";

bool alive(long pid) {
  return pid > 0 && p::process_start_mark(static_cast<uint32_t>(pid)) != 0;
}

template <typename Check>
bool wait_until(Check check, uint64_t timeout_ms) {
  const uint64_t end = p::monotonic_ms() + timeout_ms;
  while (p::monotonic_ms() < end) {
    if (check()) return true;
    p::sleep_ms(20);
  }
  return check();
}

/// Sends one request and returns the status of its first answer; "" when none came.
std::string status_of_request(const std::string& code, const std::string& id,
                              const std::string& data = "", uint32_t timeout_ms = 20000) {
  const std::string frame = qma::test::request_frame(qma::test::request_xml(code, id, "2.0", data));
  auto pipe = p::connect_local_pipe(QMA_PIPE_NAME, 2000);
  if (!pipe.ok()) return "";
  for (size_t sent = 0; sent < frame.size();) {
    auto n = pipe->write(frame.data() + sent, frame.size() - sent, 5000);
    if (!n.ok()) return "";
    sent += *n;
  }
  std::string got;
  char buffer[4096];
  const uint64_t end = p::monotonic_ms() + timeout_ms;
  while (p::monotonic_ms() < end) {
    auto n = pipe->read(buffer, sizeof buffer, 500);
    if (n.ok()) {
      got.append(buffer, *n);
      if (got.size() >= 12 && got.size() >= qma::manager_if::read_le32(got.data() + 8) + 12u) {
        size_t at = got.find("<Status>");
        return at == std::string::npos ? "" : got.substr(at + 8, 3);
      }
    } else if (n.error() != p::kErrorPipeTimeout) {
      break;
    }
  }
  return "";
}

class Bench {
 public:
  Bench() {
    base_ = fs::temp_directory_path() / ("qma-faults-" + std::to_string(p::monotonic_ms()) + "-" +
                                         std::to_string(p::current_process_id()));
    bin_ = base_ / "home" / "bin";
    module_ = bin_ / "QMA_PKGROOT" / kModule;
    fs::create_directories(base_ / "state");
    fs::create_directories(bin_ / "QMA_LOGROOT");
    fs::create_directories(module_);
    fs::create_directories(bin_ / "AgentFolder" / "QMAgent");
    std::ofstream(bin_ / "AgentFolder" / "QMAgent" / "QMAgent.xml")
        << "<?xml version=\"1.0\"?>\n<service><version>3.1</version></service>\n";
    std::ofstream(bin_ / "moxService.xml")
        << "<parameter><serviceName>moxServicePlain</serviceName></parameter>";
    std::ofstream(module_ / "QuillInfo.xml")
        << "<quillmend_package><module_id>01000000</module_id><version>2.0.0</version>"
           "<reboot>false</reboot><supported_operating_systems><windows_os major=\"*\" "
           "minor=\"*\" sp_major=\"*\" sp_minor=\"*\" arch=\"*\"><reference refid=\"all\"/>"
           "</windows_os></supported_operating_systems><usage refid=\"all\"><update_normal "
           "timeout=\"10\">tool plan.txt</update_normal></usage></quillmend_package>\n";
    fs::create_symlink(QMA_TEST_UPDATE_TOOL, module_ / "tool");
    write_host("etc/os-release", "PRETTY_NAME=\"Fault Linux 12\"\nVERSION_ID=\"12\"\n");
    write_host("proc/stat", "cpu 1 2 3\nbtime 1700000000\n");
    write_host("proc/sys/kernel/random/boot_id", "boot-1\n");
    for (const char* name : {"product_name", "product_serial", "product_uuid", "bios_version"})
      write_host(std::string("sys/class/dmi/id/") + name, "X\n");
    (void)p::set_env("QMA_STATE_DIR", (base_ / "state").string());
    (void)p::set_env("QMA_HOST_ROOT", (base_ / "host").string());
    (void)p::set_env("AXIS2C_HOME", (base_ / "home").string());
    (void)p::set_env("QMA_SCM", "standalone");
  }
  ~Bench() {
    for (const char* file : {"host.pid", "service.pid"}) {
      long pid = qma::test::read_pid(service_folder() / file);
      if (pid > 0) (void)p::kill_process_tree(static_cast<uint32_t>(pid));
    }
    for (long pid : left_) {
      if (alive(pid)) (void)p::kill_process(static_cast<uint32_t>(pid));
    }
    p::sleep_ms(200);
    std::error_code ignored;
    fs::remove_all(base_, ignored);
  }

  /// Installs the agent beside the shipped failure command and starts it.
  bool install(const std::string& agent) {
    agent_ = agent;
    std::error_code ec;
    fs::copy_file(QMA_RESTART_SCRIPT, bin_ / (std::string("ServiceReStart") + p::kScriptExtension),
                  ec);
    fs::create_symlink(agent, bin_ / "QMAgent", ec);
    p::RegistryKey key;
    const std::string path = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";
    if (p::reg_create_key("SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment",
                          key) != 0 ||
        p::reg_set_value(key, "Path", p::kRegExpandSz, path.c_str(),
                         static_cast<uint32_t>(path.size() + 1)) != 0) {
      return false;
    }
    return run(agent, "-install") == 1 && run(agent, "-start") == 1 && serving_again(0);
  }

  struct Counts {
    int back = 0;
    int notices_right = 0;
    int orphans = 0;
    int next_ok = 0;
  };

  /// One kill after the first answer, or before it; the counts it adds.
  void repetition(bool after_answer, int number, Counts& counts) {
    // Each crash is started again by the failure command, whose 3-a-minute bound would stop
    // a run of 20 within the minute: its history is cleared first.
    std::error_code ec;
    fs::remove(base_ / "state" / "service-restarts", ec);
    fs::remove(module_ / "tool.pid", ec);
    fs::remove(module_ / "helper.pid", ec);
    const size_t before = receiver_.requests().size();
    const std::string id = (after_answer ? "A" : "B") + std::to_string(number);
    std::thread request;
    if (after_answer) {
      plan(
          "pidfile tool.pid\ndaemon 60000 helper.pid\nwrite Update_normal.xml OK\n"
          "wait-gone Update_normal.xml 20000\nwait-parent-gone 20000\nsleep 300\n"
          "write Update_normal.xml Complete\n");
      if (status_of_request("3", id, update_data()) != "601") return;
    } else {
      plan(
          "pidfile tool.pid\ndaemon 60000 helper.pid\nsleep 3000\n"
          "write Update_normal.xml OK\n");
      request = std::thread([&] { (void)status_of_request("3", id, update_data(), 20000); });
      wait_until([&] { return qma::test::read_pid(module_ / "helper.pid") > 0; }, 10000);
    }
    const long tool = qma::test::read_pid(module_ / "tool.pid");
    const long helper = qma::test::read_pid(module_ / "helper.pid");
    const long agent = qma::test::read_pid(service_folder() / "service.pid");
    (void)p::kill_process(static_cast<uint32_t>(agent));
    if (request.joinable()) request.join();
    if (serving_again(agent)) ++counts.back;
    // An accepted update gets its one notice; an unanswered one none.
    const size_t expected = before + (after_answer ? 1 : 0);
    if (after_answer) receiver_.wait_for(expected, 20000);
    wait_until([&] { return !alive(tool) && !alive(helper); }, 5000);
    p::sleep_ms(after_answer ? 300 : 3200);
    if (receiver_.requests().size() == expected) ++counts.notices_right;
    for (long pid : {tool, helper}) {
      if (alive(pid)) {
        ++counts.orphans;
        left_.push_back(pid);
      }
    }
    plan(
        "write Update_normal.xml OK\nwait-gone Update_normal.xml 20000\n"
        "write Update_normal.xml Complete\n");
    if (status_of_request("3", id + "-next", update_data()) == "601" &&
        receiver_.wait_for(expected + 1, 20000) &&
        receiver_.requests().back().body.find("<Status>600</Status>") != std::string::npos) {
      ++counts.next_ok;
    }
    // The next repetition starts with the agent idle again.
    wait_until([&] { return !fs::exists(module_ / "Update_normal.xml"); }, 5000);
    p::sleep_ms(200);
  }

 private:
  static int run(const std::string& program, const std::string& arguments) {
    auto process = p::Process::spawn(program, "\"" + program + "\" " + arguments, "/");
    if (!process.ok() || process->wait(60000) != p::WaitStatus::kSignaled) return -1;
    return static_cast<int>(process->exit_code());
  }
  fs::path service_folder() const { return base_ / "state" / "scm" / "quillmend%20agent"; }
  bool serving_again(long old) {
    return wait_until(
        [&] {
          long now = qma::test::read_pid(service_folder() / "service.pid");
          return now > 0 && now != old && status_of_request("0", "INFO", "", 2000) == "600";
        },
        20000);
  }
  std::string update_data() const {
    return std::string("<ModuleID>") + kModule +
           "</ModuleID><PackageID>P</PackageID><Mode>update_normal</Mode><ReplyToAddress>"
           "127.0.0.1</ReplyToAddress><ReplyToPort>" +
           std::to_string(receiver_.port()) + "</ReplyToPort>";
  }
  void plan(const std::string& steps) const { std::ofstream(module_ / "plan.txt") << steps; }
  void write_host(const std::string& relative, const std::string& text) {
    fs::path path = base_ / "host" / relative;
    fs::create_directories(path.parent_path());
    std::ofstream(path) << text;
  }

  fs::path base_;
  fs::path bin_;
  fs::path module_;
  std::string agent_;
  std::vector<long> left_;
  qma::test::HttpReceiver receiver_{qma::test::ReceiverMode::kAnswerOk};
};

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  int repetitions = 20;
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], "--repetitions") == 0) repetitions = std::atoi(argv[++i]);
  }
  auto self = p::current_program_path();
  if (!self.ok() || repetitions <= 0) return 2;
  Bench bench;
  if (!bench.install((fs::path(*self).parent_path() / "QMAgent").string())) {
    std::fprintf(stderr, "bench_faults: the agent did not install and start\n");
    return 2;
  }
  bool ok = true;
  for (bool after_answer : {true, false}) {
    Bench::Counts counts;
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < repetitions; ++i) bench.repetition(after_answer, i, counts);
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf(
        "kill -9 %-19s back in service %d/%d, notices right %d/%d, orphans left %d, next "
        "update 600 %d/%d (%.1f s)\n",
        after_answer ? "after first answer:" : "before first answer:", counts.back, repetitions,
        counts.notices_right, repetitions, counts.orphans, counts.next_ok, repetitions, seconds);
    ok = ok && counts.back == repetitions && counts.notices_right == repetitions &&
         counts.orphans == 0 && counts.next_ok == repetitions;
  }
  std::printf("bench_faults: %s\n", ok ? "ok" : "FAILED");
  return ok ? 0 : 1;
}
