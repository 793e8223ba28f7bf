// Running a program to its end with its standard streams in files.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/result.h"

namespace qma::platform {

/// Files that become a program's standard streams; an empty path leaves the caller's stream.
struct StandardFiles {
  std::string input;   ///< opened for reading
  std::string output;  ///< created or emptied
  std::string error;   ///< created or emptied; the output's path shares its stream (2>&1)
};

/// A variable of the program's environment that differs from the caller's: a value, or
/// nullopt for none.
struct EnvironmentChange {
  std::string name;
  std::optional<std::string> value;
};

/// Runs application_path with `arguments` (the first becomes the program's own name) in
/// current_dir (empty: the caller's folder), never through a shell, with the caller's
/// environment changed as `environment` says, and waits for its end. Returns the exit code;
/// fails when the program cannot be started. On Linux a program that a signal ended gives
/// 128 + the signal number; on Windows the arguments are quoted into one command line by the
/// Windows rules and variable names compare without case.
[[nodiscard]] Result<uint32_t> run_program(std::string_view application_path,
                                           const std::vector<std::string>& arguments,
                                           std::string_view current_dir,
                                           const StandardFiles& files = {},
                                           const std::vector<EnvironmentChange>& environment = {});

}  // namespace qma::platform
