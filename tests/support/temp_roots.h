// Fresh state and host roots for a test, so nothing it does reaches the real host; reading back.
#pragma once

#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/environment.h"
#include "platform/registry.h"

namespace qma::test {

/// The path as the platform layer's functions and the agent's buffers take it: UTF-8 on
/// every system (a Windows path's own text is UTF-16).
inline std::string path_text(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

/// Sets a variable of this process, failing the test when the system refuses.
inline void set_env(std::string_view name, std::string_view value) {
  EXPECT_TRUE(qma::platform::set_env(name, value).ok()) << "cannot set " << name;
}

/// Removes a variable of this process, failing the test when the system refuses.
inline void unset_env(std::string_view name) {
  EXPECT_TRUE(qma::platform::unset_env(name).ok()) << "cannot remove " << name;
}

/// Gives a variable a value (nullopt: removes it) for the object's lifetime, then puts back
/// what was there before, absent included.
class ScopedEnv {
 public:
  /// Only keeps the present value, to be put back at the end.
  explicit ScopedEnv(std::string name)
      : name_(std::move(name)), saved_(qma::platform::get_env(name_)) {}
  ScopedEnv(std::string name, std::optional<std::string> value)
      : name_(std::move(name)), saved_(qma::platform::get_env(name_)) {
    apply(value);
  }
  ~ScopedEnv() { apply(saved_); }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  void apply(const std::optional<std::string>& value) const {
    if (value) {
      set_env(name_, *value);
    } else {
      unset_env(name_);
    }
  }
  std::string name_;
  std::optional<std::string> saved_;
};

/// Makes a new empty folder under the system's temporary folder.
inline std::filesystem::path make_temp_dir(const std::string& tag) {
  static std::mutex guard;
  // The clock as well, where a system's random device is weak.
  static std::mt19937_64 random(
      std::random_device{}() ^
      static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()));
  const auto base = std::filesystem::temp_directory_path();
  for (int attempt = 0; attempt < 100; ++attempt) {
    char suffix[17];
    {
      std::lock_guard<std::mutex> lock(guard);
      std::snprintf(suffix, sizeof suffix, "%016llx", static_cast<unsigned long long>(random()));
    }
    auto folder = base / ("qma-" + tag + "-" + suffix);
    std::error_code ec;
    // Only the caller that made the folder gets it: one that exists already is not taken.
    if (std::filesystem::create_directory(folder, ec)) {
      // Private to this user, as the system's own temporary folder makers leave it.
      std::filesystem::permissions(folder, std::filesystem::perms::owner_all, ec);
      return folder;
    }
    if (ec) {
      ADD_FAILURE() << "cannot make a folder under " << path_text(base) << ": " << ec.message();
      return {};
    }
  }
  ADD_FAILURE() << "no free temporary folder name under " << path_text(base);
  return {};
}

/// Whether this system lets a test make links that resolve (the Windows build's
/// C++ library makes none): table rows with links run only where it does.
inline bool links_work() {
  static const bool work = [] {
    const std::filesystem::path probe = make_temp_dir("link");
    std::error_code ec;
    std::filesystem::create_directory(probe / "target", ec);
    std::filesystem::create_directory_symlink(probe / "target", probe / "link", ec);
    const bool resolves = !ec && std::filesystem::is_directory(probe / "link", ec) &&
                          std::filesystem::is_symlink(probe / "link", ec);
    std::filesystem::remove(probe / "link", ec);
    std::filesystem::remove_all(probe, ec);
    return resolves;
  }();
  return work;
}

/// Whether files here carry Unix permission bits (on Windows the C++ library derives "may
/// run" from the name's extension): checks of a mode run only where they do.
inline bool unix_modes_work() {
  static const bool work = [] {
    const std::filesystem::path probe = make_temp_dir("mode");
    std::error_code ec;
    { std::ofstream(probe / "tool.sh") << "x"; }
    std::filesystem::permissions(probe / "tool.sh", std::filesystem::perms::owner_exec,
                                 std::filesystem::perm_options::add, ec);
    const bool kept = !ec && (std::filesystem::status(probe / "tool.sh", ec).permissions() &
                              std::filesystem::perms::owner_exec) != std::filesystem::perms::none;
    std::filesystem::remove_all(probe, ec);
    return kept;
  }();
  return work;
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
    set_env("QMA_STATE_DIR", path_text(state_));
    set_env("QMA_HOST_ROOT", path_text(host_));
    set_env("AXIS2C_HOME", path_text(home_));
    // Where the registry is the system's own, a key of this test's stands in for the hive
    // (where it is a file under the state folder, the variable is not read).
    saved_registry_root_ = qma::platform::get_env("QMA_REGISTRY_ROOT");
    registry_root_ = "SOFTWARE\\QMAgentTests\\" + path_text(base_.filename());
    set_env("QMA_REGISTRY_ROOT", registry_root_);
  }
  ~TempRoots() {
    if (saved_registry_root_) {
      set_env("QMA_REGISTRY_ROOT", *saved_registry_root_);
    } else {
      unset_env("QMA_REGISTRY_ROOT");
    }
    (void)qma::platform::reg_delete_key(registry_root_);
    remove_tree(base_);
    // A file still open without delete sharing, or one whose deletion waits for its last
    // handle, keeps its folder: the test left something open.
    std::error_code ec;
    EXPECT_FALSE(std::filesystem::exists(base_, ec))
        << "a file under " << path_text(base_) << " is still open";
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
  /// Removes a folder tree once, entry by entry; an entry that cannot go stays.
  static void remove_tree(const std::filesystem::path& folder) {
    std::error_code ec;
    std::vector<std::filesystem::path> entries;
    for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end;
         it.increment(ec)) {
      entries.push_back(it->path());
    }
    for (const auto& entry : entries) {
      if (std::filesystem::is_directory(std::filesystem::symlink_status(entry, ec))) {
        remove_tree(entry);
      } else if (!std::filesystem::remove(entry, ec) && ec &&
                 std::filesystem::is_regular_file(std::filesystem::symlink_status(entry))) {
        // A read-only file cannot be deleted on Windows until it may be written.
        std::filesystem::permissions(entry, std::filesystem::perms::owner_write,
                                     std::filesystem::perm_options::add, ec);
        std::filesystem::remove(entry, ec);
      }
    }
    std::filesystem::remove(folder, ec);
  }

  std::filesystem::path base_, state_, host_, home_;
  std::string registry_root_;
  std::optional<std::string> saved_registry_root_;
};

/// Reads a whole file, empty when it does not exist.
inline std::string read_text(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

/// Reads a whole file as a text stream of the C library reads it (empty when it does not
/// exist): what a program wrote in text mode, with "\r\n" line ends taken as "\n" on Windows.
inline std::string read_text_mode(const std::filesystem::path& path) {
  std::ifstream in(path);
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

/// The names, as stored, of a folder's entries that differ from `name` at most in case: one
/// entry on every system when a file was found and rewritten under the name it already had.
inline std::vector<std::string> names_without_case(const std::filesystem::path& folder,
                                                   const std::string& name) {
  auto lower = [](std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
  };
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
    const std::string entry_name = path_text(entry.path().filename());
    if (lower(entry_name) == lower(name)) names.push_back(entry_name);
  }
  return names;
}

}  // namespace qma::test
