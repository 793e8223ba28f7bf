// The agent status: one state word for the whole agent, mirrored to QMAgentStatus after every
// change.
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

namespace {

constexpr const char* kSrc = "QMACommon";
constexpr const char* kStatusFileName = "QMAgentStatus";
constexpr size_t kPathMax = 260;

int g_state = QMA_AGTSTAT_NORMAL;
int g_reboot_pending = 0;
// Resolved by the first write that finds AXIS2C_HOME set, then kept.
std::string g_put_path;

/// $AXIS2C_HOME/bin/QMAgentStatus cut to 259 characters; the plain name when the
/// variable is not set (logged with the caller's name).
std::string resolve_status_path(const char* func, bool* from_home) {
  const char* home = std::getenv("AXIS2C_HOME");
  if (home == nullptr) {
    QMA_LogError(func, kSrc, __LINE__, "getenv AXIS2C_HOME error! errno=[%d]", errno);
    *from_home = false;
    return kStatusFileName;
  }
  std::string path =
      qma::platform::join_path(qma::platform::join_path(home, "bin"), kStatusFileName);
  if (path.size() > kPathMax - 1) path.resize(kPathMax - 1);
  *from_home = true;
  return path;
}

bool valid_state(long v) {
  return v >= QMA_AGTSTAT_NORMAL && v <= QMA_AGTSTAT_DISABLED;
}

/// Parses up to two base-10 numbers separated by blanks, as "%d %d" would,
/// returning how many were read (-1 for a line of blanks only). Values that do not fit an int stop
/// the parse.
int parse_two_numbers(const char* text, int* first, int* second) {
  int* outputs[2] = {first, second};
  const char* p = text;
  int count = 0;
  for (int i = 0; i < 2; ++i) {
    while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r' || *p == '\v' || *p == '\f') ++p;
    // Only blanks before the first number: the input ended, counted as -1 like "%d %d".
    if (i == 0 && *p == '\0') return -1;
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(p, &end, 10);
    if (end == p || errno == ERANGE || v < -2147483647L - 1 || v > 2147483647L) break;
    *outputs[i] = static_cast<int>(v);
    ++count;
    p = end;
  }
  return count;
}

const char* state_word(int state) {
  switch (state) {
    case QMA_AGTSTAT_NORMAL:
      return "normal";
    case QMA_AGTSTAT_BUSY:
      return "busy";
    case QMA_AGTSTAT_REBOOT:
      return "reboot";
    case QMA_AGTSTAT_DISABLED:
      return "disabled";
    default:
      return "unknown";
  }
}

}  // namespace

