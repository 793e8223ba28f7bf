// The agent log on a full disk: a line is written whole or not at all, the numbering never
// repeats, and the first lost line is reported once on standard error. The disk is a small
// tmpfs mounted in a private mount namespace (unshare), so the host never fills up.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>

#include "common/log_test_support.h"
#include "hardening/hardening_support.h"

namespace {

namespace fs = std::filesystem;

int count(const std::string& text, const std::string& what) {
  int found = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
    ++found;
  }
  return found;
}

TEST(LogOnAFullDisk, LineIsWrittenWholeOrNotAtAllAndTheLossIsReportedOnce) {
  qma::test::TempRoots roots;
  fs::path disk = roots.base() / "disk";
  fs::path copy = roots.base() / "QMAgent.log";
  fs::create_directories(disk);
  auto run = qma::test::run_program(
      {"unshare", "--mount", "--propagation", "private", "--", "sh", "-c",
       "mount -t tmpfs -o size=64k qma-test-disk \"$1\" || exit 90; exec \"$2\" \"$1\" \"$3\"",
       "sh", disk.string(), qma::test::program_path("qma_test_log_disk_helper"), copy.string()},
      60000);
  // Never a pass without the full disk: without root there is no private mount namespace.
  ASSERT_NE(run.exit_code, 90) << "the tmpfs could not be mounted: " << run.err;
  ASSERT_EQ(run.exit_code, 0) << "a private mount namespace with a tmpfs is needed (run as root): "
                              << run.err;

  auto lines = qma::test::read_lines(copy);
  ASSERT_GE(lines.size(), 10u);
  const std::regex whole(std::string(R"(\[(\d{5})\]-)") + qma::test::kTimeField +
                         R"(-<[^<>\n]*>-<tid:\d+>-\[INFO::disk_helper\(QMATest\(\d+\)\)\]-----)"
                         R"((before|during|after) \d+ \.+-----\n)");
  int expected_number = 1;
  int after = 0;
  for (const auto& line : lines) {
    std::smatch match;
    ASSERT_TRUE(std::regex_match(line, match, whole)) << "a torn or glued line: " << line;
    EXPECT_EQ(std::stoi(match[1].str()), expected_number++) << "numbers never repeat or skip";
    if (match[2] == "after") ++after;
  }
  EXPECT_EQ(count(qma::test::read_text(copy), "-----before "), 5);
  EXPECT_EQ(after, 5);
  EXPECT_LT(lines.size(), 30u) << "some lines were lost while the disk was full";

  EXPECT_EQ(count(run.err,
                  "QMAgent.log: a log line could not be written (No space left on "
                  "device); lines are lost until writing works again\n"),
            1)
      << run.err;
  EXPECT_TRUE(std::regex_search(
      run.err, std::regex(R"(QMAgent\.log: writing works again; \d+ log line\(s\) were lost\n)")))
      << run.err;
}

}  // namespace
