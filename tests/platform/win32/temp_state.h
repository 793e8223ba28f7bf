// A fresh state folder and host root for one Windows test, and the child helper it starts.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>

#include "platform/clock.h"
#include "platform/environment.h"
#include "platform/file.h"
#include "platform/process.h"

namespace qma::test {

/// The UTF-8 text of a path (std::filesystem speaks UTF-16 on Windows).
inline std::string utf8(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

/// QMA_STATE_DIR and QMA_HOST_ROOT in a new folder under the system's temporary folder, for
/// the object's lifetime; children started meanwhile inherit them.
class TempState {
 public:
  TempState() {
    static int counter = 0;
    base_ = platform::join_path(utf8(std::filesystem::temp_directory_path()),
                                "qma-w32-" + std::to_string(platform::current_process_id()) + "-" +
                                    std::to_string(++counter));
    EXPECT_TRUE(platform::create_directory(base_).ok()) << base_;
    EXPECT_TRUE(platform::create_directory(path("state")).ok());
    EXPECT_TRUE(platform::create_directory(path("host")).ok());
    EXPECT_TRUE(platform::set_env("QMA_STATE_DIR", path("state")).ok());
    EXPECT_TRUE(platform::set_env("QMA_HOST_ROOT", path("host")).ok());
  }
  ~TempState() { (void)platform::remove_tree(base_); }
  TempState(const TempState&) = delete;
  TempState& operator=(const TempState&) = delete;

  const std::string& base() const { return base_; }
  /// A path below the base folder.
  std::string path(std::string_view name) const { return platform::join_path(base_, name); }

 private:
  std::string base_;
};

/// The child helper program; its first argument after the name chooses what it does.
inline std::string helper_path() {
  std::string path = std::string(QMA_WIN32_HELPER_DIR) + "\\win32_helper_child.exe";
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  return path;
}

/// Starts the helper with `arguments` in `folder`, as the agent starts a tool.
inline platform::Process start_helper(const std::string& arguments, const std::string& folder) {
  auto process =
      platform::Process::spawn(helper_path(), "\"win32_helper_child\" " + arguments, folder);
  EXPECT_TRUE(process.ok()) << "spawn failed, error " << process.error();
  return std::move(process).value();
}

/// The content of a file the helper writes (it writes by rename), empty after 10 s without.
inline std::string wait_for_file(const std::string& path) {
  for (int i = 0; i < 1000; ++i) {
    auto text = platform::read_file(path);
    if (text.ok()) return *text;
    platform::sleep_ms(10);
  }
  return {};
}

/// The process id a helper wrote into a file; 0 when none came.
inline uint32_t wait_for_pid(const std::string& path) {
  const std::string text = wait_for_file(path);
  return text.empty() ? 0 : static_cast<uint32_t>(std::stoul(text));
}

}  // namespace qma::test
