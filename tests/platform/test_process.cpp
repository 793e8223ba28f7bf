// Child processes on every system: arguments and folder, exit codes, opening by id. The
// Linux process groups, signals and scripts are in test_process_linux.cpp.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/child_start.h"
#include "platform/process.h"
#include "support/temp_roots.h"

namespace qma::platform {
namespace {

namespace fs = std::filesystem;
using test::read_text;

using qma::test::kChild;
using qma::test::start;

class ProcessTest : public ::testing::Test {
 protected:
  test::TempRoots roots_;
};

TEST_F(ProcessTest, SpawnPassesSplitArgumentsAndCurrentFolder) {
  fs::path work = roots_.base() / "work dir";
  fs::create_directories(work);
  fs::path out = roots_.base() / "report.txt";
  // As the agent builds it: the program name in quotes, a blank, the parameter text.
  std::string line =
      "\"QMAGetVersion\" report " + test::path_text(out) + R"( "two words" a\"b "" last)";
  Process child = start(line, test::path_text(work));
  ASSERT_EQ(child.wait(10000), WaitStatus::kSignaled);
  EXPECT_EQ(child.exit_code(), 0u);
  std::vector<std::string> expected = {test::path_text(fs::canonical(work)),
                                       "QMAGetVersion",
                                       "report",
                                       test::path_text(out),
                                       "two words",
                                       "a\"b",
                                       "",
                                       "last"};
  EXPECT_EQ(test::split_lines(read_text(out)), expected);
}

TEST_F(ProcessTest, ExitCodesAreReported) {
  const struct {
    const char* line;
    uint32_t code;
  } cases[] = {{"child exit 0", 0}, {"child exit 3", 3}, {"child exit 255", 255}};
  for (const auto& c : cases) {
    Process child = start(c.line);
    ASSERT_EQ(child.wait(kInfinite), WaitStatus::kSignaled) << c.line;
    EXPECT_EQ(child.exit_code(), c.code) << c.line;
    // A second wait on an ended process answers at once.
    EXPECT_EQ(child.wait(0), WaitStatus::kSignaled) << c.line;
  }
}

TEST_F(ProcessTest, OpenedProcessCanBeWaitedFor) {
  Process child = start("child sleep 300");
  auto opened = Process::open(child.id());
  ASSERT_TRUE(opened.ok()) << opened.error();
  EXPECT_EQ(opened->id(), child.id());
  EXPECT_EQ(opened->wait(10000), WaitStatus::kSignaled);
  // The opened handle sees the end without taking the exit code from the one that started it.
  EXPECT_EQ(child.wait(10000), WaitStatus::kSignaled);
  EXPECT_EQ(child.exit_code(), 0u);
}

}  // namespace
}  // namespace qma::platform
