// Formatting, counting and appending shared by the agent log and the service log.
#include "common/log/log_line.h"

#include <cstdio>
#include <cstring>
#include <string_view>

#include "common/control_text.h"
#include "platform/file.h"

namespace qma::log {

void format_text(char* buffer, size_t size, const char* format, va_list args) {
  if (size == 0) return;
  // Only the text up to its terminator is ever used, so the rest is not cleared first.
  buffer[0] = '\0';
  if (format == nullptr) return;
  // The arguments carry texts of requests, packages and tools: a line break or other control
  // character among them would forge a line of its own, so each is shown as an escape.
  char raw[kAgentTextSize > kServiceTextSize ? kAgentTextSize : kServiceTextSize];
  if (std::vsnprintf(raw, size < sizeof raw ? size : sizeof raw, format, args) < 0) return;
  common::control_escape_into(raw, buffer, size);
}

size_t finish_line(char* buffer, size_t size, int formatted) {
  if (formatted < 0) return 0;
  const size_t limit = size - 1;
  if (static_cast<size_t>(formatted) < limit) return static_cast<size_t>(formatted);
  buffer[limit - 1] = '\n';
  buffer[limit] = '\0';
  return limit;
}

int count_lines(const char* path, int limit) {
  std::FILE* file = std::fopen(path, "r");
  if (file == nullptr) return 0;
  char chunk[kCountReadSize];
  int lines = 0;
  while (lines < limit && std::fgets(chunk, sizeof(chunk), file) != nullptr) ++lines;
  std::fclose(file);
  return lines;
}

namespace {

bool report_append(const char* path, const platform::Status& written, LineLoss& loss) {
  if (!written.ok()) {
    // The log itself cannot say it; standard error reaches the service manager's log.
    if (loss.lost++ == 0) {
      std::fprintf(stderr,
                   "%s: a log line could not be written (%s); lines are lost until writing "
                   "works again\n",
                   path, std::strerror(written.error()));
      std::fflush(stderr);
    }
    return false;
  }
  if (loss.lost > 0) {
    std::fprintf(stderr, "%s: writing works again; %d log line(s) were lost\n", path, loss.lost);
    std::fflush(stderr);
    loss.lost = 0;
  }
  return true;
}

}  // namespace

bool append_line(platform::AppendFile& file, const char* path, const char* line, size_t length,
                 LineLoss& loss) {
  // Lines end in "\n" alone: on this platform text files carry no carriage return.
  return report_append(path, file.append_whole(path, std::string_view(line, length)), loss);
}

bool build_path(char (&out)[kPathSize], const char* folder, const char* name) {
  std::memset(out, 0, sizeof(out));
  const char* dir = or_empty(folder);
  size_t dir_length = std::strlen(dir);
  const char separator[2] = {dir_length > 0 && dir[dir_length - 1] == platform::kPathSeparator
                                 ? '\0'
                                 : platform::kPathSeparator,
                             '\0'};
  const int length = std::snprintf(out, sizeof(out), "%s%s%s", dir, separator, or_empty(name));
  return length >= 0 && static_cast<size_t>(length) < sizeof(out);
}

}  // namespace qma::log
