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
  // An agent whose scripts record the folder they run in and the action.
  void add_agent(const std::string& name, bool start_script, bool stop_script, int stop_exit = 0) {
    fs::create_directories(agents_ / name);
    const std::string record = "echo \"$(basename \"$PWD\") $0\" >> '" + log_.string() + "'\n";
    if (start_script) write_script(agents_ / name / kStartScript, record);
    if (stop_script) {
      write_script(agents_ / name / kStopScript,
                   record + "exit " + std::to_string(stop_exit) + "\n");
    }
  }
  ToolResult control(const std::vector<std::string>& args) {
    std::vector<std::string> argv{MOXCONTROLAGENTS_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_tool(argv, roots_.base());
  }
  std::string ran() const { return read_text(log_); }

  TempRoots roots_;
  fs::path agents_, log_;
};

}  // namespace qma::test
