// Module status files (package root/<module id>/ModuleStatus) and the start-up sweeps of the
// package root.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "common/log/qma_log.h"
#include "common/qma_config.h"
#include "common/status/qma_status.h"
#include "platform/file.h"

namespace {

constexpr const char* kSrc = "QMACommon";
constexpr const char* kModuleStatusName = "ModuleStatus";
constexpr size_t kPathMax = 260;
constexpr int kLineMax = 1023;  // 1022 characters and the terminator
constexpr unsigned long kLockTimeoutMs = 5000;
constexpr const char* kAgentModuleId = "02000000";

std::once_flag g_lock_once;
QMA_CMN_MUTEX_HANDLE g_status_lock = nullptr;

std::string cut_path(std::string path) {
  if (path.size() > kPathMax - 1) path.resize(kPathMax - 1);
  return path;
}

/// The module's status file; an existing file whose name differs only in case is that file.
std::string module_status_path(const char* module_id) {
  using qma::platform::join_path;
  return qma::platform::resolve_path(cut_path(join_path(
      join_path(QMA_Cmn_GetPackageRoot(), module_id ? module_id : ""), kModuleStatusName)));
}

/// Creates the process-wide lock on first use and takes it; a failure is logged
/// and the caller goes on without the lock.
bool lock_status_files(const char* func) {
  std::call_once(g_lock_once, [func] {
    if (QMA_Cmn_CreateMutex(&g_status_lock, nullptr) != 1) {
      QMA_LogError(func, kSrc, __LINE__, "QMA_Cmn_CreateMutex error");
    }
  });
  if (g_status_lock == nullptr) return false;
  if (QMA_Cmn_LockMutex(g_status_lock, kLockTimeoutMs) != 1) {
    QMA_LogError(func, kSrc, __LINE__, "QMA_Cmn_LockMutex error");
    return false;
  }
  return true;
}

void unlock_status_files(bool locked) {
  if (locked) QMA_Cmn_UnlockMutex(g_status_lock);
}

/// Key of an option line: one of the two being a prefix of the other is a match.
bool option_key_matches(std::string_view key, std::string_view option) {
  size_t n = key.size() < option.size() ? key.size() : option.size();
  return key.substr(0, n) == option.substr(0, n);
}

/// The next line of the content as fgets reads it from a file: at most size - 1 characters,
/// up to and including a line feed. False at the end of the content.
bool next_line(std::string_view& rest, char* buffer, size_t size) {
  if (rest.empty() || size < 2) return false;
  size_t take = std::min(rest.size(), size - 1);
  const size_t feed = rest.substr(0, take).find('\n');
  if (feed != std::string_view::npos) take = feed + 1;
  std::memcpy(buffer, rest.data(), take);
  buffer[take] = '\0';
  rest.remove_prefix(take);
  return true;
}

int base10(const char* text) {
  return static_cast<int>(std::strtol(text, nullptr, 10));
}

std::vector<std::string> split_lines(const std::string& content) {
  std::vector<std::string> pieces;
  size_t start = 0;
  while (start <= content.size()) {
    size_t end = content.find('\n', start);
    if (end == std::string::npos) end = content.size();
    std::string piece = content.substr(start, end - start);
    if (!piece.empty() && piece.back() == '\r') piece.pop_back();
    if (!piece.empty()) pieces.push_back(std::move(piece));
    start = end + 1;
  }
  return pieces;
}

std::string format_number_line(int status) {
  char line[32];
  std::snprintf(line, sizeof(line), "%d\n", status);
  return line;
}

std::string format_option_line(const char* option_id, int status) {
  return std::string(option_id) + "=" + std::to_string(status) + "\n";
}

}  // namespace

