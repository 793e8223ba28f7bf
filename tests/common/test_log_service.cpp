// The service log: line shape, the fixed 10000-line rotation and a missing AXIS2C_HOME.
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "common/log/qma_log.h"
#include "common/log_test_support.h"

namespace {

namespace fs = std::filesystem;
using qma::test::path_text;
using qma::test::read_lines;

class ServiceLogTest : public ::testing::Test {
 protected:
  void SetUp() override { qma::log::reset_for_testing(); }
  void TearDown() override { qma::log::reset_for_testing(); }

  fs::path log_file() const { return roots_.bin() / "QMAgentService.log"; }
  fs::path backup_file() const { return roots_.bin() / "ExQMAgentService.log"; }

  qma::test::TempRoots roots_;
};

TEST_F(ServiceLogTest, LinesHaveTheExactShapeWithoutAThreadField) {
  QMA_SrvLogInfo("QMA_ServiceMain", "QMAService", 88, "QMA_ServiceMain() %s.", "start");
  QMA_SrvLogWarning("QMA_ServiceMain", "QMAService", 89, "value=[%d]", -5);
  QMA_SrvLogError("QMA_Initialize", "QMAService", 90, "RegCreateKeyEx() error! Error=[%d]", 5);
  std::vector<std::string> written = read_lines(log_file());
  ASSERT_EQ(written.size(), 3u);
  const std::string host = qma::test::regex_escape(qma::test::this_host());
  const char* expected[] = {
      R"(\[00001\]-TIME-<HOST>-\[INFO::QMA_ServiceMain\(QMAService\(88\)\)\]-----QMA_ServiceMain\(\) start\.-----)",
      R"(\[00002\]-TIME-<HOST>-\[WARNNING::QMA_ServiceMain\(QMAService\(89\)\)\]-----value=\[-5\]-----)",
      R"(\[00003\]-TIME-<HOST>-\[ERROR::QMA_Initialize\(QMAService\(90\)\)\]-----RegCreateKeyEx\(\) error! Error=\[5\]-----)",
  };
  for (size_t i = 0; i < 3; ++i) {
    std::string pattern =
        std::regex_replace(expected[i], std::regex("TIME"), qma::test::kTimeField);
    pattern = std::regex_replace(pattern, std::regex("HOST"), host) + "\n";
    EXPECT_TRUE(std::regex_match(written[i], std::regex(pattern))) << written[i];
  }
}

TEST_F(ServiceLogTest, RotatesAfter10000LinesWhateverTheAgentLogLimit) {
  struct Row {
    const char* name;
    int existing_lines;
    bool backup_exists;
    int next_sequence;
    bool rotates;
  };
  const Row rows[] = {
      {"full file, older backup replaced", 10000, true, 1, true},
      {"full file, no backup yet is no error", 10000, false, 1, true},
      {"one line short of full", 9999, true, 10000, false},
      {"short file, agent log limit 100 does not apply", 150, false, 151, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    qma::log::reset_for_testing();
    fs::remove(backup_file());
    const std::string old_log = qma::test::numbered_lines(row.existing_lines);
    qma::test::write_file(log_file(), old_log);
    if (row.backup_exists) qma::test::write_file(backup_file(), "older backup\n");
    // The agent log's own limit must not leak into the service log.
    QMA_MUTEX_HANDLE holder = nullptr;
    const fs::path agent_dir = roots_.base() / "agent-logs";
    fs::create_directories(agent_dir);
    ASSERT_EQ(QMA_InitializeForLogFile(path_text(agent_dir).c_str(), 100, &holder), 1);

    QMA_SrvLogInfo("f", "QMAService", 1, "new line");
    QMA_FinalizeForLogFile(&holder);

    std::vector<std::string> written = read_lines(log_file());
    ASSERT_FALSE(written.empty());
    EXPECT_EQ(written.back().substr(0, 7), qma::test::sequence_field(row.next_sequence));
    if (row.rotates) {
      EXPECT_EQ(written.size(), 1u);
      EXPECT_EQ(qma::test::read_text(backup_file()), old_log);
    } else {
      EXPECT_EQ(written.size(), static_cast<size_t>(row.existing_lines) + 1);
      EXPECT_EQ(fs::exists(backup_file()), row.backup_exists);
    }
  }
}

TEST_F(ServiceLogTest, LongMessageIsCutTo8191CharactersAndTheLineKeepsItsEnd) {
  const std::string message(10000, 'm');
  QMA_SrvLogInfo("f", "QMAService", 1, "%s", message.c_str());
  std::vector<std::string> written = read_lines(log_file());
  ASSERT_EQ(written.size(), 1u);
  const std::string& line = written[0];
  const size_t text_start = line.find(")]-----");
  ASSERT_NE(text_start, std::string::npos);
  EXPECT_EQ(line.substr(text_start + 7), std::string(8191, 'm') + "-----\n");
  EXPECT_EQ(line.substr(line.size() - 6), "-----\n");
}

TEST_F(ServiceLogTest, LineIsSkippedWithoutInstallationRootAndTheLogStartsOnceItIsSet) {
  qma::test::unset_env("AXIS2C_HOME");
  QMA_SrvLogError("f", "QMAService", 1, "no home");
  EXPECT_FALSE(fs::exists(log_file()));

  // A root whose bin folder leaves no room for the file names counts as none.
  const std::string base = roots_.base().string();
  ASSERT_LT(base.size(), 200u);
  const fs::path long_home = roots_.base() / std::string(240 - base.size() - 1, 'h');
  fs::create_directories(long_home / "bin");
  qma::test::set_env("AXIS2C_HOME", path_text(long_home));
  QMA_SrvLogError("f", "QMAService", 1, "root too long");
  EXPECT_TRUE(fs::is_empty(long_home / "bin"));

  qma::test::set_env("AXIS2C_HOME", path_text(roots_.home()));
  QMA_SrvLogError("f", "QMAService", 2, "home set");
  std::vector<std::string> written = read_lines(log_file());
  ASSERT_EQ(written.size(), 1u);
  EXPECT_EQ(written[0].substr(0, 7), "[00001]");
  EXPECT_NE(written[0].find("home set"), std::string::npos);
}

TEST_F(ServiceLogTest, MissingBinFolderLosesTheLineWithoutCountingIt) {
  fs::remove_all(roots_.bin());
  QMA_SrvLogInfo("f", "QMAService", 1, "lost");
  EXPECT_FALSE(fs::exists(roots_.bin()));
  fs::create_directories(roots_.bin());
  QMA_SrvLogInfo("f", "QMAService", 2, "kept");
  std::vector<std::string> written = read_lines(log_file());
  ASSERT_EQ(written.size(), 1u);
  EXPECT_EQ(written[0].substr(0, 7), "[00001]");
}

}  // namespace
