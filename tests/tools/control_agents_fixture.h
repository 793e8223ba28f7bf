// The agent control tests' fixture: an agent folder in temporary roots, agents whose scripts
// record the folder they run in and the action, and moxControlAgents run on it.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/process.h"
#include "support/temp_roots.h"
#include "tools/tool_runner.h"

namespace qma::test {

namespace fs = std::filesystem;

// The agents' scripts under the names moxControlAgents runs them by.
inline const std::string kStartScript = std::string("StartAgent") + qma::platform::kScriptExtension;
inline const std::string kStopScript = std::string("StopAgent") + qma::platform::kScriptExtension;

inline void write_script(const fs::path& path, const std::string& body) {
  fs::create_directories(path.parent_path());
  std::ofstream(path) << "#!/bin/sh\n" << body;
  fs::permissions(path, fs::perms::owner_all);
}

class ControlAgents : public ::testing::Test {
 protected:
  void SetUp() override {
    agents_ = roots_.bin() / "AgentFolder";
    log_ = roots_.base() / "agents.log";
  }
  // An agent whose scripts record the folder they run in and the script's own path, one line
  // each: shell text, or a batch file where scripts are batch files.
  void add_agent(const std::string& name, bool start_script, bool stop_script, int stop_exit = 0) {
    fs::create_directories(agents_ / name);
    const bool batch = std::string(qma::platform::kScriptExtension) == ".bat";
    auto body = [&](int code) {
      if (batch) {
        return "@echo off\r\nfor %%I in (.) do echo %%~nxI %~f0>>\"" + path_text(log_) +
               "\"\r\nexit /b " + std::to_string(code) + "\r\n";
      }
      return "echo \"$(basename \"$PWD\") $0\" >> '" + log_.string() + "'\nexit " +
             std::to_string(code) + "\n";
    };
    auto write = [&](const fs::path& path, int code) {
      if (batch) {
        std::ofstream(path, std::ios::binary) << body(code);
      } else {
        write_script(path, body(code));
      }
    };
    if (start_script) write(agents_ / name / kStartScript, 0);
    if (stop_script) write(agents_ / name / kStopScript, stop_exit);
  }
  /// What the agents' scripts recorded, lines ending in "\n" whatever wrote them.
  std::string ran() const { return read_text_mode(log_); }
  ToolResult control(const std::vector<std::string>& args) {
    std::vector<std::string> argv{MOXCONTROLAGENTS_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_tool(argv, roots_.base());
  }

  TempRoots roots_;
  fs::path agents_, log_;
};

}  // namespace qma::test
