// QMZipControl: starts the archiver installed beside it, QMAunz to unpack ("-u") or
// QMAzip to pack ("-c"), hands it the remaining arguments and waits for it to end.
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>

#include "platform/command_line.h"
#include "platform/environment.h"
#include "platform/error.h"
#include "platform/file.h"
#include "platform/process.h"

namespace {

constexpr int kExitArgumentCount = 1;
constexpr int kExitNoHome = 2;
constexpr int kExitMode = 3;
constexpr int kExitCurrentDir = 4;
constexpr int kExitStart = 5;
constexpr int kExitWait = 6;

constexpr size_t kPathBuffer = 260;
constexpr size_t kArgumentBuffer = 8192;
// The error a missing environment variable gives where this tool was designed.
constexpr int kErrorEnvironmentVariableNotFound = 203;

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::printf("argment error : %d\n", argc);
    return kExitArgumentCount;
  }
  auto home = qma::platform::get_nonempty_env("AXIS2C_HOME");
  if (!home) {
    std::printf("getenv error : %d\n", kErrorEnvironmentVariableNotFound);
    return kExitNoHome;
  }
  std::string_view mode = argv[1];
  const char* archiver = nullptr;
  std::string arguments;
  if (mode == "-u") {
    archiver = "QMAunz";
    arguments = "-x -o";
  } else if (mode == "-c") {
    archiver = "QMAzip";
    arguments = "-o";
  } else {
    std::printf("argment error : %s\n", argv[1]);
    return kExitMode;
  }
  std::string program =
      qma::platform::join_path(qma::platform::join_path(*home, "bin"),
                               archiver + std::string(qma::platform::kProgramExtension));
  // Every further argument reaches the archiver as one word, whatever it holds.
  for (int i = 2; i < argc; ++i) {
    std::string word = " " + qma::platform::quote_argument(argv[i]);
    if (arguments.size() + word.size() >= kArgumentBuffer) {
      std::printf("argment error : %s\n", argv[i]);
      return kExitArgumentCount;
    }
    arguments += word;
  }
  std::error_code error;
  std::string current = std::filesystem::current_path(error).string();
  if (!error && current.size() >= kPathBuffer) error.assign(ENAMETOOLONG, std::generic_category());
  if (error) {
    std::printf("GetCurrentDirectory error : %d\n", error.value());
    return kExitCurrentDir;
  }
  std::printf("cmdbuf : %s, argbuf : %s, curdir : %s\n", program.c_str(), arguments.c_str(),
              current.c_str());
  std::fflush(stdout);
  // A program path that does not fit the path buffer is never started cut short.
  if (program.size() >= kPathBuffer) {
    std::printf("CreateProcess error : %d\n", ENAMETOOLONG);
    return kExitStart;
  }
  auto process = qma::platform::Process::spawn(program, arguments, current);
  if (!process.ok()) {
    std::printf("CreateProcess error : %d\n", process.error());
    return kExitStart;
  }
  if (process->wait(qma::platform::kInfinite) == qma::platform::WaitStatus::kFailed) {
    std::printf("WaitForSingleObject error : %d\n", qma::platform::last_error());
    return kExitWait;
  }
  return 0;
}
