// Running a program to its end with its standard streams in files (POSIX backend).
//
// This folder is the only place that may include OS headers. Nothing here logs.
#include "platform/program_run.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>

#include <cerrno>
#include <string>
#include <vector>

#include "platform/error.h"

extern char** environ;

namespace qma::platform {

namespace {

/// The spawn's file actions, destroyed on every way out.
class FileActions {
 public:
  FileActions() : error_(posix_spawn_file_actions_init(&actions_)) {}
  ~FileActions() {
    if (error_ == 0) posix_spawn_file_actions_destroy(&actions_);
  }
  FileActions(const FileActions&) = delete;
  FileActions& operator=(const FileActions&) = delete;
  int init_error() const { return error_; }
  posix_spawn_file_actions_t* get() { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_;
  int error_;
};

/// The caller's environment with the changes applied, as NAME=VALUE entries.
std::vector<std::string> changed_environment(const std::vector<EnvironmentChange>& changes) {
  std::vector<std::string> entries;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text = *entry;
    const std::string name = text.substr(0, text.find('='));
    bool changed = false;
    for (const EnvironmentChange& change : changes) changed = changed || change.name == name;
    if (!changed) entries.push_back(text);
  }
  // The last change of a name is the one that holds.
  for (size_t i = 0; i < changes.size(); ++i) {
    bool later = false;
    for (size_t j = i + 1; j < changes.size(); ++j)
      later = later || changes[j].name == changes[i].name;
    if (!later && changes[i].value) entries.push_back(changes[i].name + "=" + *changes[i].value);
  }
  return entries;
}

}  // namespace

Result<uint32_t> run_program(std::string_view application_path,
                             const std::vector<std::string>& arguments,
                             std::string_view current_dir, const StandardFiles& files,
                             const std::vector<EnvironmentChange>& environment) {
  const std::string path(application_path);
  std::vector<std::string> args = arguments;
  if (args.empty()) args.push_back(path);
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);

  std::vector<std::string> entries = changed_environment(environment);
  std::vector<char*> envp;
  for (std::string& entry : entries) envp.push_back(entry.data());
  envp.push_back(nullptr);

  FileActions actions;
  int error = actions.init_error();
  const std::string dir(current_dir);
  // The files are opened before the folder changes, so relative names are the caller's.
  if (error == 0 && !files.input.empty()) {
    error = posix_spawn_file_actions_addopen(actions.get(), 0, files.input.c_str(), O_RDONLY, 0);
  }
  if (error == 0 && !files.output.empty()) {
    error = posix_spawn_file_actions_addopen(actions.get(), 1, files.output.c_str(),
                                             O_WRONLY | O_CREAT | O_TRUNC, 0600);
  }
  if (error == 0 && !files.error.empty() && files.error == files.output) {
    error = posix_spawn_file_actions_adddup2(actions.get(), 1, 2);
  } else if (error == 0 && !files.error.empty()) {
    error = posix_spawn_file_actions_addopen(actions.get(), 2, files.error.c_str(),
                                             O_WRONLY | O_CREAT | O_TRUNC, 0600);
  }
  if (error == 0 && !dir.empty()) {
    error = posix_spawn_file_actions_addchdir_np(actions.get(), dir.c_str());
  }
  pid_t pid = -1;
  if (error == 0) {
    error = posix_spawn(&pid, path.c_str(), actions.get(), nullptr, argv.data(),
                        environment.empty() ? environ : envp.data());
  }
  if (error != 0) {
    set_last_error(error);
    return Result<uint32_t>::failure(error);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) {
      error = errno;
      set_last_error(error);
      return Result<uint32_t>::failure(error);
    }
  }
  if (WIFSIGNALED(status)) return 128u + static_cast<uint32_t>(WTERMSIG(status));
  return static_cast<uint32_t>(WEXITSTATUS(status));
}

}  // namespace qma::platform
