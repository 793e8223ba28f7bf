// The OS information record and the choice of a package's tool for the running OS.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <utility>

#include "commands/qma_commands.h"
#include "common/cmn/qmcmn.h"
#include "common/host/os_info_source.h"
#include "common/host/qma_system.h"
#include "common/log/qma_log.h"
#include "common/qma_config.h"
#include "common/qma_funcinit.h"
#include "platform/error.h"

namespace {

constexpr const char* kSrc = "QMAProc";
constexpr uint8_t kProductWorkstation = 1;
constexpr uint32_t kFirstBuildReportedAsMinor = 14394;

std::mutex g_source_mutex;
qma::commands::OsVersionSource g_version_source;

template <size_t N>
void set_number(char (&field)[N], long value) {
  std::memset(field, 0, N);
  std::snprintf(field, N, "%ld", value);
}

}  // namespace

namespace qma::commands {

void set_os_version_source(OsVersionSource source) {
  std::lock_guard<std::mutex> lock(g_source_mutex);
  g_version_source = std::move(source);
}

platform::Result<platform::OsVersionInfo> read_os_version() {
  OsVersionSource source;
  {
    std::lock_guard<std::mutex> lock(g_source_mutex);
    source = g_version_source;
  }
  return source ? source() : common::system_os_version();
}

void reset_os_information() {
  if (g_QMAConfig.SystemInfo != nullptr)
    std::memset(g_QMAConfig.SystemInfo, 0, sizeof(QMA_SYSTEM_INFO));
}

}  // namespace qma::commands

int QMA_GetOSInformation() {
  QMA_LogInfo(__func__, kSrc, __LINE__, "QMA_GetOSInformation() start.");
  if (g_QMAConfig.SystemInfo == nullptr) {
    g_QMAConfig.SystemInfo = static_cast<QMA_SYSTEM_INFO*>(std::calloc(1, sizeof(QMA_SYSTEM_INFO)));
    if (g_QMAConfig.SystemInfo == nullptr) {
      QMA_LogError(__func__, kSrc, __LINE__, "malloc error : QMA_SYSTEM_INFO table");
      return 0;
    }
  }
  QMA_SYSTEM_INFO& info = *g_QMAConfig.SystemInfo;
  if (info.major[0] == '\0') {
    auto version = qma::commands::read_os_version();
    if (!version.ok()) {
      QMA_LogError(__func__, kSrc, __LINE__, "GetVersionEx() error! GetLastError=[%d]",
                   version.error());
      return 0;
    }
    const qma::platform::OsVersionInfo& v = version.value();
    // Newer server systems carry their release in the build number.
    bool build_is_minor = v.major >= 10 && v.product_type != kProductWorkstation &&
                          v.build >= kFirstBuildReportedAsMinor;
    set_number(info.minor, build_is_minor ? v.build : v.minor);
    QMA_LogInfo(__func__, kSrc, __LINE__,
                "stOSVerInfoEx.dwBuildNumber=[%d] stOSVerInfoEx.dwPlatformId=[%d] "
                "stOSVerInfoEx.szCSDVersion=[%s]",
                static_cast<int>(v.build), static_cast<int>(v.platform_id), "");
    set_number(info.sp_major, v.major >= 10 ? v.build : v.service_pack_major);
    set_number(info.sp_minor, v.service_pack_minor);
    // major last: a filled major is what marks the record as filled.
    char major[QMA_LEN_SHORT];
    set_number(major, v.major);
    QMA_LogInfo(__func__, kSrc, __LINE__,
                "WindowsOS.major=[%s] WindowsOS.minor=[%s] WindowsOS.sp_major=[%s] "
                "WindowsOS.sp_minor=[%s]",
                major, info.minor, info.sp_major, info.sp_minor);
    QMCmnCopyField(info.arch, QMA_IsWow64() == 1 ? "x64" : "x86");
    int os_type = 0;
    char os_name[QMA_LEN_PATH] = {};
    if (QMA_GetOSInfo(&os_type, os_name) == 1) {
      set_number(info.product_type, os_type);
    } else {
      QMCmnCopyField(info.product_type, "0");
    }
    std::memset(info.os_name, 0, sizeof info.os_name);
    if (os_name[0] != '\0') QMCmnCopyField(info.os_name, os_name);
    std::memcpy(info.major, major, sizeof major);
  }
  QMA_LogInfo(__func__, kSrc, __LINE__, "QMA_GetOSInformation() end.");
  return 1;
}

