// Whole-file reads, atomic replacement and the cross-process file lock: the errors every
// system reports. Modes, locks between processes and special files are in
// test_file_io_linux.cpp.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/file.h"
#include "tests/support/temp_roots.h"

namespace qma::platform {
namespace {

namespace fs = std::filesystem;

TEST(FileIo, FailuresReportErrno) {
  qma::test::TempRoots roots;
  auto missing = read_file((roots.state() / "absent").string());
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error(), ENOENT);
  Status status = write_file_atomic((roots.state() / "no" / "folder.txt").string(), "x");
  EXPECT_EQ(status.error(), ENOENT);
  auto lock = FileLock::acquire((roots.state() / "no" / "x.lock").string());
  ASSERT_FALSE(lock.ok());
  EXPECT_EQ(lock.error(), ENOENT);
}

TEST(FileIo, CachedReadsSeeEveryChangeOfTheFile) {
  // Every change must show at the next read, whether the copy was taken from a file
  // changed a moment ago (all its times may still be the same after a change) or from one
  // left alone for longer than the two seconds after which a copy is kept.
  struct Change {
    const char* label;
    std::function<void(const fs::path&)> apply;
    std::optional<std::string> expected;  // nullopt: the read fails
  };
  const std::vector<Change> changes = {
      {"left alone", [](const fs::path&) {}, "AAAA"},
      {"rewritten in place with as many bytes",
       [](const fs::path& p) { std::ofstream(p, std::ios::binary | std::ios::trunc) << "BBBB"; },
       "BBBB"},
      {"replaced by a rename",
       [](const fs::path& p) {
         std::ofstream(p.string() + ".new", std::ios::binary) << "CCCC";
         fs::rename(p.string() + ".new", p);
       },
       "CCCC"},
      {"grown", [](const fs::path& p) { std::ofstream(p, std::ios::app) << "+"; }, "AAAA+"},
      {"emptied", [](const fs::path& p) { fs::resize_file(p, 0); }, ""},
      {"removed", [](const fs::path& p) { fs::remove(p); }, std::nullopt},
  };
  for (bool settled : {false, true}) {
    SCOPED_TRACE(settled ? "settled copies" : "fresh files");
    qma::test::TempRoots roots;
    auto create = [&](size_t i) {
      std::ofstream(roots.host() / std::to_string(i), std::ios::binary) << "AAAA";
    };
    if (settled) {
      for (size_t i = 0; i < changes.size(); ++i) create(i);
      std::this_thread::sleep_for(std::chrono::milliseconds(2100));
    }
    for (size_t i = 0; i < changes.size(); ++i) {
      SCOPED_TRACE(changes[i].label);
      // A fresh file is made, read and changed within a few microseconds, mostly within
      // one tick of a coarse file system clock, which would leave its times as they were.
      if (!settled) create(i);
      const fs::path file = roots.host() / std::to_string(i);
      auto before = read_file_cached(file.string());
      ASSERT_TRUE(before.ok());
      EXPECT_EQ(*before, "AAAA");
      changes[i].apply(file);
      auto after = read_file_cached(file.string());
      if (changes[i].expected) {
        ASSERT_TRUE(after.ok());
        EXPECT_EQ(*after, *changes[i].expected);
      } else {
        ASSERT_FALSE(after.ok());
        EXPECT_EQ(after.error(), ENOENT);
      }
    }
  }
}

}  // namespace
}  // namespace qma::platform
