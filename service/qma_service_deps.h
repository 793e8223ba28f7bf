// What the service main calls in other parts of the agent: the manager-interface worker and
// the XML query library bound at start-up.
#pragma once

#include <string>

#include "common/cmn/qmcmn.h"
#include "common/log/qma_log.h"
#include "common/qma_funcinit.h"

namespace qma::service {

/// Runs the manager-interface worker thread's body (QMA_outsideIF) until it ends.
void run_worker(int* pkgstart);
/// Asks the worker to end soon.
void request_worker_stop();
/// The module whose update the previous run answered and this start finishes (the worker does
/// so before it serves); empty when there is none.
std::string module_finished_at_start();

/// The bound entries of the XML query library (valid after QMA_FuncInit succeeded).
void xml_init_parser();
void xml_cleanup_parser();
int xml_get_element_value_for_file(QMA_LOG_FUNC log, const char* file, const char* const* path,
                                   char* out, int out_size);

}  // namespace qma::service
