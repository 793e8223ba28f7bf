// The command handlers the dispatcher calls, reboot detection and the OS information record.
#pragma once

#include <functional>

#include "common/qma_records.h"
#include "platform/host.h"

struct MPITbl;

/// The running OS as short texts, filled once per process (g_QMAConfig.SystemInfo).
struct QMA_SYSTEM_INFO {
  char major[QMA_LEN_SHORT];
  char minor[QMA_LEN_SHORT];
  char sp_major[QMA_LEN_SHORT];
  char sp_minor[QMA_LEN_SHORT];
  char arch[QMA_LEN_SHORT];
  char product_type[QMA_LEN_SHORT];
  char os_name[QMA_LEN_PATH];
};

/// Fills the OS information record when it is not filled yet; 1 filled, 0 failure.
int QMA_GetOSInformation();
/// The command line and time limit of a mode from a package descriptor for the
/// running OS: 1 both found, 0 not found, -1 command found without a time limit.
int QMA_GetCommandFromQuillInfo(const char* descriptor, const char* mode, char* command,
                                int command_size, char* time_limit, int time_limit_size);

/// Codes 0 (agent information), 5 (reboot) and 6 (shutdown); 1 or 0.
int QMA_ExecuteForSystemCommand(CMDTbl* cmd);
/// 1 when the server restarted since the agent last looked, else 0.
int QMA_CheckSystemReboot();
/// The TimeWritten of the newest record 6005 of the System log: 1 found, -1 none, 0 error.
int QMA_SerchEventLog(long* time_written);

/// Handlers of the remaining codes.
int QMA_ExecuteForGetVersionCommand(MPITbl* mpi, CMDTbl* cmd);
int QMA_RepositoryForUpdatePKG(MPITbl* mpi, CMDTbl* cmd);
int QMA_ExecuteForUpdateCommand(MPITbl* mpi, CMDTbl* cmd);
int QMA_GetLogFile(CMDTbl* cmd);
/// Completes a self-update by package after a restart with "-pkgstart"; 1 or 0.
int QMA_CheckQMAUpdateByPKG();

namespace qma::commands {
/// Where the agent information and the OS information record read the extended OS
/// version record; tests inject Windows versions. An empty function restores the
/// platform's own answer.
using OsVersionSource = std::function<platform::Result<platform::OsVersionInfo>()>;
void set_os_version_source(OsVersionSource source);
platform::Result<platform::OsVersionInfo> read_os_version();
/// Forgets the OS information record (tests).
void reset_os_information();
}  // namespace qma::commands
