// The worker thread of the service: the manager interface's QMA_outsideIF when it is built in,
// otherwise a worker that idles until the service stops.
#include "platform/event.h"
#include "service/qma_service_deps.h"

#if QMA_HAVE_MANAGER_IF
#include "commands/update/tool_records.h"
#include "manager_if/qma_manager_if.h"
#endif

namespace qma::service {

#if QMA_HAVE_MANAGER_IF

void run_worker(int* pkgstart) {
  QMA_outsideIF(pkgstart);
}
void request_worker_stop() {
  QMA_outsideIF_RequestStop();
}
std::string module_finished_at_start() {
  return qma::commands::answered_module_of_previous_run();
}

#else

namespace {
qma::platform::Event g_idle_stop(true, false);
}  // namespace

void run_worker(int* /*pkgstart*/) {
  (void)g_idle_stop.wait(qma::platform::kInfinite);
}
void request_worker_stop() {
  g_idle_stop.set();
}
std::string module_finished_at_start() {
  return {};
}

#endif

}  // namespace qma::service
