// The process tests' child verbs that need Linux: open descriptors and process trees.
#include <dirent.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "child_helper.h"

namespace qma::test {
namespace {

int list_descriptors(int argc, char** argv) {
  if (argc < 3) return 100;
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return 103;
  std::string text;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    int fd = std::atoi(entry->d_name);
    if (fd > 2 && fd != dirfd(dir)) text += std::string(entry->d_name) + "\n";
  }
  closedir(dir);
  return write_file_whole(argv[2], text) ? 0 : 104;
}

int start_tree(int argc, char** argv) {
  if (argc < 4) return 100;
  long ms = std::atol(argv[3]);
  bool detach = argc >= 5 && std::strcmp(argv[4], "detach") == 0;
  pid_t pid = fork();
  if (pid < 0) return 105;
  if (pid == 0) {
    if (detach) setsid();
    execl("/proc/self/exe", argv[0], "sleep", argv[3], static_cast<char*>(nullptr));
    _exit(106);
  }
  if (!write_file_whole(argv[2], std::to_string(pid) + "\n")) return 107;
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  return 0;
}

const ChildVerbRegistration kDescriptors("fds", list_descriptors);
const ChildVerbRegistration kTree("tree", start_tree);

}  // namespace
}  // namespace qma::test
