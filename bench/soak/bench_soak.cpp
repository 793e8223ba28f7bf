// Soak run of the real agent: it is installed and started under the standalone service
// manager in temporary roots, then answers 10,000 agent-information requests one after
// another and 2,000 sent at once. Prints the median and p99 of each run and the agent's
// resident memory, threads and descriptors before and after; fails (exit 1) when the
// agent ends with more threads or descriptors than it started with, or a request went
// unanswered. Usage: bench_soak [--sequential N] [--concurrent N]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "manager_if/frame_codec.h"
#include "manager_if/qma_manager_if.h"
#include "platform/clock.h"
#include "platform/environment.h"
#include "platform/local_pipe.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "platform/service_manager.h"
#include "support/service_support_linux.h"

namespace {

namespace fs = std::filesystem;
namespace p = qma::platform;

using Clock = std::chrono::steady_clock;

struct Usage {
  long rss_kib = 0;
  long threads = 0;
  long descriptors = 0;
};

Usage usage_of(long pid) {
  Usage usage;
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) usage.rss_kib = std::strtol(line.c_str() + 6, nullptr, 10);
    if (line.rfind("Threads:", 0) == 0) usage.threads = std::strtol(line.c_str() + 8, nullptr, 10);
  }
  std::error_code error;
  for (auto it = fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error);
       !error && it != fs::directory_iterator(); it.increment(error)) {
    ++usage.descriptors;
  }
  return usage;
}

// One agent-information request; its round-trip time in microseconds, or -1 unanswered.
double ask(int number) {
  std::string id = "S" + std::to_string(number);
  std::string frame =
      qma::manager_if::encode_frame(7, 9, "", "",
                                    "<QMMMessage MessageVersion=\"2.0\"><MessageID>" + id +
                                        "</MessageID><CommandCode>0</CommandCode></QMMMessage>");
  auto start = Clock::now();
  auto pipe = p::connect_local_pipe(QMA_PIPE_NAME, 60000);
  if (!pipe.ok()) return -1;
  for (size_t sent = 0; sent < frame.size();) {
    auto n = pipe->write(frame.data() + sent, frame.size() - sent, 30000);
    if (!n.ok()) return -1;
    sent += *n;
  }
  std::string answer;
  char buffer[8192];
  for (;;) {
    auto n = pipe->read(buffer, sizeof buffer, 60000);
    if (!n.ok()) break;
    answer.append(buffer, *n);
  }
  auto took = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
  bool answered = answer.find("<InReplyTo>" + id + "</InReplyTo>") != std::string::npos &&
                  answer.find("<Status>600</Status>") != std::string::npos;
  return answered ? took : -1;
}

struct Run {
  std::vector<double> times_us;
  int unanswered = 0;
  double seconds = 0;
};

void report(const char* name, Run run) {
  std::sort(run.times_us.begin(), run.times_us.end());
  double median = run.times_us.empty() ? 0 : run.times_us[run.times_us.size() / 2];
  double p99 = run.times_us.empty() ? 0 : run.times_us[(run.times_us.size() * 99) / 100];
  std::printf("%-11s %6zu answered, %d unanswered, %.2f s: median %.0f us, p99 %.0f us\n", name,
              run.times_us.size(), run.unanswered, run.seconds, median, p99);
}

void print_usage(const char* when, const Usage& u) {
  std::printf("agent %-7s RSS %ld KiB, %ld threads, %ld descriptors\n", when, u.rss_kib, u.threads,
              u.descriptors);
}

int run_program(const std::string& program, const std::string& arguments) {
  auto process = p::Process::spawn(program, "\"" + program + "\" " + arguments, "/");
  if (!process.ok() || process->wait(60000) != p::WaitStatus::kSignaled) return -1;
  return static_cast<int>(process->exit_code());
}

// The agent's installation, state and host roots, removed with everything they hold.
class Roots {
 public:
  Roots() {
    base_ = fs::temp_directory_path() / ("qma-soak-" + std::to_string(p::monotonic_ms()) + "-" +
                                         std::to_string(p::current_process_id()));
    fs::create_directories(base_ / "state");
    fs::create_directories(base_ / "home" / "bin" / "QMA_LOGROOT");
    fs::create_directories(base_ / "home" / "bin" / "QMA_PKGROOT");
    fs::create_directories(base_ / "home" / "bin" / "AgentFolder" / "QMAgent");
    std::ofstream(base_ / "home" / "bin" / "AgentFolder" / "QMAgent" / "QMAgent.xml")
        << "<?xml version=\"1.0\"?>\n<service><version>3.1</version></service>\n";
    write_host("etc/os-release", "PRETTY_NAME=\"Soak Linux 12\"\nVERSION_ID=\"12\"\n");
    write_host("proc/stat", "cpu 1 2 3\nbtime 1700000000\n");
    write_host("proc/sys/kernel/random/boot_id", "boot-1\n");
    // Every firmware fact, so no inventory read waits through its retries.
    write_host("sys/class/dmi/id/product_name", "ServerModel X\n");
    write_host("sys/class/dmi/id/product_sku", "AB-1234\n");
    write_host("sys/class/dmi/id/product_serial", "SN0042\n");
    write_host("sys/class/dmi/id/product_uuid", "00112233-4455-6677-8899-aabbccddeeff\n");
    write_host("sys/class/dmi/id/bios_version", "1.0\n");
    (void)p::set_env("QMA_STATE_DIR", (base_ / "state").string());
    (void)p::set_env("QMA_HOST_ROOT", (base_ / "host").string());
    (void)p::set_env("AXIS2C_HOME", (base_ / "home").string());
    (void)p::set_env("QMA_SCM", "standalone");
  }
  ~Roots() {
    // Whatever ended the run, nothing of the agent outlives it.
    fs::path folder = base_ / "state" / "scm" / "quillmend%20agent";
    for (const char* file : {"host.pid", "service.pid"}) {
      long pid = qma::test::read_pid(folder / file);
      if (pid > 0) (void)p::kill_process_tree(static_cast<uint32_t>(pid));
    }
    p::sleep_ms(200);
    std::error_code ignored;
    fs::remove_all(base_, ignored);
  }
  fs::path service_folder() const { return base_ / "state" / "scm" / "quillmend%20agent"; }

