// The XML query library entries the service main uses, through the binding made at start-up.
#include "common/qma_funcinit.h"
#include "service/qma_service_deps.h"

namespace qma::service {

void xml_init_parser() {
  if (g_QMAgentSub.QMA_XML_InitParser != nullptr) g_QMAgentSub.QMA_XML_InitParser();
}

void xml_cleanup_parser() {
  if (g_QMAgentSub.QMA_XML_CleanupParser != nullptr) g_QMAgentSub.QMA_XML_CleanupParser();
}

int xml_get_element_value_for_file(QMA_LOG_FUNC log, const char* file, const char* const* path,
                                   char* out, int out_size) {
  if (g_QMAgentSub.QMA_XML_GetElementValueForFile == nullptr) return 0;
  return g_QMAgentSub.QMA_XML_GetElementValueForFile(log, file, path, out, out_size);
}

}  // namespace qma::service