int QMA_GetCommandFromQuillInfo(const char* descriptor, const char* mode, char* command,
                                int command_size, char* time_limit, int time_limit_size) {
  QMA_LogInfo(__func__, kSrc, __LINE__, "QMA_GetCommandFromQuillInfo() start.");
  if (g_QMAConfig.SystemInfo == nullptr || g_QMAConfig.SystemInfo->major[0] == '\0') {
    if (QMA_GetOSInformation() != 1) {
      QMA_LogError(__func__, kSrc, __LINE__, "QMA_GetOSInformation() error!");
      return 0;
    }
  }
  if (descriptor == nullptr || mode == nullptr || command == nullptr || time_limit == nullptr ||
      g_QMAgentSub.QMA_XML_GetAttrValueForFile_WithAttrs == nullptr ||
      g_QMAgentSub.QMA_XML_GetElemValueForFile_WithAttr == nullptr) {
    QMA_LogError(__func__, kSrc, __LINE__, "QMA_XML_GetAttrValueForFileWithAttrs() error! [%s:%s]",
                 "refid", descriptor != nullptr ? descriptor : "");
    return 0;
  }
  const QMA_SYSTEM_INFO& info = *g_QMAConfig.SystemInfo;

  const char* os_path[] = {"quillmend_package", "supported_operating_systems", "windows_os", ""};
  const char* reference_path[] = {"quillmend_package", "supported_operating_systems", "windows_os",
                                  "reference", ""};
  const char* os_names[] = {"major", "minor", "sp_major", "sp_minor", "arch", ""};
  const char* os_values[] = {info.major, info.minor, info.sp_major, info.sp_minor, info.arch, ""};
  const char* refid_name[] = {"refid", ""};
  char reference[QMA_LEN_PATH] = {};
  if (g_QMAgentSub.QMA_XML_GetAttrValueForFile_WithAttrs(
          QMA_LogError, descriptor, os_path, reference_path, os_names, os_values, refid_name,
          reference, sizeof reference) != 1) {
    QMA_LogError(__func__, kSrc, __LINE__, "QMA_XML_GetAttrValueForFileWithAttrs() error! [%s:%s]",
                 "refid", descriptor);
    return 0;
  }

  const char* usage_path[] = {"quillmend_package", "usage", ""};
  const char* mode_path[] = {"quillmend_package", "usage", mode, ""};
  if (g_QMAgentSub.QMA_XML_GetElemValueForFile_WithAttr(QMA_LogError, descriptor, usage_path,
                                                        mode_path, "refid", reference, command,
                                                        command_size) != 1) {
    QMA_LogError(__func__, kSrc, __LINE__, "QMA_XML_GetElemValueForFileWithAttr() error! [%s:%s]",
                 mode, descriptor);
    return 0;
  }

  const char* refid_values[] = {reference, ""};
  const char* timeout_name[] = {"timeout", ""};
  if (g_QMAgentSub.QMA_XML_GetAttrValueForFile_WithAttrs(
          QMA_LogError, descriptor, usage_path, mode_path, refid_name, refid_values, timeout_name,
          time_limit, time_limit_size) != 1) {
    QMA_LogError(__func__, kSrc, __LINE__, "QMA_XML_GetAttrValueForFileWithAttrs() error! [%s:%s]",
                 "timeout", descriptor);
    return -1;
  }
  QMA_LogInfo(__func__, kSrc, __LINE__, "QMA_GetCommandFromQuillInfo() end.");
  return 1;
}
