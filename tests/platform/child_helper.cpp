// A child program for the process tests; its first argument chooses what it does.
//
//   sleep MS                   sleep, then exit 0
//   exit CODE                  exit with CODE
//   report FILE [ARG...]       write the current folder and then every argv entry, one per line
//
// On Linux also (child_helper_linux.cpp):
//   fds FILE                   write the numbers of open descriptors above 2, one per line
//   tree PIDFILE MS [detach]   start a grandchild that sleeps MS (in a new session with
//                              "detach"), write its id to PIDFILE, then sleep MS
#include "child_helper.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <thread>

namespace qma::test {

bool write_file_whole(const std::string& path, const std::string& text) {
  std::string temp = path + ".part";
  {
    std::ofstream out(temp, std::ios::binary);
    out << text;
    if (!out) return false;
  }
  std::error_code ec;
  std::filesystem::rename(temp, path, ec);
  return !ec;
}

}  // namespace qma::test

int main(int argc, char** argv) {
  if (argc < 2) return 100;
  std::string verb = argv[1];
  if (verb == "sleep" && argc >= 3) {
    std::this_thread::sleep_for(std::chrono::milliseconds(std::atol(argv[2])));
    return 0;
  }
  if (verb == "exit" && argc >= 3) return std::atoi(argv[2]);
  if (verb == "report" && argc >= 3) {
    std::error_code ec;
    const std::u8string cwd = std::filesystem::current_path(ec).u8string();
    if (ec) return 101;
    std::string text = std::string(cwd.begin(), cwd.end()) + "\n";
    for (int i = 0; i < argc; ++i) text += std::string(argv[i]) + "\n";
    return qma::test::write_file_whole(argv[2], text) ? 0 : 102;
  }
  auto found = qma::test::system_child_verbs().find(verb);
  if (found != qma::test::system_child_verbs().end()) return found->second(argc, argv);
  return 100;
}
