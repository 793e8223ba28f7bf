// BmcGate.log: one line per note, a fresh file per process and every 10000 lines.
#include "bmcgate/library_log.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>

#include "bmcgate/library_state.h"
#include "platform/clock.h"
#include "platform/environment.h"
#include "platform/file.h"

namespace qma::bmcgate {
namespace {

constexpr int kLinesPerFile = 10000;

// The local time in the C locale's "%c" form, e.g. "Tue Dec  8 13:36:22 2026".
std::string time_text() {
  static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const platform::LocalTime now = platform::local_time_now();
  const std::chrono::year_month_day date{std::chrono::year(now.year),
                                         std::chrono::month(static_cast<unsigned>(now.month)),
                                         std::chrono::day(static_cast<unsigned>(now.day))};
  const unsigned weekday = std::chrono::weekday(std::chrono::sys_days(date)).c_encoding();
  const int month = (now.month >= 1 && now.month <= 12) ? now.month - 1 : 0;
  char text[300];
  std::snprintf(text, sizeof(text), "%s %s %2d %02d:%02d:%02d %d", kDays[weekday % 7],
                kMonths[month], now.day, now.hour, now.minute, now.second, now.year);
  return text;
}

std::string format_message(const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  const int needed = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (needed <= 0) return {};
  std::string text(static_cast<size_t>(needed) + 1, '\0');
  std::vsnprintf(text.data(), text.size(), format, args);
  text.resize(static_cast<size_t>(needed));
  return text;
}

// One descriptor for the process, kept across lines; the path is looked at once a
// second, for a file moved or removed from outside.
platform::AppendFile& log_file() {
  static auto* file = new platform::AppendFile(1000);
  return *file;
}
std::mutex& log_guard() {
  static auto* guard = new std::mutex;
  return *guard;
}

}  // namespace

void close_library_log() {
  std::lock_guard lock(log_guard());
  log_file().close();
}

void library_log(const char* format, ...) {
  LibraryState& st = state();
  if (st.log_enabled.load() == 0) return;

  va_list args;
  va_start(args, format);
  const std::string line = time_text() + " : " + format_message(format, args) + "\n";
  va_end(args);

  // Without an installation root there is no log folder: the line is dropped
  // rather than written into whatever the current directory happens to be.
  const auto home = platform::get_env("AXIS2C_HOME");
  if (!home || home->empty()) return;
  const std::string folder = platform::join_path(*home, "bin");
  const std::string log_path = platform::join_path(folder, "BmcGate.log");
  const std::string backup_path = platform::join_path(folder, "ExBmcGate.log");

  platform::AppendFile* file = &log_file();
  std::lock_guard lock(log_guard());
  int lines = st.log_lines.load();
  if (lines == 0) {
    std::error_code ignored;
    std::filesystem::copy_file(log_path, backup_path,
                               std::filesystem::copy_options::overwrite_existing, ignored);
    std::ofstream(log_path, std::ios::binary | std::ios::trunc).close();
    file->recheck();
  }
  if (!file->append_whole(log_path, line).ok()) return;
  if (++lines > kLinesPerFile - 1) lines = 0;
  st.log_lines.store(lines);
}

void library_log_dump(const char* label, const uint8_t* bytes, size_t count) {
  if (state().log_enabled.load() == 0) return;
  char head[64];
  std::snprintf(head, sizeof(head), "    %s = %02zX : ", label, count);
  std::string line = head;
  for (size_t i = 0; bytes != nullptr && i < count; ++i) {
    char byte[4];
    std::snprintf(byte, sizeof(byte), "%02X ", bytes[i]);
    line += byte;
  }
  library_log("%s", line.c_str());
}

}  // namespace qma::bmcgate
