// QMZipControl on Linux, started in a folder that is removed under it.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/temp_roots.h"
#include "tools/tool_runner.h"
#include "tools/zip_control_fixture.h"

namespace {

namespace fs = std::filesystem;
using qma::test::read_text;
using qma::test::run_tool;
using qma::test::ToolEnvironment;

using qma::test::ZipControl;

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
