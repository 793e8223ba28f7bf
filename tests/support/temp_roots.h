// Fresh state and host roots for a test, so nothing it does reaches the real host; reading back.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace qma::test {

/// Makes a new empty folder under the system's temporary folder.
inline std::filesystem::path make_temp_dir(const std::string& tag) {
  std::string pattern =
      (std::filesystem::temp_directory_path() / ("qma-" + tag + "-XXXXXX")).string();
  char* made = mkdtemp(pattern.data());
  if (made == nullptr) {
    ADD_FAILURE() << "mkdtemp failed for " << pattern;
    return {};
  }
  return made;
}

/// Points QMA_STATE_DIR, QMA_HOST_ROOT and AXIS2C_HOME at fresh folders for the
/// lifetime of the object and removes them afterwards.
class TempRoots {
 public:
  TempRoots() {
    base_ = make_temp_dir("roots");
    state_ = base_ / "state";
    host_ = base_ / "host";
    home_ = base_ / "home";
    std::filesystem::create_directories(state_);
    std::filesystem::create_directories(host_);
    std::filesystem::create_directories(home_ / "bin");
    setenv("QMA_STATE_DIR", state_.c_str(), 1);
    setenv("QMA_HOST_ROOT", host_.c_str(), 1);
    setenv("AXIS2C_HOME", home_.c_str(), 1);
  }
  ~TempRoots() {
    std::error_code ec;
    std::filesystem::remove_all(base_, ec);
  }
  TempRoots(const TempRoots&) = delete;
  TempRoots& operator=(const TempRoots&) = delete;

  const std::filesystem::path& base() const { return base_; }
  const std::filesystem::path& state() const { return state_; }
  const std::filesystem::path& host() const { return host_; }
  const std::filesystem::path& home() const { return home_; }
  std::filesystem::path bin() const { return home_ / "bin"; }

  /// Writes a file below the host root, creating its folders.
  void write_host_file(const std::string& relative, const std::string& content) const {
    auto path = host_ / relative;
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << content;
  }

 private:
  std::filesystem::path base_, state_, host_, home_;
};

/// Reads a whole file, empty when it does not exist.
inline std::string read_text(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

/// The lines of a text without their line ends (a last line without one counts too).
inline std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

}  // namespace qma::test
