// Texts of requests, packages and tools reach the logs with their control characters escaped:
// a carriage return or line break in them never shows up as a line of the log's own.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "common/log/log_line.h"
#include "common/log/qma_log.h"
#include "hardening/hardening_support.h"
#include "manager_if/agent_harness.h"
#include "tools/zip_builder.h"

namespace {

namespace fs = std::filesystem;
using qma::test::answer_text;
using qma::test::exchange;
using qma::test::read_text;
using qma::test::request_frame;
using qma::test::request_xml;
using qma::test::split_lines;

class ForgedLogLines : public ::testing::Test {
 protected:
  qma::test::InProcessAgent agent_;
};

TEST_F(ForgedLogLines, ControlCharactersOfLoggedTextsAreEscapesInBothLogs) {
  struct Row {
    std::string text, shown;
  };
  const std::vector<Row> rows = {
      {"name\r[00002]-2026/01/01 00:00:00.000-<h>-forged",
       "name\\r[00002]-2026/01/01 00:00:00.000-<h>-forged"},
      {"a\nb\r\nc", "a\\nb\\r\\nc"},
      {"tab\there", "tab\\there"},
      {"nul\x01"
       "bell\x07"
       "esc\x1b[2Jdel\x7f",
       "nul\\x01bell\\x07esc\\x1B[2Jdel\\x7F"},
      // Backslashes and UTF-8 texts stay as they are.
      {"C:\\pkg\\x41 モジュール", "C:\\pkg\\x41 モジュール"},
  };
  const size_t before = split_lines(agent_.log()).size();
  for (const Row& row : rows) QMA_LogError("Test", "QMAProc", 1, "Entry=[%s]", row.text.c_str());
  std::string log = agent_.log();
  std::vector<std::string> lines = split_lines(log);
  ASSERT_EQ(lines.size(), before + rows.size()) << log;
  for (size_t i = 0; i < rows.size(); ++i) {
    const std::string& line = lines[before + i];
    EXPECT_EQ(line.rfind("[", 0), 0u) << line;
    EXPECT_NE(line.find("-----Entry=[" + rows[i].shown + "]-----"), std::string::npos) << line;
  }
  EXPECT_EQ(log.find('\r'), std::string::npos);

  // The service log: a text of line breaks is cut at whole escapes within its 8191 characters.
  qma::log::reset_service_log_for_testing();
  QMA_SrvLogWarning("Test", "QMAService", 2, "Tool said [%s]", "ok\r\nforged");
  QMA_SrvLogInfo("Test", "QMAService", 3, "%s", std::string(5000, '\n').c_str());
  const std::string service_log = read_text(agent_.roots_.bin() / "QMAgentService.log");
  EXPECT_NE(service_log.find("-----Tool said [ok\\r\\nforged]-----\n"), std::string::npos)
      << service_log;
  std::string escapes;
  for (int i = 0; i < 4095; ++i) escapes += "\\n";
  EXPECT_NE(service_log.find("-----" + escapes + "-----\n"), std::string::npos);
  for (const std::string& line : split_lines(service_log)) {
    EXPECT_EQ(line.rfind("[", 0), 0u) << "a line of its own: " << line;
  }
}

TEST_F(ForgedLogLines, RequestFieldsAreLoggedEscaped) {
  agent_.start();
  // XML gives a carriage return and a line break through character references.
  auto reply = exchange(request_frame(request_xml("0", "M&#13;&#10;[F9]-x")));
  EXPECT_NE(answer_text(reply.answer).find("<Status>600</Status>"), std::string::npos);
  agent_.stop();
  std::string log = agent_.log();
  EXPECT_NE(log.find("MsgID=[M\\r\\n[F9]-x]"), std::string::npos) << log;
  EXPECT_EQ(log.find('\r'), std::string::npos);
  for (const std::string& line : split_lines(log)) {
    EXPECT_NE(line.rfind("[F9]", 0), 0u) << "a forged line: " << line;
  }
}

TEST_F(ForgedLogLines, ARefusedPackageEntryNameIsLoggedEscaped) {
  for (const char* name : {"QMZipControl", "QMAzip", "QMAunz"}) {
    fs::copy_file(qma::test::program_path(name), agent_.roots_.bin() / name);
  }
  // The upload lies in the agent's own upload folder, where the communication service drops it.
  const fs::path drop = agent_.roots_.state() / "upload";
  fs::create_directories(drop);
  agent_.start();
  // The archiver refuses the entry for its ".." and names it in its reason.
  ASSERT_TRUE(qma::test::write_zip(drop / "pkg.zip",
                                   {{"../x\r[F0042]-2026/01/01 00:00:00.000-forged", "data"}}));
  std::string data = "<FileName>pkg.zip</FileName><ModuleID>01000000</ModuleID>";
  auto reply =
      exchange(request_frame(request_xml("2", "R", "2.0", data), "pkg.zip", drop.string()));
  EXPECT_NE(answer_text(reply.answer).find("<Status>600</Status>"), std::string::npos);
  agent_.stop();
  std::string log = agent_.log();
  EXPECT_NE(log.find("'../x\\r[F0042]-2026/01/01 00:00:00.000-forged' climbs out"),
            std::string::npos)
      << log;
  EXPECT_EQ(log.find('\r'), std::string::npos);
  for (const std::string& line : split_lines(log)) {
    EXPECT_NE(line.rfind("[F0042]", 0), 0u) << "a forged line: " << line;
  }
}

}  // namespace
