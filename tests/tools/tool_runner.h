// Runs a built program as a child process in a chosen folder and environment, and keeps
// its exit status, standard output and standard error apart.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/program_run.h"
#include "support/temp_roots.h"

namespace qma::test {

struct ToolResult {
  int status = -1;  ///< exit code; 127 when the program could not be started
  std::string out;
  std::string err;
};

struct ToolEnvironment {
  std::vector<std::pair<std::string, std::string>> set;
  std::vector<std::string> unset;
};

/// Runs argv (argv[0] is the program path and the child's argv[0]) in `folder`, with this
/// process's environment changed for the child as `environment` says.
inline ToolResult run_tool(const std::vector<std::string>& argv,
                           const std::filesystem::path& folder = {},
                           const ToolEnvironment& environment = {}) {
  ToolResult result;
  auto capture = make_temp_dir("tool");
  auto out_path = capture / "out";
  auto err_path = capture / "err";
  std::vector<qma::platform::EnvironmentChange> changes;
  for (const auto& [name, value] : environment.set) changes.push_back({name, value});
  for (const auto& name : environment.unset) changes.push_back({name, std::nullopt});
  auto ran = qma::platform::run_program(argv.at(0), argv, path_text(folder),
                                        {"", path_text(out_path), path_text(err_path)}, changes);
  result.status = ran.ok() ? static_cast<int>(ran.value()) : 127;
  // Console programs write their lines in text mode.
  result.out = read_text_mode(out_path);
  result.err = read_text_mode(err_path);
  std::error_code ec;
  std::filesystem::remove_all(capture, ec);
  return result;
}

}  // namespace qma::test
