// The package information file on Linux: a FIFO or a link in its place is neither read nor
// written.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "commands/update/package_info.h"
#include "manager_if/agent_harness.h"

namespace {

namespace fs = std::filesystem;
using qma::test::read_text;

class PackageInfo : public ::testing::Test {
 protected:
  std::string path() const { return (agent_.roots_.bin() / QMA_PKG_INFO_FILE_NAME).string(); }
  void write(const std::string& text) const { std::ofstream(path(), std::ios::binary) << text; }

  qma::test::InProcessAgent agent_;
};

// A package may leave anything under the file's name: only a bounded regular file is read,
// and nothing waits on a FIFO, whether reading or writing.
TEST_F(PackageInfo, OnlyABoundedRegularFileIsReadOrWritten) {
  const fs::path other = agent_.roots_.base() / "elsewhere.txt";
  const std::string valid =
      "[QMAPKG_UpdateInfo]\nIP_ADDR=1.2.3.4\nPORT=1\nMSG_ID=M\nMOD_ID=02000000\nMSG_VER=2.0\n"
      "RESULT_FILE=Install.xml\nPID=1\nTIMEOUT=5\n";
  std::ofstream(other) << valid;
  struct Row {
    const char* name;
    std::function<void()> make;
    int error;
  };
  const Row rows[] = {
      {"FIFO", [&] { ASSERT_EQ(mkfifo(path().c_str(), 0644), 0); }, EPERM},
      {"link to a valid file", [&] { fs::create_symlink(other, path()); }, ELOOP},
      {"1 GB",
       [&] {
         write(valid);
         fs::resize_file(path(), 1ULL << 30);
       },
       EFBIG},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    fs::remove(path());
    row.make();
    const std::string line =
        "fopen() error! file=[" + path() + "] errno=[" + std::to_string(row.error) + "]";
    int before = agent_.count_in_log(line);
    EXPECT_EQ(QMA_CheckInfoFile(path().c_str()), -1);
    CMDTbl cmd = {};
    QMA_PKG_INFO_VALUES values = {};
    EXPECT_EQ(QMA_GetInfoFile(&cmd, 0, path().c_str(), &values), 0);
    EXPECT_EQ(agent_.count_in_log(line), before + 2);
  }
  // Written: a FIFO or a link in the file's place is refused and left as it is.
  CMDTbl cmd = {};
  for (bool fifo : {true, false}) {
    fs::remove(path());
    if (fifo) {
      ASSERT_EQ(mkfifo(path().c_str(), 0644), 0);
    } else {
      fs::create_symlink(other, path());
    }
    QMA_CreateInfoFile(&cmd, "5", "Install.xml", 1);
    EXPECT_EQ(fs::is_fifo(fs::symlink_status(path())), fifo);
    EXPECT_EQ(fs::is_symlink(fs::symlink_status(path())), !fifo);
  }
  EXPECT_EQ(read_text(other), valid);
  EXPECT_EQ(agent_.count_in_log("fopen() error! errno=[" + std::to_string(EPERM) + "],file=[" +
                                path() + "]"),
            1);
  fs::remove(path());
}

}  // namespace
