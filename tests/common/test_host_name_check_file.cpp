// The host-name query and the file test that the logs and commands use.
#include <filesystem>
#include <string>

#include "common/host/qma_system.h"
#include "common/log/qma_log.h"
#include "common/log_test_support.h"
#include "platform/file.h"

namespace {

using qma::test::path_text;
namespace fs = std::filesystem;

TEST(HostName, FillsTheBufferOrLogsWhyNot) {
  qma::test::TempRoots roots;
  qma::log::reset_for_testing();
  const fs::path log_dir = roots.base() / "logs";
  fs::create_directories(log_dir);
  QMA_MUTEX_HANDLE holder = nullptr;
  ASSERT_EQ(QMA_InitializeForLogFile(path_text(log_dir).c_str(), 10000, &holder), 1);

  const std::string host = qma::test::this_host();
  ASSERT_FALSE(host.empty());
  char buffer[260] = {};
  EXPECT_EQ(QMA_Cmn_GetHostName(buffer, sizeof(buffer)), 1);
  EXPECT_EQ(std::string(buffer), host);

  // A buffer without room for the name and its terminator is a failure, logged once.
  char small[4] = {'x', 'x', 'x', 'x'};
  if (host.size() >= sizeof(small)) {
    EXPECT_EQ(QMA_Cmn_GetHostName(small, sizeof(small)), 0);
  }
  EXPECT_EQ(QMA_Cmn_GetHostName(nullptr, 10), 0);
  EXPECT_EQ(QMA_Cmn_GetHostName(buffer, 0), 0);

  const auto lines = qma::test::read_lines(log_dir / "QMAgent.log");
  const size_t failures = host.size() >= sizeof(small) ? 3 : 2;
  ASSERT_EQ(lines.size(), failures);
  for (const std::string& line : lines) {
    EXPECT_NE(line.find("[ERROR::QMA_Cmn_GetHostName(QMACommon("), std::string::npos) << line;
    EXPECT_NE(line.find("-----gethostname() error! WSAGetLastError=["), std::string::npos) << line;
  }
  QMA_FinalizeForLogFile(&holder);
  qma::log::reset_for_testing();
}

TEST(CheckFile, OnlyReadableFilesCount) {
  qma::test::TempRoots roots;
  const fs::path folder = roots.base() / "pkg";
  fs::create_directories(folder / "a_folder");
  qma::test::write_file(folder / "Result.xml", "<r/>");
  qma::test::write_file(folder / "empty.txt", "");
  struct Row {
    const char* name;
    std::string folder;
    const char* file;
    int expected;
  };
  // A real file whose path does not fit the 260-byte path buffer.
  const fs::path long_folder = folder / std::string(250 - folder.string().size(), 'd');
  fs::create_directories(long_folder);
  qma::test::write_file(long_folder / "Result.xml", "<r/>");
  // The path cut to 259 characters names another file that exists: still not the one asked for.
  const std::string cut = (long_folder / "Result.xml").string().substr(0, 259);
  ASSERT_NE(cut, (long_folder / "Result.xml").string());
  qma::test::write_file(cut, "<other/>");
  const std::string with_slash = folder.string() + qma::platform::kPathSeparator;
  const Row rows[] = {
      {"existing file", folder.string(), "Result.xml", 1},
      {"empty file", folder.string(), "empty.txt", 1},
      {"folder given with its separator", with_slash, "Result.xml", 1},
      {"name differing only in case", folder.string(), "result.XML", 1},
      {"missing file", folder.string(), "Get_version.xml", 0},
      {"a folder is not a file", folder.string(), "a_folder", 0},
      {"missing folder", (roots.base() / "nowhere").string(), "Result.xml", 0},
      {"path longer than the path buffer", long_folder.string(), "Result.xml", 0},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(QMA_Cmn_CheckFile(row.folder.c_str(), row.file), row.expected) << row.name;
  }
  EXPECT_EQ(QMA_Cmn_CheckFile(nullptr, nullptr), 0);
}

}  // namespace
