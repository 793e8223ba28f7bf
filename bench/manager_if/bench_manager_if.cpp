// Round-trip time of an agent-information request over the pipe (connect, frame, answer,
// close) beside a bare echo over the same kind of socket, and requests per second with 8
// concurrent clients.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "manager_if/agent_harness.h"

namespace {

constexpr int kRoundTrips = 3000;

struct Percentiles {
  double median_us = 0;
  double p99_us = 0;
};
Percentiles g_agent;
Percentiles g_echo;

uint64_t now_us() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

Percentiles percentiles(std::vector<double> samples) {
  std::sort(samples.begin(), samples.end());
  if (samples.empty()) return {};
  return {samples[samples.size() / 2], samples[(samples.size() * 99) / 100]};
}

// One exchange on the named pipe: the whole frame out, everything back until closed.
bool round_trip(const char* name, const std::string& frame) {
  auto pipe = qma::platform::connect_local_pipe(name, 5000);
  if (!pipe.ok()) return false;
  for (size_t sent = 0; sent < frame.size();) {
    auto n = pipe->write(frame.data() + sent, frame.size() - sent, 5000);
    if (!n.ok()) return false;
    sent += *n;
  }
  char buffer[4096];
  size_t total = 0;
  for (;;) {
    auto n = pipe->read(buffer, sizeof buffer, 5000);
    if (!n.ok()) break;
    total += *n;
  }
  return total > 0;
}

// Answers every connection with the bytes it was sent, then closes: the floor of a round trip.
class EchoServer {
 public:
  EchoServer() : listener_(qma::platform::PipeListener::create("benchecho").value()) {
    thread_ = std::thread([this] {
      while (!stop_) {
        auto connection = listener_.accept(100);
        if (!connection.ok()) continue;
        char header[12];
        size_t got = 0;
        while (got < 12) {
          auto n = connection->read(header + got, 12 - got, 5000);
          if (!n.ok()) break;
          got += *n;
        }
        if (got < 12) continue;
        uint32_t body = qma::manager_if::read_le32(header + 8);
        std::string data(header, 12);
        data.resize(12 + body);
        while (got < data.size()) {
          auto n = connection->read(data.data() + got, data.size() - got, 5000);
          if (!n.ok()) break;
          got += *n;
        }
        (void)connection->write(data.data(), data.size(), 5000);
      }
    });
  }
  ~EchoServer() {
    stop_ = true;
    thread_.join();
  }

 private:
  qma::platform::PipeListener listener_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

std::unique_ptr<qma::test::InProcessAgent> g_agent_process;

void BM_AgentInformationRoundTrip(benchmark::State& state) {
  std::string frame = qma::test::request_frame(qma::test::request_xml("0", "B"));
  std::vector<double> samples;
  for (auto _ : state) {
    uint64_t start = now_us();
    if (!round_trip(QMA_PIPE_NAME, frame)) state.SkipWithError("no answer");
    samples.push_back(static_cast<double>(now_us() - start));
  }
  g_agent = percentiles(samples);
  state.counters["median_us"] = g_agent.median_us;
  state.counters["p99_us"] = g_agent.p99_us;
}
BENCHMARK(BM_AgentInformationRoundTrip)->Iterations(kRoundTrips)->UseRealTime();

void BM_BareEchoRoundTrip(benchmark::State& state) {
  EchoServer echo;
  std::string frame = qma::test::request_frame(qma::test::request_xml("0", "B"));
  std::vector<double> samples;
  for (auto _ : state) {
    uint64_t start = now_us();
    if (!round_trip("benchecho", frame)) state.SkipWithError("no echo");
    samples.push_back(static_cast<double>(now_us() - start));
  }
  g_echo = percentiles(samples);
  state.counters["median_us"] = g_echo.median_us;
  state.counters["p99_us"] = g_echo.p99_us;
}
BENCHMARK(BM_BareEchoRoundTrip)->Iterations(kRoundTrips)->UseRealTime();

void BM_EightConcurrentClients(benchmark::State& state) {
  std::string frame = qma::test::request_frame(qma::test::request_xml("0", "B"));
  constexpr int kClients = 8;
  constexpr int kEach = 50;
  int64_t answered = 0;
  for (auto _ : state) {
    std::atomic<int> ok{0};
    std::vector<std::thread> clients;
    for (int c = 0; c < kClients; ++c) {
      clients.emplace_back([&] {
        for (int i = 0; i < kEach; ++i) {
          if (round_trip(QMA_PIPE_NAME, frame)) ++ok;
        }
      });
    }
    for (auto& client : clients) client.join();
    answered += ok.load();
  }
  state.counters["requests_per_second"] =
      benchmark::Counter(static_cast<double>(answered), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_EightConcurrentClients)->Iterations(5)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  g_agent_process = std::make_unique<qma::test::InProcessAgent>();
  g_agent_process->start();
  // The agent reads the host's files again while they are younger than two seconds; on a
  // running system they are older, so the round trips are timed once they are.
  std::this_thread::sleep_for(std::chrono::milliseconds(2100));
  benchmark::RunSpecifiedBenchmarks();
  g_agent_process.reset();
  if (g_echo.median_us > 0 && g_agent.median_us > 0) {
    std::printf(
        "agent-information round trip: median %.0f us, p99 %.0f us; bare echo: median %.0f us, "
        "p99 %.0f us; ratio median %.1fx, p99 %.1fx\n",
        g_agent.median_us, g_agent.p99_us, g_echo.median_us, g_echo.p99_us,
        g_agent.median_us / g_echo.median_us, g_agent.p99_us / g_echo.p99_us);
  }
  benchmark::Shutdown();
  return 0;
}
