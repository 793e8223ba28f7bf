// Time per registry read of an existing value: the store's query and the agent's DWORD reader.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <string>

#include "common/host/qma_system.h"
#include "common/log/qma_log.h"
#include "platform/clock.h"
#include "platform/environment.h"
#include "platform/registry.h"

namespace {

namespace fs = std::filesystem;
namespace reg = qma::platform;

constexpr char kConfig[] = "SOFTWARE\\Norvik\\QMAgent\\Config";

/// A state folder holding a registry of the agent's usual size, removed afterwards.
class BenchRegistry {
 public:
  BenchRegistry() {
    base_ = fs::temp_directory_path() /
            ("qma-bench-registry-" + std::to_string(qma::platform::monotonic_ms()));
    fs::create_directories(base_ / "state");
    fs::create_directories(base_ / "home" / "bin");
    (void)qma::platform::set_env("QMA_STATE_DIR", (base_ / "state").string());
    (void)qma::platform::set_env("AXIS2C_HOME", (base_ / "home").string());
    qma::log::reset_for_testing();
    // Config, ExConfig and the machine environment, as an installed agent has them.
    for (const char* key : {kConfig, "SOFTWARE\\Norvik\\QMAgent\\ExConfig"}) {
      QMA_Cmn_GetRegistory_dword(key, "AGENT_EFFECT", 1);
      char path[260] = {};
      QMA_Cmn_GetRegistory_String(key, "LOG_SAVEPATH", "/opt/qmagent/bin/QMA_LOGROOT", path,
                                  sizeof path);
      QMA_Cmn_GetRegistory_dword(key, "LOGMAXNUM", 10000);
      QMA_Cmn_GetRegistory_String(key, "PKG_SAVEPATH", "/opt/qmagent/bin/QMA_PKGROOT", path,
                                  sizeof path);
    }
    reg::RegistryKey env;
    (void)reg::reg_create_key("SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment",
                              env);
    const std::string path_value = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";
    (void)reg::reg_set_value(env, "Path", reg::kRegExpandSz, path_value.c_str(),
                             static_cast<uint32_t>(path_value.size() + 1));
  }
  ~BenchRegistry() {
    std::error_code ignored;
    fs::remove_all(base_, ignored);
  }

 private:
  fs::path base_;
};

void BM_StoreQueryDword(benchmark::State& state) {
  BenchRegistry registry;
  for (auto _ : state) {
    reg::RegistryKey key;
    uint32_t value = 0, size = sizeof value;
    int rc = reg::reg_open_key(kConfig, key);
    if (rc == 0) rc = reg::reg_query_value(key, "LOGMAXNUM", nullptr, &value, &size);
    if (rc != 0 || value != 10000) state.SkipWithError("the value was not read");
    benchmark::DoNotOptimize(value);
  }
}
BENCHMARK(BM_StoreQueryDword);

// The agent's reader: create-or-open, query, and one service-log line per call.
void BM_GetRegistoryDword(benchmark::State& state) {
  BenchRegistry registry;
  for (auto _ : state) {
    unsigned int value = QMA_Cmn_GetRegistory_dword(kConfig, "LOGMAXNUM", 1);
    if (value != 10000) state.SkipWithError("the value was not read");
    benchmark::DoNotOptimize(value);
  }
}
BENCHMARK(BM_GetRegistoryDword);

}  // namespace

BENCHMARK_MAIN();
