// The package information file ($AXIS2C_HOME/bin/QMAPKG_UpdateInfo.txt): what a restarted
// agent needs to send the completion notice of an update that restarted it.
#pragma once

#include <string>

#include "commands/update/update_tools.h"
#include "common/qma_records.h"

/// The file's name in the bin folder of the installation.
#define QMA_PKG_INFO_FILE_NAME "QMAPKG_UpdateInfo.txt"
/// First line of the agent's own layout.
#define QMA_PKG_INFO_HEADER "[QMAPKG_UpdateInfo]"

/// Writes the file in the agent's layout: reply-to address and port, message id, module id,
/// message version, result file name, the tool's process id and its time limit.
void QMA_CreateInfoFile(const CMDTbl* cmd, const char* time_limit, const char* result_file,
                        int pid);
/// 0 agent layout (first line is the header), 1 plain layout, -1 no file or no first line.
int QMA_CheckInfoFile(const char* path);
/// Reads the file into the table (and, in the agent layout, the three values); 1 when every
/// expected line was read, else 0. Values read before a failure stay where they were put.
int QMA_GetInfoFile(CMDTbl* cmd, int plain, const char* path, QMA_PKG_INFO_VALUES* values);

namespace qma::commands {
/// $AXIS2C_HOME/bin/QMAPKG_UpdateInfo.txt; empty when AXIS2C_HOME is not set (or the path
/// would not fit 259 characters).
std::string package_info_path();
}  // namespace qma::commands
