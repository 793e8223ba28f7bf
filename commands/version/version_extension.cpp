// The option versions of a module (for message versions other than "1.0") and how their
// statuses merge into the module's status.
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

namespace {

using qma::commands::kBeforePreviousVersion;
using qma::commands::kGetVersionResult;
using qma::commands::kPackageDescriptor;
using qma::commands::kPreviousVersion;

constexpr const char* kSrc = "QMAProc";

// Looks up `leaf` below the option element whose id is `id`.
bool option_value(const std::string& file, const char* id, const char* leaf, char* out, int size) {
  const char* select[] = {"Response", "extension", "option", ""};
  const char* value[] = {"Response", "extension", "option", leaf, ""};
  std::memset(out, 0, static_cast<size_t>(size));
  return g_QMAgentSub.QMA_XML_GetElemValueForFile_WithAttr(QMA_LogError, file.c_str(), select,
                                                           value, "id", id, out, size) == 1;
}

bool bound() {
  return g_QMAgentSub.QMA_XML_GetAttrValueForFile_WithID != nullptr &&
         g_QMAgentSub.QMA_XML_GetElemValueForFile_WithAttr != nullptr &&
         g_QMAgentSub.QMA_XML_GetModuleName != nullptr;
}

}  // namespace

namespace qma::commands {

int merge_option_status(int merged, int option) {
  bool keep = false;
  switch (merged) {
    case QMA_MODSTAT_NODEVICE:
      keep = false;
      break;
    case QMA_MODSTAT_NOTINSTALL:
      keep = option == QMA_MODSTAT_NODEVICE;
      break;
    case QMA_MODSTAT_OK:
      keep = option == QMA_MODSTAT_NODEVICE || option == QMA_MODSTAT_NOTINSTALL;
      break;
    case QMA_MODSTAT_REBOOT:
      keep = option == QMA_MODSTAT_NODEVICE || option == QMA_MODSTAT_NOTINSTALL ||
             option == QMA_MODSTAT_OK;
      break;
    case QMA_MODSTAT_FAILED:
      keep = option == QMA_MODSTAT_NODEVICE || option == QMA_MODSTAT_NOTINSTALL ||
             option == QMA_MODSTAT_OK || option == QMA_MODSTAT_REBOOT;
      break;
    case QMA_MODSTAT_BUSY:
      keep = option == QMA_MODSTAT_NODEVICE || option == QMA_MODSTAT_NOTINSTALL ||
             option == QMA_MODSTAT_OK || option == QMA_MODSTAT_REBOOT ||
             option == QMA_MODSTAT_FAILED;
      break;
    default:  // 6 and anything outside 0 to 5
      keep = true;
      break;
  }
  return keep ? merged : option;
}

}  // namespace qma::commands

