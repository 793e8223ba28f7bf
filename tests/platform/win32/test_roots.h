// Fresh state and host roots for a Windows backend test, so that nothing it does reaches
// the real host.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <string>

#include "platform/environment.h"

namespace qma::test::win32 {

/// The UTF-8 text of a path, as the platform layer takes it.
inline std::string utf8(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

/// Points QMA_STATE_DIR and QMA_HOST_ROOT at new folders of this test and removes them at
/// the end.
class TestRoots {
 public:
  TestRoots() {
    const auto base = std::filesystem::temp_directory_path();
    for (unsigned attempt = 0; attempt < 100 && base_.empty(); ++attempt) {
      auto folder = base / ("qma-w32-" + std::to_string(::GetCurrentProcessId()) + "-" +
                            std::to_string(::GetTickCount64()) + "-" + std::to_string(attempt));
      std::error_code ec;
      if (std::filesystem::create_directory(folder, ec)) base_ = folder;
    }
    EXPECT_FALSE(base_.empty()) << "no temporary folder under " << utf8(base);
    std::filesystem::create_directories(state());
    std::filesystem::create_directories(host());
    EXPECT_TRUE(platform::set_env("QMA_STATE_DIR", utf8(state())).ok());
    EXPECT_TRUE(platform::set_env("QMA_HOST_ROOT", utf8(host())).ok());
  }
  ~TestRoots() {
    std::error_code ec;
    std::filesystem::remove_all(base_, ec);
  }
  TestRoots(const TestRoots&) = delete;
  TestRoots& operator=(const TestRoots&) = delete;

  std::filesystem::path state() const { return base_ / "state"; }
  std::filesystem::path host() const { return base_ / "host"; }

 private:
  std::filesystem::path base_;
};

}  // namespace qma::test::win32
