// The package repository and the log archive: sweeping a module folder before a new
// package, and the pieces of the log collection that tests look at one by one.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/archive_io.h"
#include "platform/process.h"

/// Empties a folder before a new package is registered there. With top 1 the module's
/// status file and version history ("ModuleStatus", "CurrentVersion.xml",
/// "ExVersion.xml", "ExExVersion.xml") stay; subfolders are swept with 0 and removed.
/// Links are deleted as files, never followed.
void QMA_SweepPrePKG(const char* directory, int top);

namespace qma::commands {

/// The launcher that unpacks packages and packs the log archive (its file name, ".exe" on
/// Windows), and the archive's name.
inline const std::string kZipTool = std::string("QMZipControl") + platform::kProgramExtension;
inline constexpr const char* kLogArchive = "QMAgentLog.zip";
/// At most this many log files go into the archive.
inline constexpr size_t kMaxLogFiles = 200;
/// The launcher's command line, as the process starter builds it ("\"QMZipControl\" "
/// followed by the arguments), never passes this many characters.
inline constexpr size_t kZipCommandLineLimit = 8192;

/// Copies an open file, up to the size it had when it was opened, into `folder` under
/// `name` with permission bits `mode`. The copy is written under a temporary name and
/// renamed into place, so whatever entry had that name (a link too) is replaced and never
/// written through.
[[nodiscard]] platform::Status copy_into_folder(platform::RegularFile& source,
                                                platform::ConfinedFolder& folder,
                                                const std::string& name, uint32_t mode);
/// Copies the launcher from the installation's bin folder into `folder`, where it runs,
/// replacing whatever entry has its name there without writing through it. False (logged
/// under `caller`) when the copy fails.
bool copy_zip_tool(const char* caller, const std::string& bin, const std::string& folder);
/// Runs the launcher in `folder` with `arguments` and waits for it (at most 300 s). The
/// answer's status: "600" when it ended (after a second for its files to settle), "905"
/// when it ran past its time (it runs on), "900" when it could not be started or its wait
/// failed. Failures are logged under `caller`.
const char* run_zip_tool(const char* caller, const std::string& folder,
                         const std::string& arguments);

/// Files copied from AXIS2C_HOME/logs into the log directory, in order.
std::vector<std::string> collected_from_logs_folder();
/// Files copied from AXIS2C_HOME/bin: first the four named after the communication
/// service's log file (when mox_logfile is not empty), then the fixed ones.
std::vector<std::string> collected_from_bin_folder(const std::string& mox_logfile);

/// The launcher's arguments for packing `names` into `archive`: "-c " and then the
/// archive and each name in double quotes, each followed by a blank. A name that would
/// make the command line reach kZipCommandLineLimit is left out and added to left_out.
std::string log_archive_arguments(const std::string& archive, const std::vector<std::string>& names,
                                  std::vector<std::string>* left_out);

}  // namespace qma::commands
