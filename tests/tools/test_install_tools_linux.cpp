// QMZipControl on Linux, started in a folder that is removed under it.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/temp_roots.h"
#include "tools/tool_runner.h"

namespace {

namespace fs = std::filesystem;
using qma::test::read_text;
using qma::test::run_tool;
using qma::test::ToolEnvironment;

class ZipControl : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"QMAunz", "QMAzip"}) {
      fs::copy_file(FAKE_ARCHIVER_PATH, roots_.bin() / name);
    }
    work_ = roots_.base() / "module folder";
    fs::create_directories(work_);
    log_ = roots_.base() / "archiver.log";
  }
  qma::test::ToolResult launch(std::vector<std::string> args, ToolEnvironment environment = {}) {
    args.insert(args.begin(), QMZIPCONTROL_PATH);
    environment.set.emplace_back("QMA_FAKE_ARCHIVER_LOG", log_.string());
    return run_tool(args, work_, environment);
  }
  std::string cmdbuf(const std::string& archiver, const std::string& argbuf) const {
    return "cmdbuf : " + (roots_.bin() / archiver).string() + ", argbuf : " + argbuf +
           ", curdir : " + work_.string() + "\n";
  }

  qma::test::TempRoots roots_;
  fs::path work_, log_;
};

TEST_F(ZipControl, CurrentFolderGoneUnderIt) {
  fs::path gone = roots_.base() / "gone";
  fs::create_directories(gone);
  auto orphan = run_tool({"/bin/sh", "-c",
                          "cd '" + gone.string() + "' && rmdir '" + gone.string() + "' && exec '" +
                              QMZIPCONTROL_PATH + "' -u x.zip"});
  EXPECT_EQ(orphan.out, "GetCurrentDirectory error : 2\n");
  EXPECT_EQ(orphan.status, 4);
  EXPECT_EQ(read_text(log_), "");
}

}  // namespace
