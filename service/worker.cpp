// The worker thread of the service: the manager interface's QMA_outsideIF when it is built in,
// otherwise a worker that idles until the service stops.
#include "platform/event.h"
#include "service/qma_service_deps.h"

#if QMA_HAVE_MANAGER_IF
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

#endif

}  // namespace qma::service
