// moxControlAgents: runs StartAgent.sh or StopAgent.sh of every agent installed under
// AXIS2C_HOME/bin/AgentFolder, one after another, and stops at the first problem.
#include <cstdio>
#include <string>
#include <string_view>

#include "platform/file.h"
#include "platform/process.h"

namespace {

constexpr int kExitFailed = -1;
constexpr uint32_t kScriptTimeLimitMs = 1800 * 1000;

void usage(const char* argv0) {
  std::string_view program = argv0 != nullptr ? argv0 : "moxControlAgents";
  program = program.substr(program.find_last_of(qma::platform::kPathSeparators) + 1);
  std::printf("%.*s ( %s | %s ) %s\n", static_cast<int>(program.size()), program.data(), "-start",
              "-stop", "AXIS2C_HOME");
  std::printf("%s%s\n", "-start", ":Start of agents");
  std::printf("%s%s\n", "-stop", ":Stop of agents");
  std::printf("%s%s\n", "AXIS2C_HOME", ":Path of environment value \"AXIS2C_HOME\"");
  std::printf("%s%s\n", "There is no parameter appointment", ":Indication of Usage");
}

}  // namespace

int main(int argc, char** argv) {
  std::string_view action = argc >= 2 ? argv[1] : "";
  if (argc < 3 || (action != "-start" && action != "-stop")) {
    usage(argc > 0 ? argv[0] : nullptr);
    return kExitFailed;
  }
  const std::string script = std::string(action == "-start" ? "StartAgent" : "StopAgent") +
                             qma::platform::kScriptExtension;
  std::string agents =
      qma::platform::join_path(qma::platform::join_path(argv[2], "bin"), "AgentFolder");
  auto listing = qma::platform::list_directory(agents, "*");
  if (!listing.ok()) {
    std::fprintf(stderr, "フォルダ \"%s\" が存在しません.\n", agents.c_str());
    return kExitFailed;
  }
  for (const auto& entry : listing.value()) {
    if (entry.name == "." || entry.name == "..") continue;
    // Entries are not tested for being folders: a plain file has no script and stops the run.
    std::string folder = qma::platform::join_path(agents, entry.name);
    std::string path = qma::platform::join_path(folder, script);
    if (!qma::platform::file_readable(path)) {
      std::fprintf(stderr, "バッチファイル \"%s\" が存在しません.\n", path.c_str());
      return kExitFailed;
    }
    auto process = qma::platform::spawn_script(path, folder);
    if (!process.ok()) {
      std::fprintf(stderr, "バッチファイル \"%s\" の実行に失敗しました.\n", path.c_str());
      return kExitFailed;
    }
    auto waited = process->wait(kScriptTimeLimitMs);
    if (waited == qma::platform::WaitStatus::kTimeout ||
        waited == qma::platform::WaitStatus::kFailed) {
      std::fprintf(stderr, "バッチファイル \"%s\" の実行待ちがタイムアウトしました.\n",
                   path.c_str());
      return kExitFailed;
    }
  }
  return 0;
}