extern "C" {

void QMA_Cmn_QMAgentStatus_PutFile(int state, int reboot_pending) {
  std::string path;
  if (!g_put_path.empty()) {
    path = g_put_path;
  } else {
    bool from_home = false;
    path = resolve_status_path(__func__, &from_home);
    if (from_home) g_put_path = path;
  }
  char text[17] = {};
  std::snprintf(text, sizeof(text), "%d %d", state, reboot_pending);
  // A file whose name differs only in case is the status file.
  // Written in place, never through a link and never waiting on a FIFO in its place.
  bool opened = false;
  auto written =
      qma::platform::write_regular_file(qma::platform::resolve_path(path), text, &opened);
  if (!written.ok()) {
    QMA_LogError(__func__, kSrc, __LINE__,
                 opened ? "Set AgentStatus is fputs error. filename is [%s]. errno [%d]"
                        : "Set AgentStatus is fopen error. filename is [%s]. errno [%d]",
                 kStatusFileName, written.error());
  }
}

void QMA_Cmn_QMAgentStatus_GetFile(int* state, int* reboot_pending) {
  bool from_home = false;
  std::string path = resolve_status_path(__func__, &from_home);
  int dummy_state = 0, dummy_flag = 0;
  if (state == nullptr) state = &dummy_state;
  if (reboot_pending == nullptr) reboot_pending = &dummy_flag;
  *state = 0;
  *reboot_pending = 0;
  // Only a bounded regular file is read, never through a link and never waiting on it.
  auto content = qma::platform::read_regular_file(path, qma::platform::kStateFileMax);
  if (!content.ok()) {
    QMA_LogError(__func__, kSrc, __LINE__,
                 "Get AgentStatus is fopen error. filename is [%s]. errno [%d]", kStatusFileName,
                 content.error());
    return;
  }
  if (content.value().empty()) {
    QMA_LogError(__func__, kSrc, __LINE__,
                 "Get AgentStatus is fgets error. filename is [%s]. errno [%d]", kStatusFileName,
                 0);
    return;
  }
  // The first line, at most 16 characters of it, as a line read of 17 bytes takes it.
  char line[17] = {};
  std::string_view first = std::string_view(content.value()).substr(0, sizeof(line) - 1);
  if (size_t feed = first.find('\n'); feed != std::string_view::npos) {
    first.remove_suffix(first.size() - feed - 1);
  }
  std::memcpy(line, first.data(), first.size());
  int parsed_state = 0, parsed_flag = 0;
  int count = parse_two_numbers(line, &parsed_state, &parsed_flag);
  if (count != 2 || !valid_state(parsed_state) || parsed_flag < 0 || parsed_flag > 1) {
    QMA_LogError(__func__, kSrc, __LINE__,
                 "Get AgentStatus is invalid data. iRet [%d] agtstat [%d] rbtstat [%d]", count,
                 parsed_state, parsed_flag);
    return;
  }
  *state = parsed_state;
  *reboot_pending = parsed_flag;
}

void QMA_Cmn_AgentStatus_Reset(int agent_effect) {
  QMA_LogInfo(__func__, kSrc, __LINE__, "QMA_Cmn_AgentStatus_Reset() start.");
  g_state = agent_effect == 0 ? QMA_AGTSTAT_DISABLED : QMA_AGTSTAT_NORMAL;
  g_reboot_pending = 0;
  QMA_Cmn_QMAgentStatus_PutFile(g_state, g_reboot_pending);
  QMA_LogInfo(__func__, kSrc, __LINE__, "QMA_Cmn_AgentStatus_Reset() end.");
}

void QMA_Cmn_AgentStatus_Restore(int agent_effect) {
  QMA_LogInfo(__func__, kSrc, __LINE__, "QMA_Cmn_AgentStatus_Restore() start.");
  if (agent_effect == 0) {
    g_state = QMA_AGTSTAT_DISABLED;
  } else {
    int file_state = 0, file_flag = 0;
    QMA_Cmn_QMAgentStatus_GetFile(&file_state, &file_flag);
    g_state = file_state;
    if (g_state == QMA_AGTSTAT_BUSY)
      g_state = file_flag == 1 ? QMA_AGTSTAT_REBOOT : QMA_AGTSTAT_NORMAL;
    g_reboot_pending = g_state == QMA_AGTSTAT_REBOOT ? 1 : 0;
  }
  QMA_Cmn_QMAgentStatus_PutFile(g_state, g_reboot_pending);
  QMA_LogInfo(__func__, kSrc, __LINE__, "QMA_Cmn_AgentStatus_Restore() end.");
}

void QMA_Cmn_AgentStatus_Change(int request) {
  switch (g_state) {
    case QMA_AGTSTAT_NORMAL:
      if (request == QMA_AGTSTAT_BUSY || request == QMA_AGTSTAT_DISABLED) g_state = request;
      break;
    case QMA_AGTSTAT_BUSY:
      if (request == QMA_AGTSTAT_NORMAL) {
        g_state = g_reboot_pending == 1 ? QMA_AGTSTAT_REBOOT : QMA_AGTSTAT_NORMAL;
      } else if (request == QMA_AGTSTAT_REBOOT) {
        g_state = QMA_AGTSTAT_REBOOT;
        g_reboot_pending = 1;
      }
      break;
    case QMA_AGTSTAT_REBOOT:
      if (request == QMA_AGTSTAT_BUSY || request == QMA_AGTSTAT_DISABLED) g_state = request;
      break;
    default:
      break;
  }
  QMA_Cmn_QMAgentStatus_PutFile(g_state, g_reboot_pending);
}

void QMA_Cmn_AgentStatus_GetString(char* buffer, int size) {
  if (buffer == nullptr || size <= 0) return;
  std::memset(buffer, 0, static_cast<size_t>(size));
  std::strncpy(buffer, state_word(g_state), static_cast<size_t>(size) - 1);
}

}  // extern "C"

namespace qma::status {
void forget_agent_status_path() {
  g_put_path.clear();
}
void set_agent_status_for_test(int state, int reboot_pending) {
  g_state = state;
  g_reboot_pending = reboot_pending;
}
void agent_status(int* state, int* reboot_pending) {
  if (state != nullptr) *state = g_state;
  if (reboot_pending != nullptr) *reboot_pending = g_reboot_pending;
}
}  // namespace qma::status
