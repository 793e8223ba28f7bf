// A child program for the process tests; its first argument chooses what it does.
//
//   sleep MS                   sleep, then exit 0
//   exit CODE                  exit with CODE
//   report FILE [ARG...]       write the current folder and then every argv entry, one per line
//   fds FILE                   write the numbers of open descriptors above 2, one per line
//   tree PIDFILE MS [detach]   start a grandchild that sleeps MS (in a new session with
//                              "detach"), write its id to PIDFILE, then sleep MS
#include <dirent.h>
#include <limits.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

namespace {

void sleep_for(long ms) {
  usleep(static_cast<useconds_t>(ms) * 1000);
}

// Written under a temporary name and renamed, so a reader never sees half a file.
bool write_file(const std::string& path, const std::string& text) {
  std::string temp = path + ".part";
  {
    std::ofstream out(temp, std::ios::binary);
    out << text;
    if (!out) return false;
  }
  return std::rename(temp.c_str(), path.c_str()) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 100;
  std::string verb = argv[1];
  if (verb == "sleep" && argc >= 3) {
    sleep_for(std::atol(argv[2]));
    return 0;
  }
  if (verb == "exit" && argc >= 3) return std::atoi(argv[2]);
  if (verb == "report" && argc >= 3) {
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd) == nullptr) return 101;
    std::string text = std::string(cwd) + "\n";
    for (int i = 0; i < argc; ++i) text += std::string(argv[i]) + "\n";
    return write_file(argv[2], text) ? 0 : 102;
  }
  if (verb == "fds" && argc >= 3) {
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) return 103;
    std::string text;
    while (dirent* entry = readdir(dir)) {
      if (entry->d_name[0] == '.') continue;
      int fd = std::atoi(entry->d_name);
      if (fd > 2 && fd != dirfd(dir)) text += std::string(entry->d_name) + "\n";
    }
    closedir(dir);
    return write_file(argv[2], text) ? 0 : 104;
  }
  if (verb == "tree" && argc >= 4) {
    long ms = std::atol(argv[3]);
    bool detach = argc >= 5 && std::strcmp(argv[4], "detach") == 0;
    pid_t pid = fork();
    if (pid < 0) return 105;
    if (pid == 0) {
      if (detach) setsid();
      execl("/proc/self/exe", argv[0], "sleep", argv[3], static_cast<char*>(nullptr));
      _exit(106);
    }
    if (!write_file(argv[2], std::to_string(pid) + "\n")) return 107;
    sleep_for(ms);
    return 0;
  }
  return 100;
}
