// The agent's process-wide settings record, filled at service start and read everywhere after.
#pragma once

#include "common/qma_records.h"

extern "C" {
/// The one settings record of the process (configuration in effect, previous
/// configuration, agent version, saved reply-to, OS information). Written by the
/// service start-up before the worker thread exists; afterwards only the fields
/// named by their owners change.
extern struct QMAConfig g_QMAConfig;
}
