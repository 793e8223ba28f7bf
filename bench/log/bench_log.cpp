// Time per agent-log line: open the log mutex, own it, append one line, release it.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "common/log/qma_log.h"
#include "platform/clock.h"
#include "platform/environment.h"

namespace {

namespace fs = std::filesystem;

/// A fresh state folder and log folder under the temporary folder, removed afterwards.
class BenchRoots {
 public:
  BenchRoots() {
    base_ = fs::temp_directory_path() /
            ("qma-bench-log-" + std::to_string(qma::platform::monotonic_ms()) + "-" +
             std::to_string(qma::platform::current_thread_id()));
    fs::create_directories(base_ / "state");
    fs::create_directories(base_ / "logs");
    fs::create_directories(base_ / "home" / "bin");
    (void)qma::platform::set_env("QMA_STATE_DIR", (base_ / "state").string());
    (void)qma::platform::set_env("AXIS2C_HOME", (base_ / "home").string());
  }
  ~BenchRoots() {
    std::error_code ignored;
    fs::remove_all(base_, ignored);
  }
  std::string logs() const { return (base_ / "logs").string(); }

 private:
  fs::path base_;
};

BenchRoots* g_roots = nullptr;
QMA_MUTEX_HANDLE g_holder = nullptr;

/// Once per run, before its threads start: fresh folders and an initialised agent log.
void start_logs(const benchmark::State&) {
  g_roots = new BenchRoots;
  qma::log::reset_for_testing();
  // The largest LOGMAXNUM: the file rotates every 65535 lines, as in a busy agent.
  QMA_InitializeForLogFile(g_roots->logs().c_str(), 65535, &g_holder);
}

void stop_logs(const benchmark::State&) {
  QMA_FinalizeForLogFile(&g_holder);
  qma::log::reset_for_testing();
  delete g_roots;
  g_roots = nullptr;
}

void BM_AgentLogLine(benchmark::State& state) {
  if (g_holder == nullptr) {
    state.SkipWithError("log initialisation failed");
    return;
  }
  int line = 0;
  for (auto _ : state) {
    QMA_LogInfo("QMA_Cmn_Set_ModuleStatus", "QMACommon", ++line,
                "Update ModuleStatus. CurrentStatus[%d]->RequestStatus[%d]", 0, 1);
  }
  state.SetItemsProcessed(state.iterations());
}
// With two threads, the second waits on the log mutex (at most 5 x 1 ms) while the first writes.
BENCHMARK(BM_AgentLogLine)->Setup(start_logs)->Teardown(stop_logs)->Threads(1)->Threads(2);

void BM_ServiceLogLine(benchmark::State& state) {
  int line = 0;
  for (auto _ : state) {
    QMA_SrvLogInfo("QMA_ServiceMain", "QMAService", ++line, "QMA_ServiceMain() %s.", "start");
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ServiceLogLine)->Setup(start_logs)->Teardown(stop_logs);

}  // namespace

BENCHMARK_MAIN();
