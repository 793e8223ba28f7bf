// A log writer for tests: records every line the code under test sends, fully formatted.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

namespace qma::test {

struct CapturedLine {
  std::string func;
  std::string file;
  int line = 0;
  std::string text;
};

class LogCapture {
 public:
  static LogCapture& instance() {
    static LogCapture capture;
    return capture;
  }
  void clear() {
    std::lock_guard lock(mutex_);
    lines_.clear();
  }
  std::vector<CapturedLine> lines() {
    std::lock_guard lock(mutex_);
    return lines_;
  }
  /// Only the formatted texts, in order.
  std::vector<std::string> texts() {
    std::vector<std::string> out;
    for (const auto& l : lines()) out.push_back(l.text);
    return out;
  }
  void add(CapturedLine line) {
    std::lock_guard lock(mutex_);
    lines_.push_back(std::move(line));
  }

 private:
  std::mutex mutex_;
  std::vector<CapturedLine> lines_;
};

/// Has the shape of the agent's log writers, so it can be handed to the XML query library.
inline int capture_log(const char* func, const char* file, int line, const char* format, ...) {
  va_list args;
  va_start(args, format);
  char text[4096];
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  LogCapture::instance().add({func ? func : "", file ? file : "", line, text});
  return 0;
}

}  // namespace qma::test
