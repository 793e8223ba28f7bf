// What the agent log and the service log share: texts cut to the logs' limits,
// line counting and appending.
#pragma once

#include <cstdarg>
#include <cstddef>

#include "platform/file.h"

namespace qma::log {

/// Buffer widths (bytes, terminator included) of the two logs.
inline constexpr size_t kAgentTextSize = 9216;
inline constexpr size_t kAgentLineSize = 8192;
inline constexpr size_t kServiceTextSize = 8192;
inline constexpr size_t kServiceLineSize = 9216;
inline constexpr size_t kPathSize = 260;
/// Existing lines are counted by reads of at most 9215 characters each.
inline constexpr int kCountReadSize = 9216;

inline const char* or_empty(const char* text) {
  return text != nullptr ? text : "";
}

/// Formats the caller's message into a buffer of `size` bytes, cut silently at size - 1.
void format_text(char* buffer, size_t size, const char* format, va_list args);

/// Length of a line that snprintf formatted into `size` bytes (its result is
/// `formatted`). A line that fills the whole limit gets a newline as its last
/// character, so every line in a file ends with one. 0 when formatting failed.
size_t finish_line(char* buffer, size_t size, int formatted);

/// Lines in a file, one per read of at most 9215 characters, stopping at limit;
/// 0 when the file cannot be opened.
int count_lines(const char* path, int limit);

/// Lines of one log that could not be written since the last line that was.
struct LineLoss {
  int lost = 0;
};

/// Appends the line to the file at path, through the log's kept descriptor, as a whole; true when
/// every byte reached the file. A line that does not fit (a full disk) leaves nothing behind, so
/// the next line never joins a torn one. The first line lost is reported once on standard error,
/// and how many were lost once writing works again.
bool append_line(platform::AppendFile& file, const char* path, const char* line, size_t length,
                 LineLoss& loss);

/// folder, the path separator and name, cut to the 260-byte path buffer. The
/// separator is not doubled when the folder already ends with one. False when
/// the path was cut: a cut path names another file, so callers do not use it
/// (as a path past the system's length limit cannot be opened).
bool build_path(char (&out)[kPathSize], const char* folder, const char* name);

/// Forgets the service log's folder and counter (reset_for_testing does both logs).
void reset_service_log_for_testing();

}  // namespace qma::log
