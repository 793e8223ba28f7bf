// A small service for the service manager tests. Its behaviour comes from its first
// argument (part of the image path): "normal", "crash-in-start" or "exit-while-running".
// It records the arguments its service main received in $QMA_STATE_DIR/helper-args.txt.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "platform/clock.h"
#include "platform/environment.h"
#include "platform/event.h"
#include "platform/service_manager.h"

namespace {

namespace p = qma::platform;

constexpr const char* kName = "QMA Test Service";
std::string g_mode;
p::ServiceStatusHandle g_handle = nullptr;
p::ServiceStatus g_status;
p::Event g_stop(true, false);

void report(uint32_t state, uint32_t check_point, uint32_t wait_hint) {
  g_status.service_type = p::kServiceWin32OwnProcess;
  g_status.current_state = state;
  g_status.controls_accepted = state == p::kServiceStartPending ? 0 : p::kServiceAcceptStop;
  g_status.check_point = check_point;
  g_status.wait_hint = wait_hint;
  (void)p::set_service_status(g_handle, g_status);
}

uint32_t handler(uint32_t control, uint32_t, void*, void*) {
  if (control == p::kServiceControlStop) {
    report(p::kServiceStopPending, 1, 3000);
    g_stop.set();
  } else if (control == p::kServiceControlInterrogate) {
    (void)p::set_service_status(g_handle, g_status);
  }
  return 0;
}

void service_main(uint32_t argc, char** argv) {
  {
    std::ofstream out(p::state_dir() + "/helper-args.txt");
    for (uint32_t i = 0; i < argc; ++i) out << argv[i] << "\n";
  }
  auto handle = p::register_service_handler(kName, handler, nullptr);
  if (!handle) return;
  g_handle = handle.value();
  report(p::kServiceStartPending, 1, 5000);
  if (g_mode == "crash-in-start") std::abort();
  p::sleep_ms(200);
  report(p::kServiceRunning, 0, 0);
  if (g_mode == "exit-while-running") {
    p::sleep_ms(300);
    std::_Exit(3);
  }
  (void)g_stop.wait(p::kInfinite);
  p::sleep_ms(200);
  report(p::kServiceStopped, 0, 0);
}

}  // namespace

int main(int argc, char** argv) {
  g_mode = argc > 1 ? argv[1] : "normal";
  auto dispatched = p::run_service_dispatcher(kName, service_main);
  if (!dispatched) {
    std::printf("dispatcher error %d\n", dispatched.error());
    return 2;
  }
  return 0;
}
