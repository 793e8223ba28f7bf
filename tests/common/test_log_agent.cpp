// The agent log: line shape, limits, line counting, rotation and the log mutex.
#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "common/agent_log_fixture.h"
#include "common/log/qma_log.h"
#include "common/log_test_support.h"
#include "platform/clock.h"
#include "platform/named_mutex.h"

namespace {

namespace fs = std::filesystem;
using qma::platform::NamedMutex;
using qma::platform::WaitStatus;
using qma::test::path_text;
using qma::test::read_lines;
using qma::test::regex_escape;

using qma::test::AgentLogTest;
using qma::test::sequence_of;

TEST_F(AgentLogTest, LinesHaveTheExactShapeForEachSeverity) {
  initialise(10000);
  struct Row {
    QMA_LOG_FUNC writer;
    const char* word;
  };
  const Row rows[] = {{QMA_LogInfo, "INFO"}, {QMA_LogWarning, "WARNNING"}, {QMA_LogError, "ERROR"}};
  for (const Row& row : rows) {
    row.writer("QMA_Cmn_Set_ModuleStatus", "QMACommon", 1234,
               "Update ModuleStatus. CurrentStatus[%d]->RequestStatus[%d]", 0, 1);
  }
  std::vector<std::string> written = lines();
  ASSERT_EQ(written.size(), 3u);
  const std::string host = regex_escape(qma::test::this_host());
  const std::string tid = std::to_string(qma::platform::current_thread_id());
  for (size_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(rows[i].word);
    char sequence[8];
    std::snprintf(sequence, sizeof(sequence), "%05zu", i + 1);
    const std::regex shape(std::string(R"(\[)") + sequence + R"(\]-)" + qma::test::kTimeField +
                           "-<" + host + ">-<tid:" + tid + R"(>-\[)" + rows[i].word +
                           R"(::QMA_Cmn_Set_ModuleStatus\(QMACommon\(1234\)\)\]-----)"
                           R"(Update ModuleStatus\. CurrentStatus\[0\]->RequestStatus\[1\]-----)"
                           "\n");
    EXPECT_TRUE(std::regex_match(written[i], shape)) << written[i];
  }
}

TEST_F(AgentLogTest, CallBeforeInitialisationLeavesNoTrace) {
  QMA_LogError("early", "QMAService", 1, "before the log exists");
  EXPECT_FALSE(fs::exists(log_file()));
  initialise(10000);
  QMA_LogInfo("late", "QMAService", 2, "first line");
  std::vector<std::string> written = lines();
  ASSERT_EQ(written.size(), 1u);
  EXPECT_EQ(sequence_of(written[0]), 1);
  EXPECT_NE(written[0].find("first line"), std::string::npos);
}

std::string row_suffix(const std::string& text) {
  return "-----" + text + "-----\n";
}

TEST_F(AgentLogTest, NumberingContinuesAfterTheLinesAlreadyInTheFile) {
  struct Row {
    const char* name;
    std::string existing;
    int next_sequence;
  };
  const std::string long_line(20000, 'x');
  const Row rows[] = {
      {"no file yet", "", 1},
      {"37 lines from the last run", qma::test::numbered_lines(37), 38},
      {"a 20000-character line counts as three reads", long_line + "\n", 4},
      {"a last line without newline still counts", "a\nb\nc", 4},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    fs::remove(log_file());
    if (!row.existing.empty()) qma::test::write_file(log_file(), row.existing);
    initialise(10000);
    QMA_LogInfo("f", "QMAProc", 1, "%s", row.name);
    // The new line follows whatever the file holds, even a last line without newline.
    const std::string text = qma::test::read_text(log_file());
    const size_t at = text.rfind(qma::test::sequence_field(row.next_sequence) + "-");
    ASSERT_NE(at, std::string::npos) << text.substr(text.size() > 300 ? text.size() - 300 : 0);
    EXPECT_EQ(text.substr(0, at), row.existing);
    EXPECT_EQ(text.substr(text.size() - row_suffix(row.name).size()), row_suffix(row.name));
    QMA_FinalizeForLogFile(&holder_);
  }
}

TEST_F(AgentLogTest, FileAtMaxLinesRotatesOnTheNextLine) {
  const std::string old_log = qma::test::numbered_lines(250);
  qma::test::write_file(log_file(), old_log);
  qma::test::write_file(backup_file(), "older backup\n");
  initialise(100);

  QMA_LogInfo("f", "QMAProc", 1, "after rotation");
  EXPECT_EQ(qma::test::read_text(backup_file()), old_log);
  std::vector<std::string> written = lines();
  ASSERT_EQ(written.size(), 1u);
  EXPECT_EQ(sequence_of(written[0]), 1);

  // The new file fills up to max lines and rotates again at the 101st line.
  for (int i = 2; i <= 101; ++i) QMA_LogInfo("f", "QMAProc", i, "line %d", i);
  written = lines();
  ASSERT_EQ(written.size(), 1u);
  EXPECT_EQ(sequence_of(written[0]), 1);
  EXPECT_NE(written[0].find("line 101"), std::string::npos);
  std::vector<std::string> backup = read_lines(backup_file());
  ASSERT_EQ(backup.size(), 100u);
  EXPECT_EQ(sequence_of(backup.front()), 1);
  EXPECT_EQ(sequence_of(backup.back()), 100);
}

TEST_F(AgentLogTest, LongMessageIsCutToALineOf8191CharactersEndingInNewline) {
  initialise(10000);
  const std::string message(10000, 'm');
  QMA_LogInfo("QMA_Long", "QMAProc", 7, "%s", message.c_str());
  QMA_LogInfo("QMA_Short", "QMAProc", 8, "next");
  std::vector<std::string> written = lines();
  ASSERT_EQ(written.size(), 2u);
  EXPECT_EQ(written[0].size(), 8191u);
  EXPECT_EQ(written[0].back(), '\n');
  EXPECT_EQ(written[0][8189], 'm');
  EXPECT_EQ(sequence_of(written[1]), 2);
}

TEST_F(AgentLogTest, LineIsDroppedWhileAnotherThreadHoldsTheLogMutex) {
  initialise(10000);
  QMA_LogInfo("f", "QMAProc", 1, "before");

  std::atomic<bool> held{false}, done{false};
  std::thread holder([&] {
    auto mutex = NamedMutex::open("QMA_SRV_LOGFILE_MUTEX");
    ASSERT_TRUE(mutex.ok());
    ASSERT_EQ(mutex->wait(qma::platform::kInfinite), WaitStatus::kSignaled);
    held = true;
    while (!done) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_TRUE(mutex->release());
  });
  while (!held) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  QMA_LogInfo("f", "QMAProc", 2, "dropped");
  done = true;
  holder.join();

  QMA_LogInfo("f", "QMAProc", 3, "after");
  std::vector<std::string> written = lines();
  ASSERT_EQ(written.size(), 2u);
  EXPECT_NE(written[1].find("after"), std::string::npos);
  EXPECT_EQ(sequence_of(written[1]), 2) << "a dropped line must not advance the count";
}

TEST_F(AgentLogTest, MutexLeftByADeadOwnerIsTakenOver) {
  initialise(10000);
  std::thread([] {
    auto mutex = NamedMutex::open("QMA_SRV_LOGFILE_MUTEX");
    ASSERT_TRUE(mutex.ok());
    ASSERT_EQ(mutex->wait(0), WaitStatus::kSignaled);  // and the thread ends owning it
  }).join();
  QMA_LogWarning("f", "QMAProc", 1, "after the owner died");
  std::vector<std::string> written = lines();
  ASSERT_EQ(written.size(), 1u);
  EXPECT_EQ(sequence_of(written[0]), 1);
}

TEST_F(AgentLogTest, MissingLogFolderLosesTheLineAndNothingElse) {
  const fs::path missing = roots_.base() / "not-yet";
  ASSERT_EQ(QMA_InitializeForLogFile(path_text(missing).c_str(), 10000, &holder_), 1);
  QMA_LogError("f", "QMAProc", 1, "lost");
  EXPECT_FALSE(fs::exists(missing));

  fs::create_directories(missing);
  QMA_LogError("f", "QMAProc", 2, "kept");
  std::vector<std::string> written = read_lines(missing / "QMAgent.log");
  ASSERT_EQ(written.size(), 1u);
  EXPECT_EQ(sequence_of(written[0]), 1);
  EXPECT_NE(written[0].find("kept"), std::string::npos);
}

TEST_F(AgentLogTest, FolderTooLongForTheFileNamesGetsNoFileUnderACutName) {
  // 252 characters: the folder fits the 260-byte path, the folder and "QMAgent.log" do not.
  const std::string base = roots_.base().string();
  ASSERT_LT(base.size(), 200u);
  const fs::path deep = roots_.base() / std::string(252 - base.size() - 1, 'd');
  ASSERT_EQ(deep.string().size(), 252u);
  fs::create_directories(deep);
  ASSERT_EQ(QMA_InitializeForLogFile(path_text(deep).c_str(), 100, &holder_), 1);
  for (int i = 0; i < 3; ++i) QMA_LogError("f", "QMAProc", i, "line %d", i);
  EXPECT_TRUE(fs::is_empty(deep));
}

TEST_F(AgentLogTest, InitialisationNeedsAHolderAndClosingTwiceFindsNothing) {
  // Where the mutex cannot be made at all: test_log_agent_linux.cpp.
  EXPECT_EQ(QMA_InitializeForLogFile(path_text(log_dir_).c_str(), 10000, nullptr), 0);
  initialise(10000);
  QMA_FinalizeForLogFile(&holder_);
  EXPECT_EQ(holder_, nullptr);
  QMA_FinalizeForLogFile(&holder_);  // a second close finds nothing to close
  QMA_FinalizeForLogFile(nullptr);
}

TEST_F(AgentLogTest, ConcurrentWritersGiveContiguousSequenceNumbers) {
  initialise(65535);
  constexpr int kThreads = 4;
  constexpr int kLinesEach = 150;
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([t] {
      for (int i = 0; i < kLinesEach; ++i)
        QMA_LogInfo("writer", "QMAProc", t, "thread %d line %d", t, i);
    });
  }
  for (std::thread& writer : writers) writer.join();

  // Under heavy contention a line may be dropped after 5 ms; the ones written are
  // whole and numbered without gaps or repeats.
  std::vector<std::string> written = lines();
  ASSERT_FALSE(written.empty());
  EXPECT_LE(written.size(), static_cast<size_t>(kThreads * kLinesEach));
  const std::regex shape(
      std::string(R"(\[\d{5}\]-)") + qma::test::kTimeField +
      R"(-<[^>]*>-<tid:\d+>-\[INFO::writer\(QMAProc\(\d\)\)\]-----thread \d line \d+-----)"
      "\n");
  for (size_t i = 0; i < written.size(); ++i) {
    EXPECT_EQ(sequence_of(written[i]), static_cast<int>(i + 1));
    EXPECT_TRUE(std::regex_match(written[i], shape)) << written[i];
  }
}

}  // namespace