VersionExtInfo* QMA_GetVersionExtensionInfo(const char* module_id) {
  QMA_LogInfo(__func__, kSrc, __LINE__, "QMA_GetVersionExtensionInfo() start.");
  if (module_id == nullptr || !bound()) return nullptr;
  using qma::platform::join_path;
  const std::string folder = join_path(QMA_Cmn_GetPackageRoot(), module_id);
  const std::string result = join_path(folder, kGetVersionResult);
  const std::string previous = join_path(folder, kPreviousVersion);
  const std::string before_previous = join_path(folder, kBeforePreviousVersion);
  const bool has_previous = QMA_Cmn_CheckFile(folder.c_str(), kPreviousVersion) == 1;
  const bool has_before_previous = QMA_Cmn_CheckFile(folder.c_str(), kBeforePreviousVersion) == 1;

  const char* first_path[] = {"Response", "extension", "option", ""};
  const char* next_path[] = {"option", ""};
  int count = 0;
  int ret = g_QMAgentSub.QMA_XML_GetAttrValueForFile_WithID(QMA_LogError, result.c_str(),
                                                            first_path, next_path, "id", 1, nullptr,
                                                            QMA_LEN_OPTION, &count);
  if (ret != 1 || count <= 0) {
    QMA_LogWarning(__func__, kSrc, __LINE__, "There is no OptionID! iRet=[%d] iOptCnt=[%d]", ret,
                   count);
    return nullptr;
  }
  char* ids = static_cast<char*>(std::calloc(static_cast<size_t>(count), QMA_LEN_OPTION));
  if (ids == nullptr) {
    QMA_LogError(__func__, kSrc, __LINE__, "calloc() error! iOptCnt=[%d]", count);
    return nullptr;
  }
  // The second pass fills at most `count` slots and says how many it filled.
  int filled = count;
  ret = g_QMAgentSub.QMA_XML_GetAttrValueForFile_WithID(
      QMA_LogError, result.c_str(), first_path, next_path, "id", 1, ids, QMA_LEN_OPTION, &filled);
  if (ret != 1 || filled <= 0 || filled > count) {
    QMA_LogError(__func__, kSrc, __LINE__,
                 "QMA_XML_GetAttrValueForFile_WithID error! iRet=[%d] iOptCnt=[%d]", ret, filled);
    std::free(ids);
    return nullptr;
  }
  count = filled;
  auto* options = static_cast<OptionVersionEntry*>(
      std::calloc(static_cast<size_t>(count), sizeof(OptionVersionEntry)));
  if (options == nullptr) {
    QMA_LogError(__func__, kSrc, __LINE__, "calloc() error! iOptCnt=[%d]", count);
    std::free(ids);
    return nullptr;
  }
  bool complete = true;
  for (int i = 0; i < count && complete; ++i) {
    const char* id = ids + static_cast<size_t>(i) * QMA_LEN_OPTION;
    OptionVersionEntry& option = options[i];
    QMCmnCopyField(option.OptionID, id);
    if (!option_value(result, option.OptionID, "version", option.CurrentVersion,
                      sizeof option.CurrentVersion)) {
      QMA_LogError(__func__, kSrc, __LINE__, "Failed to get version! [%s:%s]", option.OptionID,
                   result.c_str());
      complete = false;
      break;
    }
    if (has_previous && !option_value(previous, option.OptionID, "version", option.ExVersion,
                                      sizeof option.ExVersion)) {
      QMA_LogWarning(__func__, kSrc, __LINE__, "Failed to get version! [%s:%s]", option.OptionID,
                     previous.c_str());
    }
    if (has_before_previous && !option_value(before_previous, option.OptionID, "version",
                                             option.ExExVersion, sizeof option.ExExVersion)) {
      QMA_LogWarning(__func__, kSrc, __LINE__, "Failed to get version! [%s:%s]", option.OptionID,
                     before_previous.c_str());
    }
    if (!option_value(result, option.OptionID, "cmp", option.Compare, sizeof option.Compare)) {
      QMA_LogError(__func__, kSrc, __LINE__, "Failed to get cmp! [%s:%s]", option.OptionID,
                   result.c_str());
      complete = false;
      break;
    }
    int status = QMA_Cmn_Get_ModuleStatus(module_id, option.OptionID);
    if (status == QMA_MODSTAT_NONE) {
      status = QMA_MODSTAT_OK;
      QMA_Cmn_Set_ModuleStatus(module_id, status, option.OptionID);
    }
    std::snprintf(option.ModuleStatus, sizeof option.ModuleStatus, "%d", status);
  }
  std::free(ids);
  if (!complete) {
    std::free(options);
    return nullptr;
  }
  auto* info = static_cast<VersionExtInfo*>(std::calloc(1, sizeof(VersionExtInfo)));
  if (info == nullptr) {
    QMA_LogError(__func__, kSrc, __LINE__, "calloc() error! iOptCnt=[%d]", count);
    std::free(options);
    return nullptr;
  }
  const std::string descriptor = join_path(folder, kPackageDescriptor);
  if (g_QMAgentSub.QMA_XML_GetModuleName(QMA_LogError, descriptor.c_str(), "module_name_with_id",
                                         info->ModuleNameWithIdJa, sizeof info->ModuleNameWithIdJa,
                                         info->ModuleNameWithIdEn,
                                         sizeof info->ModuleNameWithIdEn) != 1) {
    QMA_LogError(__func__, kSrc, __LINE__, "Failed to get ModuleName! [%s:%s]",
                 "module_name_with_id", descriptor.c_str());
    std::free(options);
    std::free(info);
    return nullptr;
  }
  info->OptionCount = count;
  info->Options = options;
  QMA_LogInfo(__func__, kSrc, __LINE__, "QMA_GetVersionExtensionInfo() end.");
  return info;
}
