// Records of running tools in $QMA_STATE_DIR/tools: written when a tool starts, dropped when
// it has ended, read by the next start to end the tool trees a crashed run left behind.
#include "commands/update/tool_records.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "common/log/qma_log.h"
#include "common/status/qma_status.h"
#include "platform/environment.h"
#include "platform/file.h"
#include "platform/process.h"

namespace {

constexpr const char* kSrc = "QMAProc";
constexpr const char* kFolderName = "tools";

struct ToolRecord {
  uint32_t pid = 0;
  uint64_t start_mark = 0;
  std::string folder;
  std::string module;
  std::string mode;
  std::string option;
  bool answered = false;
};

std::atomic<bool> g_wait_unrecorded{true};

std::string records_folder() {
  return qma::platform::join_path(qma::platform::state_dir(), kFolderName);
}

std::string record_path(uint32_t pid) {
  return qma::platform::join_path(records_folder(), std::to_string(pid));
}

std::string record_text(const ToolRecord& record) {
  std::string text = "PID=" + std::to_string(record.pid) + "\n";
  text += "START=" + std::to_string(record.start_mark) + "\n";
  text += "FOLDER=" + record.folder + "\n";
  if (!record.mode.empty()) {
    text += "MOD_ID=" + record.module + "\n";
    text += "MODE=" + record.mode + "\n";
    text += "OPTION_ID=" + record.option + "\n";
    if (record.answered) text += "ANSWERED=1\n";
  }
  return text;
}

uint64_t number_of(std::string_view text) {
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return 0;
    value = value * 10 + static_cast<uint64_t>(c - '0');
    if (value > (1ull << 62)) return 0;
  }
  return value;
}

/// The record of `pid`; false when there is none or it does not parse.
bool read_record(uint32_t pid, ToolRecord* record) {
  auto text = qma::platform::read_file(record_path(pid));
  if (!text.ok()) return false;
  std::string_view rest = text.value();
  while (!rest.empty()) {
    size_t end = rest.find('\n');
    std::string_view line = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    size_t equals = line.find('=');
    if (equals == std::string_view::npos) continue;
    std::string_view key = line.substr(0, equals);
    std::string_view value = line.substr(equals + 1);
    if (key == "PID") record->pid = static_cast<uint32_t>(number_of(value));
    if (key == "START") record->start_mark = number_of(value);
    if (key == "FOLDER") record->folder = value;
    if (key == "MOD_ID") record->module = value;
    if (key == "MODE") record->mode = value;
    if (key == "OPTION_ID") record->option = value;
    if (key == "ANSWERED") record->answered = value == "1";
  }
  return record->pid == pid && record->start_mark != 0;
}

void write_record(const ToolRecord& record) {
  const std::string folder = records_folder();
  if (!qma::platform::is_directory(folder)) (void)qma::platform::create_directory(folder);
  const std::string path = record_path(record.pid);
  auto written = qma::platform::write_file_atomic(path, record_text(record));
  if (!written.ok()) {
    QMA_LogWarning(__func__, kSrc, __LINE__, "Record of update-tool not written. errno=[%d] [%s]",
                   written.error(), path.c_str());
  }
}

void drop_record(uint32_t pid) {
  (void)qma::platform::delete_file(record_path(pid));
}

/// The recorded leader still runs (the same process, not a later one with its id).
bool leader_running(const ToolRecord& record) {
  return qma::platform::process_start_mark(record.pid) == record.start_mark;
}

/// Ends what is left of a recorded tool: the whole tree while its leader runs, else whatever
/// is still in its process group. True when something was ended.
bool end_tree(const ToolRecord& record) {
  if (leader_running(record)) return qma::platform::kill_process_tree(record.pid).ok();
  // A later process that took the leader's id leads another tree: the group of ours is gone,
  // since an id is not given out again while a group still bears it.
  if (qma::platform::process_start_mark(record.pid) != 0) return false;
  auto killed = qma::platform::kill_process_group(record.pid);
  return killed.ok() && killed.value();
}

/// The record of the previous run's tool whose update got its first answer through.
bool find_answered_record(ToolRecord* found) {
  auto entries = qma::platform::list_directory(records_folder());
  if (!entries.ok()) return false;
  for (const auto& entry : entries.value()) {
    const uint64_t number = number_of(entry.name);
    if (number == 0 || number > 0xFFFFFFFFull) continue;
    ToolRecord record;
    if (read_record(static_cast<uint32_t>(number), &record) && record.answered) {
      *found = record;
      return true;
    }
  }
  return false;
}

}  // namespace

