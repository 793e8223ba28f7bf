// Stands in for QMAzip and QMAunz in the launcher tests: appends its current folder and
// every argv entry (argv[0] too) to $QMA_FAKE_ARCHIVER_LOG, one per line, then exits
// with $QMA_FAKE_ARCHIVER_EXIT (default 0).
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <fstream>

int main(int argc, char** argv) {
  const char* log = std::getenv("QMA_FAKE_ARCHIVER_LOG");
  if (log == nullptr) return 100;
  char cwd[PATH_MAX];
  if (getcwd(cwd, sizeof cwd) == nullptr) return 101;
  std::ofstream out(log, std::ios::app);
  out << "cwd=" << cwd << "\n";
  for (int i = 0; i < argc; ++i) out << "[" << argv[i] << "]\n";
  const char* code = std::getenv("QMA_FAKE_ARCHIVER_EXIT");
  return code != nullptr ? std::atoi(code) : 0;
}
