// The zip launcher tests' fixture: a recording archiver in place of QMAzip and QMAunz, a module
// folder to start the launcher in, and the command line the archiver records.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/process.h"
#include "support/temp_roots.h"
#include "tools/tool_runner.h"

namespace qma::test {

namespace fs = std::filesystem;

class ZipControl : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"QMAunz", "QMAzip"}) {
      fs::copy_file(FAKE_ARCHIVER_PATH, roots_.bin() / program(name));
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
    return "cmdbuf : " + (roots_.bin() / program(archiver)).string() + ", argbuf : " + argbuf +
           ", curdir : " + work_.string() + "\n";
  }

  /// An archiver's file name as installed.
  static std::string program(const std::string& name) {
    return name + qma::platform::kProgramExtension;
  }

  qma::test::TempRoots roots_;
  fs::path work_, log_;
};

}  // namespace qma::test
