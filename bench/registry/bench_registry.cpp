// Time per registry read of an existing value: the store's query and the agent's DWORD reader;
// and how reading and writing grow with the number of keys (linear: the BigO line says N).
#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>
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

/// A temporary folder whose "state" folder QMA_STATE_DIR names; removed afterwards.
class StateFolder {
 public:
  explicit StateFolder(const std::string& tag) {
    base_ = fs::temp_directory_path() /
            ("qma-bench-" + tag + "-" + std::to_string(qma::platform::monotonic_ms()));
    fs::create_directories(base_ / "state");
    (void)qma::platform::set_env("QMA_STATE_DIR", (base_ / "state").string());
  }
  ~StateFolder() {
    std::error_code ignored;
    fs::remove_all(base_, ignored);
  }
  StateFolder(const StateFolder&) = delete;
  StateFolder& operator=(const StateFolder&) = delete;

  const fs::path& base() const { return base_; }

 private:
  fs::path base_;
};

/// Config's LOGMAXNUM read through the registry store; 0 when it could not be read.
uint32_t read_log_max_num() {
  reg::RegistryKey key;
  uint32_t value = 0, size = sizeof value;
  if (reg::reg_open_key(kConfig, key) != 0 ||
      reg::reg_query_value(key, "LOGMAXNUM", nullptr, &value, &size) != 0) {
    return 0;
  }
  return value;
}

/// A state folder holding a registry of the agent's usual size, removed afterwards.
class BenchRegistry {
 public:
  BenchRegistry() {
    fs::create_directories(folder_.base() / "home" / "bin");
    (void)qma::platform::set_env("AXIS2C_HOME", (folder_.base() / "home").string());
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

 private:
  StateFolder folder_{"registry"};
};

void BM_StoreQueryDword(benchmark::State& state) {
  BenchRegistry registry;
  for (auto _ : state) {
    uint32_t value = read_log_max_num();
    if (value != 10000) state.SkipWithError("the value was not read");
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

/// A state folder whose registry holds `keys` keys of one value each (and Config).
class BulkRegistry {
 public:
  explicit BulkRegistry(int64_t keys) {
    std::ofstream out(folder_.base() / "state" / "registry.reg");
    out << "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\" << kConfig
        << "]\n\"LOGMAXNUM\"=dword:00002710\n\n";
    for (int64_t i = 0; i < keys; ++i) {
      out << "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor" << i % 50 << "\\Product" << i
          << "]\n\"Version\"=\"1.0." << i << "\"\n\n";
    }
  }

 private:
  StateFolder folder_{"bulk"};
};

// One read in a registry of N keys: a whole read of the file, so linear in N.
void BM_ReadAmongKeys(benchmark::State& state) {
  BulkRegistry registry(state.range(0));
  for (auto _ : state) {
    if (read_log_max_num() != 10000) state.SkipWithError("the value was not read");
  }
  state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_ReadAmongKeys)->RangeMultiplier(10)->Range(100, 10000)->Complexity(benchmark::oN);

// One write (a new key with a value) in a registry of N keys: read, change, rewrite.
void BM_WriteAmongKeys(benchmark::State& state) {
  BulkRegistry registry(state.range(0));
  int64_t n = 0;
  for (auto _ : state) {
    reg::RegistryKey key;
    std::string path = "SOFTWARE\\Vendor7\\Added" + std::to_string(n++ % 64);
    uint32_t one = 1;
    if (reg::reg_create_key(path, key) != 0 ||
        reg::reg_set_value(key, "Count", reg::kRegDword, &one, sizeof one) != 0) {
      state.SkipWithError("the write failed");
    }
  }
  state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_WriteAmongKeys)->RangeMultiplier(10)->Range(100, 10000)->Complexity(benchmark::oN);

}  // namespace

BENCHMARK_MAIN();
