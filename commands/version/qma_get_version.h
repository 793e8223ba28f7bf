// The get-version command's parts: the per-module lock table, the option versions, the status
// merge, the version history files and the package root scans.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "commands/qma_version_info.h"
#include "commands/update/update_tools.h"
#include "common/qma_records.h"

/// Takes the module's get-version lock (slot = the id's first four characters as a number,
/// 0 to 9999), waiting at most 5 s. 1 when held, 0 on an invalid key, a failed creation or a
/// time-out.
int QMA_getVersionLock(const char* module_id);
/// Releases the module's get-version lock (nothing for an invalid key or a lock not held).
void QMA_getVersionUnlock(const char* module_id);
/// The option versions of a module from its Get_version.xml and history files, with the name
/// pair "module_name_with_id"; null when there are none or any of them cannot be read. The
/// record and its option array are released with free.
VersionExtInfo* QMA_GetVersionExtensionInfo(const char* module_id);

namespace qma::commands {

/// Module ids of the built-in entries.
inline constexpr const char* kBiosModuleId = "00000000";
inline constexpr const char* kBmcModuleId = "00010000";
inline constexpr const char* kAgentModuleId = "02000000";

/// One status merged into another by the get-version ranking 3 < 5 < 0 < 1 < 2 < 4 < 6: the
/// higher-ranked wins; a value outside 0 to 6 outranks 0 to 5, and once merged stays.
int merge_option_status(int merged, int option);

/// What the first scan of the package root finds: the module folders (real, writable,
/// non-hidden directories, in listing order) and whether an entry of any kind carries one of
/// the built-in ids.
struct PackageRootScan {
  bool listed = false;  // false when the root could not be listed
  std::vector<std::string> modules;
  bool has_bios = false;
  bool has_bmc = false;
  bool has_agent = false;
};
PackageRootScan scan_package_root(const std::string& root);

/// The outcome of one get-version tool run, as the command judges it.
enum class ToolRun { kFinished, kTimedOut, kWaitFailed, kNotStarted };

/// Ends a get-version tool the command gives up on, with every process it started; a failed
/// kill is logged as the one line "system( "kill -KILL -PID" ) error!! iRet=[-1], errno=[N]".
void end_get_version_tool(QMA_PROC_HANDLE tool, int pid);

/// Steps after a module's tool run: the result and module status, the identification from
/// the descriptor, the version history and options, the removal of Get_version.xml and the
/// tool messages. `folder` is the module folder, `module_id` its name.
void finish_module(const ReqInfo& request, const std::string& folder, const std::string& module_id,
                   ToolRun run, ModuleVersionEntry& entry);

/// Version history of a module folder: CurrentVersion.xml, ExVersion.xml, ExExVersion.xml.
/// A rotation first stages the new history (Get_version.xml as the current record, the
/// current one as the previous one, the previous one as the one before) in a hidden folder,
/// then publishes it by one rename, then moves it into place. Whoever finds a published
/// rotation finishes it, so a rotation cut short by a crash leaves the old history (not yet
/// published) or the new one (published), never a mix. The files are read whatever the case
/// of their names and written under the names above; other spellings are removed. When no
/// staging folder can be made, the history is shifted in place instead (older records renamed,
/// Get_version.xml copied), so the new record still lands. `step` (tests) is called after
/// every change on disk with its number, from 1.
using HistoryStepHook = std::function<void(int step)>;
bool rotate_version_history(const std::string& folder, const HistoryStepHook& step = {});
/// Finishes or discards a rotation cut short in the folder.
void recover_version_history(const std::string& folder);

}  // namespace qma::commands
