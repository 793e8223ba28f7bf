// A stand-in for a broken installation: a QMAgentSub that exports only its first three names.
#include "xmlsub/qmagentsub.h"

extern "C" {

void QMA_XML_InitParser(void) {}

void QMA_XML_CleanupParser(void) {}

int QMA_XML_GetManagerRequestInfo(QMA_LOG_FUNC, const char*, int, ReqInfo*, QMAConfig*) {
  return 0;
}

}  // extern "C"
