// One module of the get-version command once its tool has run: the outcome and module status,
// the identification from the descriptor, the version history, the options and the tool
// messages. Also the scans of the package root that find the module folders.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "commands/module_files.h"
#include "commands/version/qma_get_version.h"
#include "common/cmn/qmcmn.h"
#include "common/host/qma_system.h"
#include "common/log/qma_log.h"
#include "common/qma_funcinit.h"
#include "common/status/qma_status.h"
#include "platform/file.h"

namespace qma::commands {

namespace {

constexpr const char* kSrc = "QMAProc";
constexpr const char* kFunc = "QMA_ExecuteForGetVersionCommand";
constexpr const char* kErrorInAgent = "ErrorInAgent";

using platform::join_path;

struct Outcome {
  char code[QMA_LEN_SHORT] = {};  // the result code text, as get-version readers read it
  bool successful = false;
  int status = QMA_MODSTAT_GETVERERR;
};

int read_element(const std::string& file, const char* const* path, char* out, int size) {
  if (g_QMAgentSub.QMA_XML_GetElementValueForFile == nullptr) return 0;
  return g_QMAgentSub.QMA_XML_GetElementValueForFile(QMA_LogError, file.c_str(), path, out, size);
}

// The result word of a finished tool, judged by the get-version vocabulary.
Outcome judge(ToolRun run, const std::string& result) {
  Outcome outcome;
  if (run != ToolRun::kFinished) {
    QMCmnCopyField(outcome.code, kErrorInAgent);
    return outcome;
  }
  const char* path[] = {"Response", "result_code", ""};
  if (read_element(result, path, outcome.code, sizeof outcome.code) != 1) {
    QMA_LogError(kFunc, kSrc, __LINE__, "Get result of update-tool error! [%s:%s]", "result_code",
                 result.c_str());
    QMCmnCopyField(outcome.code, kErrorInAgent);
  } else if (std::strcmp(outcome.code, "OK") == 0) {
    outcome.successful = true;
    outcome.status = QMA_MODSTAT_OK;
    return outcome;
  } else if (std::strcmp(outcome.code, "No-Device") == 0) {
    outcome.status = QMA_MODSTAT_NODEVICE;
    return outcome;
  } else if (std::strcmp(outcome.code, "Busy") == 0) {
    outcome.status = QMA_MODSTAT_BUSY;
    return outcome;
  } else if (std::strcmp(outcome.code, "Not-install") == 0) {
    outcome.status = QMA_MODSTAT_NOTINSTALL;
    return outcome;
  }
  QMA_LogError(kFunc, kSrc, __LINE__, "Result of update-tool is invalid! [%s:%s]", outcome.code,
               result.c_str());
  return outcome;
}

// Module id, name pair and package id from the descriptor; false when any is missing.
bool identify(const std::string& module_id, const std::string& descriptor,
              ModuleVersionEntry& entry) {
  bool complete = true;
  QMCmnCopyField(entry.ModuleID, module_id.c_str());
  const char* id_path[] = {"quillmend_package", "module_id", ""};
  char id[QMA_LEN_SHORT] = {};
  if (read_element(descriptor, id_path, id, sizeof id) == 1) {
    QMCmnCopyField(entry.ModuleID, id);
  } else {
    QMA_LogError(kFunc, kSrc, __LINE__, "QMA_XML_GetElementValueForFile() error! [%s:%s]",
                 "module_id", descriptor.c_str());
    complete = false;
  }
  if (g_QMAgentSub.QMA_XML_GetModuleName == nullptr ||
      g_QMAgentSub.QMA_XML_GetModuleName(QMA_LogError, descriptor.c_str(), "module_name",
                                         entry.ModuleNameJa, sizeof entry.ModuleNameJa,
                                         entry.ModuleNameEn, sizeof entry.ModuleNameEn) != 1) {
    QMA_LogError(kFunc, kSrc, __LINE__, "QMA_XML_GetModuleName() error! [%s:%s]", "module_name",
                 descriptor.c_str());
    complete = false;
  }
  return complete;
}

bool read_package_id(const std::string& descriptor, ModuleVersionEntry& entry) {
  const char* path[] = {"quillmend_package", "package_id", ""};
  if (read_element(descriptor, path, entry.PackageID, sizeof entry.PackageID) == 1) return true;
  QMA_LogError(kFunc, kSrc, __LINE__, "QMA_XML_GetElementValueForFile() error!(PackageID) [%s:%s]",
               "package_id", descriptor.c_str());
  return false;
}

// Current, previous and earlier version after a successful run, rotating the history when
// the tool reports a version other than the current one.
void update_history(const std::string& folder, ModuleVersionEntry& entry) {
  recover_version_history(folder);
  const std::string result = join_path(folder, kGetVersionResult);
  const std::string current = join_path(folder, kCurrentVersion);
  const char* version_path[] = {"Response", "data", "version", ""};

  std::memset(entry.Compare, 0, sizeof entry.Compare);
  const char* cmp_path[] = {"Response", "data", "cmp", ""};
  if (read_element(result, cmp_path, entry.Compare, sizeof entry.Compare) != 1) {
    QMA_LogError(kFunc, kSrc, __LINE__, "QMA_XML_GetElementValueForFile() error!(Compare) [%s:%s]",
                 "cmp", result.c_str());
  }
  char reported[QMA_LEN_PATH] = {};
  char recorded[QMA_LEN_PATH] = {};
  for (auto [file, out] : {std::pair{&result, reported}, std::pair{&current, recorded}}) {
    if (read_element(*file, version_path, out, QMA_LEN_PATH) != 1) {
      QMA_LogError(kFunc, kSrc, __LINE__, "QMA_XML_GetElementValueForFile() error! [%s:%s-%s-%s]",
                   file->c_str(), "Response", "data", "version");
    }
  }
  QMA_LogInfo(kFunc, kSrc, __LINE__, "Version_Comp [cur:%s]-[pkg:%s]", recorded, reported);
  if (std::strcmp(recorded, reported) != 0) (void)rotate_version_history(folder);

  if (read_element(current, version_path, entry.CurrentVersion, sizeof entry.CurrentVersion) != 1) {
    QMA_LogError(kFunc, kSrc, __LINE__,
                 "QMA_XML_GetElementValueForFile() error!(CurrentVersion) [%s:%s]", "version",
                 current.c_str());
  }
  if (QMA_Cmn_CheckFile(folder.c_str(), kPreviousVersion) == 1) {
    const std::string previous = join_path(folder, kPreviousVersion);
    if (read_element(previous, version_path, entry.ExVersion, sizeof entry.ExVersion) != 1) {
      QMA_LogError(kFunc, kSrc, __LINE__,
                   "QMA_XML_GetElementValueForFile() error!(ExVersion) [%s:%s]", "version",
                   previous.c_str());
    }
  }
  if (QMA_Cmn_CheckFile(folder.c_str(), kBeforePreviousVersion) == 1) {
    const std::string before = join_path(folder, kBeforePreviousVersion);
    if (read_element(before, version_path, entry.ExExVersion, sizeof entry.ExExVersion) != 1) {
      QMA_LogError(kFunc, kSrc, __LINE__,
                   "QMA_XML_GetElementValueForFile() error!(ExExVersion) [%s:%s]", "version",
                   before.c_str());
    }
  }
}

// Options of the module (message versions other than "1.0"), merged into its status.
void add_options(const ReqInfo& request, const std::string& folder, const std::string& module_id,
                 int status, ModuleVersionEntry& entry) {
  if (std::strncmp(request.MessageVersion, "1.0", sizeof request.MessageVersion) == 0) return;
  const char* extension_path[] = {"Response", "extension", ""};
  const std::string current = join_path(folder, kCurrentVersion);
  if (g_QMAgentSub.QMA_XML_CheckElementForFile == nullptr ||
      g_QMAgentSub.QMA_XML_CheckElementForFile(QMA_LogError, current.c_str(), extension_path) !=
          1) {
    return;
  }
  entry.ExtInfo = QMA_GetVersionExtensionInfo(module_id.c_str());
  if (entry.ExtInfo == nullptr) return;
  int merged = status;
  for (int32_t i = 0; i < entry.ExtInfo->OptionCount; ++i) {
    merged = merge_option_status(merged, std::atoi(entry.ExtInfo->Options[i].ModuleStatus));
  }
  std::snprintf(entry.ModuleStatus, sizeof entry.ModuleStatus, "%d", merged);
  QMA_Cmn_Set_ModuleStatus(module_id.c_str(), merged, nullptr);
}

}  // namespace

void finish_module(const ReqInfo& request, const std::string& folder, const std::string& module_id,
                   ToolRun run, ModuleVersionEntry& entry) {
  const std::string descriptor = join_path(folder, kPackageDescriptor);
  const std::string result = join_path(folder, kGetVersionResult);

  Outcome outcome = judge(run, result);
  QMA_Cmn_Set_ModuleStatus(module_id.c_str(), outcome.status, nullptr);

  bool successful = identify(module_id, descriptor, entry) && outcome.successful;
  // A stored 1 or 2 outlives the status just set, so the entry shows what is stored.
  int stored = QMA_Cmn_Get_ModuleStatus(module_id.c_str(), nullptr);
  int shown =
      stored >= QMA_MODSTAT_OK && stored <= QMA_MODSTAT_NOTINSTALL ? stored : QMA_MODSTAT_GETVERERR;
  std::snprintf(entry.ModuleStatus, sizeof entry.ModuleStatus, "%d", shown);
  successful = read_package_id(descriptor, entry) && successful;

  if (successful) {
    update_history(folder, entry);
    add_options(request, folder, module_id, shown, entry);
  } else {
    std::memset(entry.Compare, 0, sizeof entry.Compare);
    std::memset(entry.CurrentVersion, 0, sizeof entry.CurrentVersion);
    std::memset(entry.ExVersion, 0, sizeof entry.ExVersion);
    std::memset(entry.ExExVersion, 0, sizeof entry.ExExVersion);
  }
  (void)platform::delete_file(result);

  if (g_QMAgentSub.QMA_XML_GetStatusMsg == nullptr ||
      g_QMAgentSub.QMA_XML_GetStatusMsg(QMA_LogError, descriptor.c_str(), outcome.code,
                                        entry.ToolOutputLogJa, sizeof entry.ToolOutputLogJa,
                                        entry.ToolOutputLogEn, sizeof entry.ToolOutputLogEn) != 1) {
    QMA_LogError(kFunc, kSrc, __LINE__, "QMA_XML_GetStatusMsg() error! [ModuleReturnCode:%s]",
                 outcome.code);
  }
}

PackageRootScan scan_package_root(const std::string& root) {
  PackageRootScan scan;
  auto entries = platform::list_directory(root, "*");
  if (!entries.ok()) return scan;
  scan.listed = true;
  for (const auto& entry : entries.value()) {
    if (entry.name == "." || entry.name == "..") continue;
    // Built-in ids count by name whatever the entry is.
    scan.has_bios = scan.has_bios || entry.name == kBiosModuleId;
    scan.has_bmc = scan.has_bmc || entry.name == kBmcModuleId;
    scan.has_agent = scan.has_agent || entry.name == kAgentModuleId;
    // Only a real, writable, non-hidden folder is a module: no link, no read-only or hidden one.
    if (entry.attributes == platform::kAttrDirectory) scan.modules.push_back(entry.name);
  }
  return scan;
}

}  // namespace qma::commands
