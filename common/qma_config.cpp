// The agent's process-wide settings record.
#include "common/qma_config.h"

extern "C" {
struct QMAConfig g_QMAConfig = {};
}
