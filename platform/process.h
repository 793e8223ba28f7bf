// Child processes: start a program with a Windows-style command line, wait, kill.
#pragma once

#include <cerrno>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/named_mutex.h"
#include "platform/result.h"

namespace qma::platform {

/// The error of a program start refused before the system is asked, because its path or
/// command line does not fit: ERROR_FILENAME_EXCED_RANGE (206) on Windows, ENAMETOOLONG on Linux.
#ifdef _WIN32
inline constexpr int kErrorNameTooLong = 206;
#else
inline constexpr int kErrorNameTooLong = ENAMETOOLONG;
#endif
/// The error Process::open gives for an id no running process has: 87 (invalid parameter)
/// on Windows, ESRCH on Linux.
#ifdef _WIN32
inline constexpr int kErrorNoSuchProcess = 87;
#else
inline constexpr int kErrorNoSuchProcess = ESRCH;
#endif

/// Splits a command line into arguments by the Windows rules: white space
/// separates, double quotes group, 2n backslashes before a quote give n
/// backslashes and a quote that groups, 2n+1 give n backslashes and a literal
/// quote, "" inside quotes is a literal quote. The first argument (the program)
/// ends at the next space or closing quote and takes backslashes literally.
std::vector<std::string> split_command_line(std::string_view command_line);

/// A started or opened process. Destroying it never kills the process; a
/// child that ends is always reaped.
class Process {
 public:
  Process(Process&&) noexcept;
  Process& operator=(Process&&) noexcept;
  ~Process();

  /// Starts application_path with the arguments of command_line (its first
  /// argument becomes argv[0]) in current_dir, in a process group of its own,
  /// never through a shell.
  /// On Windows: CreateProcessW with the command line as given, in a job object of its own.
  [[nodiscard]] static Result<Process> spawn(std::string_view application_path,
                                             std::string_view command_line,
                                             std::string_view current_dir);
  /// Opens a running process by id; fails when it no longer exists.
  /// On Windows: fails with 87 (invalid parameter) for an id no running process has.
  [[nodiscard]] static Result<Process> open(uint32_t pid);

  uint32_t id() const;
  /// kSignaled when the process has ended, kTimeout when it still runs after
  /// timeout_ms (kInfinite: no limit), kFailed on error.
  [[nodiscard]] WaitStatus wait(uint32_t timeout_ms);
  /// The exit code once ended (128 + signal number for a killed child); 259
  /// (still active) before.
  /// On Windows: 1 for a process that a kill ended, as `taskkill /F` leaves it.
  uint32_t exit_code() const;
  /// Kills the process and every process of its group.
  [[nodiscard]] Status kill_tree();

 private:
  struct Impl;
  explicit Process(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

/// The file name ending of a script that `run_script` runs (the system's batch files).
extern const char* const kScriptExtension;
/// The exit code that a program's `return -1` from main leaves to its parent: -1 on Windows,
/// where exit codes have 32 bits, 255 elsewhere, where only the low 8 bits are kept.
#ifdef _WIN32
inline constexpr int kExitCodeOfMinusOne = -1;
#else
inline constexpr int kExitCodeOfMinusOne = 255;
#endif
/// The file name ending of an installed program: ".exe" on Windows, where a program started
/// by its path must be named with it; none elsewhere.
#ifdef _WIN32
inline constexpr const char* kProgramExtension = ".exe";
#else
inline constexpr const char* kProgramExtension = "";
#endif

/// Runs a script with /bin/sh and waits for it, as the C library's system() runs
/// a batch file. Returns the shell's exit status, or -1 when it could not run.
/// On Windows: system("\"\"path\"\"") of a .bat file, through cmd.exe.
int run_script(std::string_view script_path);

/// Starts a script (a batch file) in a folder, as `run_script` runs one, without
/// waiting for it.
/// On Windows: %ComSpec% with the command line cmd.exe /C "path".
[[nodiscard]] Result<Process> spawn_script(std::string_view script_path, std::string_view folder);

/// Kills a process group by the id of its leader (the tool's process id).
/// On Windows: the job of that id when the process is in it, else the process alone.
[[nodiscard]] Status kill_process_tree(uint32_t pid);

/// Kills one process and nothing it started (on Linux: SIGKILL), as a crash ends it.
/// On Windows: TerminateProcess with exit code 1.
[[nodiscard]] Status kill_process(uint32_t pid);

/// A mark that tells a running process apart from a later one that gets the
/// same id; 0 when no process has the id. On Linux: its start time after boot
/// in clock ticks (/proc/PID/stat). On Windows: its creation time (GetProcessTimes).
uint64_t process_start_mark(uint32_t pid);

/// Kills whatever still runs in the process group `group` (named by the id of
/// the leader that started it, which may have ended), never the caller's own
/// group. True when some process was there and was killed.
/// On Windows: the job named after the leader's id, alive while any process holds its handle.
[[nodiscard]] Result<bool> kill_process_group(uint32_t group);

/// The id of the calling process.
uint32_t current_process_id();

}  // namespace qma::platform