extern "C" {

const char* QMA_Cmn_GetPackageRoot(void) {
  return g_QMAConfig.PkgSavePath;
}

int QMA_Cmn_Get_ModuleStatus(const char* module_id, const char* option_id) {
  std::string path = module_status_path(module_id);
  bool locked = lock_status_files(__func__);
  int result = -1;
  // A tool runs in the module folder and may leave anything under the name: only a bounded
  // regular file is read, never through a link and never waiting on it.
  auto content = qma::platform::read_regular_file(path, qma::platform::kStateFileMax);
  if (!content.ok()) {
    QMA_LogError(__func__, kSrc, __LINE__, "fopen error. GetLastError is [%d]", content.error());
    unlock_status_files(locked);
    return -1;
  }
  std::string_view rest = content.value();
  char line[kLineMax];
  if (option_id == nullptr) {
    if (next_line(rest, line, sizeof(line))) result = base10(line);
  } else {
    while (next_line(rest, line, sizeof(line))) {
      const char* equals = std::strchr(line, '=');
      if (equals == nullptr) continue;
      if (option_key_matches(std::string_view(line, static_cast<size_t>(equals - line)),
                             option_id)) {
        result = base10(equals + 1);
        break;
      }
    }
  }
  unlock_status_files(locked);
  return result;
}

void QMA_Cmn_Set_ModuleStatus(const char* module_id, int status, const char* option_id) {
  int current = QMA_Cmn_Get_ModuleStatus(module_id, option_id);
  if (current == QMA_MODSTAT_REBOOT || current == QMA_MODSTAT_FAILED || current == status) {
    QMA_LogInfo(__func__, kSrc, __LINE__,
                "Do not update ModuleStatus. CurrentStatus[%d]. SetStatus[%d]", current, status);
    return;
  }

  std::string path = module_status_path(module_id);
  bool locked = lock_status_files(__func__);

  // The old content, read whole. A missing file, or anything but a regular file in its place (a
  // link, a FIFO a tool left), counts as empty and is replaced below; a regular file that cannot be
  // read whole (above the bound, unreadable) is left as it is.
  std::string old_content;
  auto read = qma::platform::read_regular_file(path, qma::platform::kStateFileMax);
  if (read.ok()) {
    old_content = std::move(read.value());
  } else if (read.error() == ENOENT || read.error() == EPERM || read.error() == ELOOP) {
    QMA_LogWarning(__func__, kSrc, __LINE__, "stat error. GetLastError [%d]", read.error());
  } else {
    QMA_LogError(__func__, kSrc, __LINE__, "fopen(read) error. filename is [%s]. GetLastError [%d]",
                 path.c_str(), read.error());
    unlock_status_files(locked);
    return;
  }

  std::string out;
  bool replaced = false;
  auto pieces = split_lines(old_content);
  for (size_t i = 0; i < pieces.size(); ++i) {
    const std::string& piece = pieces[i];
    if (i == 0) {
      if (option_id == nullptr) {
        out += format_number_line(status);
        replaced = true;
        QMA_LogInfo(__func__, kSrc, __LINE__,
                    "Update ModuleStatus. CurrentStatus[%d]->RequestStatus[%d]", current, status);
      } else {
        out += piece + "\n";
      }
      continue;
    }
    if (option_id == nullptr) {
      out += piece + "\n";
      continue;
    }
    size_t equals = piece.find('=');
    if (equals == std::string::npos) continue;
    if (option_key_matches(std::string_view(piece).substr(0, equals), option_id)) {
      out += format_option_line(option_id, status);
      replaced = true;
      QMA_LogInfo(__func__, kSrc, __LINE__,
                  "Update ModuleStatus(OptionID=%s). CurrentStatus[%d]->RequestStatus[%d]",
                  option_id, current, status);
    } else {
      out += piece + "\n";
    }
  }
  if (!replaced) {
    if (option_id != nullptr) {
      if (old_content.empty()) out += format_number_line(status);
      out += format_option_line(option_id, status);
      QMA_LogInfo(__func__, kSrc, __LINE__,
                  "Add ModuleStatus(OptionID=%s). CurrentStatus[%d]->RequestStatus[%d]", option_id,
                  current, status);
    } else {
      out += format_number_line(status);
      QMA_LogInfo(__func__, kSrc, __LINE__,
                  "Add ModuleStatus. CurrentStatus[%d]->RequestStatus[%d]", current, status);
    }
  }

  // The new content replaces the old file in one rename, so a failure half-way
  // leaves the previous file whole instead of a truncated one.
  auto written = qma::platform::write_file_atomic(path, out);
  if (!written) {
    QMA_LogError(__func__, kSrc, __LINE__,
                 "Set ModuleStatus is fopen error. filename is [%s]. GetLastError [%d]",
                 path.c_str(), written.error());
  }
  unlock_status_files(locked);
}

void QMA_Cmn_ModuleStatus_ResetAll(void) {
  QMA_LogInfo(__func__, kSrc, __LINE__, "QMA_Cmn_ModuleStatus_ResetAll() start.");
  std::string root = QMA_Cmn_GetPackageRoot();
  auto entries = qma::platform::list_directory(root, "*");
  if (!entries) {
    QMA_LogError(__func__, kSrc, __LINE__, "FindFirstFile() error! GetLastError=[%d]",
                 entries.error());
    return;
  }
  for (const auto& entry : entries.value()) {
    if (entry.name == "." || entry.name == "..") continue;
    if (entry.attributes != qma::platform::kAttrDirectory) continue;
    std::string file = cut_path(
        qma::platform::join_path(qma::platform::join_path(root, entry.name), kModuleStatusName));
    (void)qma::platform::delete_file(file);
    QMA_Cmn_Set_ModuleStatus(entry.name.c_str(), QMA_MODSTAT_OK, nullptr);
  }
  QMA_LogInfo(__func__, kSrc, __LINE__, "QMA_Cmn_ModuleStatus_ResetAll() end.");
}

void QMA_Cmn_SweepResultFiles(const char* package_root, const char* kept_module) {
  static const char* const kAgentFiles[] = {"Get_version.xml", "Get_ratio.xml"};
  static const char* const kModuleFiles[] = {"Get_version.xml",  "Update_normal.xml",
                                             "Update_force.xml", "Install.xml",
                                             "Un_install.xml",   "Get_ratio.xml"};
  if (package_root == nullptr) return;
  auto entries = qma::platform::list_directory(package_root, "*");
  if (!entries) return;
  for (const auto& entry : entries.value()) {
    if (entry.name == "." || entry.name == "..") continue;
    // A symbolic link may lead out of the package root: never swept through.
    if (entry.attributes & qma::platform::kAttrReparsePoint) continue;
    std::string folder = qma::platform::join_path(package_root, entry.name);
    if (entry.name == kAgentModuleId || (kept_module != nullptr && entry.name == kept_module)) {
      for (const char* name : kAgentFiles)
        (void)qma::platform::delete_file(qma::platform::join_path(folder, name));
    } else {
      for (const char* name : kModuleFiles)
        (void)qma::platform::delete_file(qma::platform::join_path(folder, name));
    }
  }
}

}  // extern "C"
