// Stands in for QMAzip and QMAunz in the launcher tests: appends its current folder and
// every argv entry (argv[0] too) to $QMA_FAKE_ARCHIVER_LOG, one per line, then exits
// with $QMA_FAKE_ARCHIVER_EXIT (default 0).
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

int main(int argc, char** argv) {
  const char* log = std::getenv("QMA_FAKE_ARCHIVER_LOG");
  if (log == nullptr) return 100;
  std::error_code ec;
  const std::u8string cwd = std::filesystem::current_path(ec).u8string();
  if (ec) return 101;
  std::ofstream out(log, std::ios::app);
  out << "cwd=" << std::string(cwd.begin(), cwd.end()) << "\n";
  for (int i = 0; i < argc; ++i) out << "[" << argv[i] << "]\n";
  const char* code = std::getenv("QMA_FAKE_ARCHIVER_EXIT");
  return code != nullptr ? std::atoi(code) : 0;
}
