// Steps of the stand-in update tool that only some systems have, registered by the file that
// implements them.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace qma::test {

/// One plan line split into words (words[0] is the step), and the tool's own argv.
struct ToolStep {
  const std::vector<std::string>& words;
  const std::vector<std::string>& args;
  /// The word at i, empty when the line is shorter.
  std::string arg(size_t i) const { return i < words.size() ? words[i] : std::string(); }
};

/// A step's work: 0 to go on with the plan, else the exit code the tool ends with.
using ToolStepFunction = int (*)(const ToolStep& step);

/// The steps registered besides the portable ones.
inline std::map<std::string, ToolStepFunction>& system_tool_steps() {
  static std::map<std::string, ToolStepFunction> steps;
  return steps;
}

/// Registers a step before main runs (one object per step at namespace scope).
struct ToolStepRegistration {
  ToolStepRegistration(const char* name, ToolStepFunction step) {
    system_tool_steps()[name] = step;
  }
};

/// Sleeps for ms milliseconds (nothing for 0 or less).
void sleep_ms(long ms);
/// Writes a file under a temporary name and renames it, so a reader never sees half of it.
bool write_whole(const std::string& path, const std::string& text);

}  // namespace qma::test