 private:
  void write_host(const std::string& relative, const std::string& text) {
    fs::path path = base_ / "host" / relative;
    fs::create_directories(path.parent_path());
    std::ofstream(path) << text;
  }
  fs::path base_;
};

}  // namespace

int main(int argc, char** argv) {
  // Lines appear in order with the agent's own console output.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  int sequential = 10000;
  int concurrent = 2000;
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], "--sequential") == 0) sequential = std::atoi(argv[++i]);
    if (std::strcmp(argv[i], "--concurrent") == 0) concurrent = std::atoi(argv[++i]);
  }
  auto self = p::current_program_path();
  if (!self.ok()) return 2;
  const std::string agent = (fs::path(*self).parent_path() / "QMAgent").string();

  Roots roots;
  p::RegistryKey key;
  const std::string path = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";
  if (p::reg_create_key("SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment", key) !=
          0 ||
      p::reg_set_value(key, "Path", p::kRegExpandSz, path.c_str(),
                       static_cast<uint32_t>(path.size() + 1)) != 0) {
    std::fprintf(stderr, "bench_soak: cannot write the registry\n");
    return 2;
  }
  if (run_program(agent, "-install") != 1 || run_program(agent, "-start") != 1) {
    std::fprintf(stderr, "bench_soak: the agent did not install and start\n");
    return 2;
  }
  long pid = qma::test::read_pid(roots.service_folder() / "service.pid");
  bool up = false;
  for (int i = 0; i < 500 && !up; ++i) {
    up = ask(-1) >= 0;
    if (!up) p::sleep_ms(20);
  }
  if (pid <= 0 || !up) {
    std::fprintf(stderr, "bench_soak: the agent does not answer\n");
    return 2;
  }
  for (int i = 0; i < 50; ++i) (void)ask(-2 - i);  // warm up: libraries, caches, log file
  p::sleep_ms(300);
  Usage before = usage_of(pid);
  print_usage("before", before);

  Run serial;
  auto start = Clock::now();
  for (int i = 0; i < sequential; ++i) {
    double us = ask(i);
    if (us < 0) {
      ++serial.unanswered;
    } else {
      serial.times_us.push_back(us);
    }
  }
  serial.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  report("sequential", serial);

  Run parallel;
  std::vector<double> times(static_cast<size_t>(concurrent), -1);
  std::atomic<bool> go{false};
  std::vector<std::thread> clients;
  for (int i = 0; i < concurrent; ++i) {
    clients.emplace_back([&, i] {
      while (!go) std::this_thread::yield();
      times[static_cast<size_t>(i)] = ask(sequential + i);
    });
  }
  start = Clock::now();
  go = true;
  for (auto& client : clients) client.join();
  parallel.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  for (double us : times) {
    if (us < 0) {
      ++parallel.unanswered;
    } else {
      parallel.times_us.push_back(us);
    }
  }
  report("concurrent", parallel);

  // A connection thread waits two seconds for another connection before it ends.
  Usage after = usage_of(pid);
  for (int i = 0;
       i < 100 && (after.threads > before.threads || after.descriptors > before.descriptors); ++i) {
    p::sleep_ms(50);
    after = usage_of(pid);
  }
  print_usage("after", after);
  long thread_growth = after.threads - before.threads;
  long descriptor_growth = after.descriptors - before.descriptors;
  std::printf("growth: RSS %+ld KiB, threads %+ld, descriptors %+ld\n",
              after.rss_kib - before.rss_kib, thread_growth, descriptor_growth);
  (void)run_program(agent, "-stop");
  bool ok = thread_growth <= 0 && descriptor_growth <= 0 && serial.unanswered == 0 &&
            parallel.unanswered == 0;
  std::printf("bench_soak: %s\n", ok ? "ok" : "FAILED (growth or unanswered requests)");
  return ok ? 0 : 1;
}
