// Helper of the full-disk check, run inside a private mount namespace on a small tmpfs:
// writes agent log lines before, while and after the disk is full, then copies the log
// out of the tmpfs. Usage: qma_test_log_disk_helper DISK COPY
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <string>

#include "common/log/qma_log.h"

namespace {

// Fills the file system of `path` to the last byte.
bool fill(const std::string& path) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  static char block[4096];
  while (::write(fd, block, sizeof block) > 0) {
  }
  while (::write(fd, block, 1) > 0) {
  }
  bool full = errno == ENOSPC;
  ::close(fd);
  return full;
}

void lines(const char* phase, int count, size_t width) {
  std::string padding(width, '.');
  for (int i = 1; i <= count; ++i) {
    QMA_LogInfo("disk_helper", "QMATest", i, "%s %d %s", phase, i, padding.c_str());
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s DISK COPY\n", argv[0]);
    return 2;
  }
  const std::string disk = argv[1];
  const std::string log_dir = disk + "/QMA_LOGROOT";
  std::filesystem::create_directories(log_dir);
  QMA_MUTEX_HANDLE holder = nullptr;
  if (QMA_InitializeForLogFile(log_dir.c_str(), 65535, &holder) != 1) return 3;
  lines("before", 5, 100);
  if (!fill(disk + "/filler")) return 4;
  lines("during", 20, 700);
  std::filesystem::remove(disk + "/filler");
  lines("after", 5, 100);
  QMA_FinalizeForLogFile(&holder);
  std::error_code error;
  std::filesystem::copy_file(log_dir + "/QMAgent.log", argv[2],
                             std::filesystem::copy_options::overwrite_existing, error);
  return error ? 5 : 0;
}
