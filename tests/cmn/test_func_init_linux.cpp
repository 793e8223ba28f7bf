// QMA_FuncInit refusing a broken installation: a copy of this program in a folder of its own,
// which its run path makes the whole library search path on Linux.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "common/qma_funcinit.h"
#include "support/temp_roots.h"

namespace {

namespace fs = std::filesystem;

std::string g_self;

constexpr const char* kChildFlag = "--func-init-child";
constexpr int kChildBindFailed = 3;

// Runs a copy of this program in its own folder, so that the library search path (the
// program's folder) holds only what the case puts there.
int run_copy_in(const fs::path& folder) {
  const fs::path copy = folder / "func_init_child";
  fs::copy_file(g_self, copy);
  const std::string command = "env -u LD_LIBRARY_PATH '" + copy.string() + "' " + kChildFlag;
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(FuncInit, RefusesAMissingLibraryOrAMissingExport) {
  struct Case {
    const char* name;
    const char* library;  // copied beside the program as libQMAgentSub.so, or none
    int exit_code;
  };
  const std::vector<Case> cases = {
      {"library_absent", nullptr, kChildBindFailed},
      {"export_missing", QMA_TEST_PARTIAL_XMLSUB, kChildBindFailed},
      {"complete_installation", QMA_TEST_XMLSUB, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    qma::test::TempRoots roots;
    if (c.library != nullptr) fs::copy_file(c.library, roots.bin() / "libQMAgentSub.so");
    EXPECT_EQ(run_copy_in(roots.bin()), c.exit_code);
  }
}

}  // namespace

int main(int argc, char** argv) {
  g_self = fs::canonical("/proc/self/exe").string();
  if (argc > 1 && std::strcmp(argv[1], kChildFlag) == 0) {
    return QMA_FuncInit() == 0 ? 0 : kChildBindFailed;
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