namespace qma::commands {

void record_tool(uint32_t pid, const std::string& folder, const ToolRequest* request) {
  ToolRecord record;
  record.pid = pid;
  record.start_mark = platform::process_start_mark(pid);
  // A tool that is over already has nothing to be ended later.
  if (record.start_mark == 0) return;
  record.folder = folder;
  if (request != nullptr) {
    record.module = request->module;
    record.mode = request->mode;
    record.option = request->option;
  }
  write_record(record);
}

void record_tool_answered(uint32_t pid) {
  ToolRecord record;
  if (!read_record(pid, &record)) return;
  record.answered = true;
  write_record(record);
}

uint32_t answered_tool_of_previous_run() {
  ToolRecord record;
  return find_answered_record(&record) ? record.pid : 0;
}

std::string answered_module_of_previous_run() {
  ToolRecord record;
  if (!find_answered_record(&record) || !platform::is_plain_name(record.module)) return {};
  return record.module;
}

void set_waits_for_unrecorded_tools(bool wait) {
  g_wait_unrecorded = wait;
}

bool waits_for_unrecorded_tools() {
  return g_wait_unrecorded;
}

void settle_ended_tool(uint32_t pid) {
  ToolRecord record;
  const bool recorded = read_record(pid, &record);
  auto killed = platform::kill_process_group(pid);
  if (killed.ok() && killed.value()) {
    QMA_LogWarning(__func__, kSrc, __LINE__,
                   "Processes left by update-tool were ended. ProcessGroup=[%u] Folder=[%s]", pid,
                   recorded ? record.folder.c_str() : "");
  }
  drop_record(pid);
}

void release_tool_request(uint32_t pid) {
  ToolRecord record;
  if (!read_record(pid, &record) || record.mode.empty()) return;
  record.module.clear();
  record.mode.clear();
  record.option.clear();
  record.answered = false;
  write_record(record);
}

bool recorded_tool_running(uint32_t pid) {
  ToolRecord record;
  return pid != 0 && read_record(pid, &record) && leader_running(record);
}

void end_tools_of_previous_run(uint32_t keep_pid) {
  auto entries = platform::list_directory(records_folder());
  if (!entries.ok()) return;
  for (const auto& entry : entries.value()) {
    const uint64_t number = number_of(entry.name);
    if (number == 0 || number > 0xFFFFFFFFull) continue;
    const uint32_t pid = static_cast<uint32_t>(number);
    if (pid == keep_pid) continue;
    ToolRecord record;
    if (!read_record(pid, &record)) {
      drop_record(pid);
      continue;
    }
    if (end_tree(record)) {
      QMA_LogWarning(__func__, kSrc, __LINE__,
                     "Update-tool of the previous run was ended. pid=[%u] Folder=[%s]", pid,
                     record.folder.c_str());
    }
    if (!record.mode.empty() && platform::is_plain_name(record.module) &&
        platform::is_plain_name(record.mode + ".xml") &&
        platform::is_absolute_path(record.folder)) {
      // The update never got its first answer through (its information file would name it):
      // nothing of it may be read as the answer of a later run.
      QMA_LogError(__func__, kSrc, __LINE__,
                   "Update of the previous run ended without its result. ModuleID=[%s] Mode=[%s]",
                   record.module.c_str(), record.mode.c_str());
      for (const char* name :
           {"Update_normal.xml", "Update_force.xml", "Install.xml", "Un_install.xml"}) {
        (void)platform::delete_file(platform::join_path(record.folder, name));
      }
      (void)platform::delete_file(platform::join_path(record.folder, record.mode + ".xml"));
      QMA_Cmn_Set_ModuleStatus(record.module.c_str(), QMA_MODSTAT_FAILED,
                               record.option.empty() ? nullptr : record.option.c_str());
    }
    drop_record(pid);
  }
}

void end_kept_tool(uint32_t pid) {
  ToolRecord record;
  if (pid == 0 || !read_record(pid, &record)) return;
  if (end_tree(record)) {
    QMA_LogWarning(__func__, kSrc, __LINE__,
                   "Update-tool of the previous run was ended. pid=[%u] Folder=[%s]", pid,
                   record.folder.c_str());
  }
  drop_record(pid);
}

}  // namespace qma::commands
