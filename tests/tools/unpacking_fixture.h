// The unpacking tests' fixture: an archive unpacked in base/a/b/work by QMAunz, and the check
// that a hostile archive is refused whole, with nothing written inside or outside the folder.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "support/temp_roots.h"
#include "tools/tool_runner.h"
#include "tools/zip_builder.h"

namespace qma::test {

namespace fs = std::filesystem;

struct Hostile {
  const char* what;
  std::function<std::vector<ZipItem>(const fs::path& base)> items;
  const char* reason;                // expected in the refusal line
  std::vector<std::string> escapes;  // relative to base: must not exist afterwards
  std::function<void(const fs::path& base, const fs::path& archive)> damage = nullptr;
  std::function<void(const fs::path& work, const fs::path& base)> prepare = nullptr;
  const char* limit = nullptr;  // QMAUNZ_MAX_BYTES
};

// Unpacking happens in base/a/b/work, so that "../.." and longer climbs land in
// folders the test owns and can inspect.
class Unpacking : public ::testing::Test {
 protected:
  void SetUp() override {
    base_ = make_temp_dir("unz");
    work_ = base_ / "a" / "b" / "work";
    outside_ = base_ / "outside";
    fs::create_directories(work_);
    fs::create_directories(outside_);
    archive_ = base_ / "pkg.zip";
  }
  void TearDown() override { fs::remove_all(base_); }

  ToolResult unpack(const ToolEnvironment& environment = {}) {
    return run_tool({QMAUNZ_PATH, "-x", "-o", archive_.string()}, work_, environment);
  }

  template <typename Rows>
  void expect_refused_whole(const Rows& rows) {
    for (const Hostile& row : rows) {
      SCOPED_TRACE(row.what);
      fs::remove_all(work_);
      fs::create_directories(work_);
      fs::remove(archive_.string() + ".err");
      if (row.prepare) row.prepare(work_, base_);
      auto before = tree_of(base_);
      ASSERT_TRUE(write_zip(archive_, row.items(base_)));
      if (row.damage) row.damage(base_, archive_);

      ToolEnvironment environment;
      if (row.limit != nullptr) environment.set.emplace_back("QMAUNZ_MAX_BYTES", row.limit);
      auto result = unpack(environment);

      EXPECT_EQ(result.status, 2);
      std::string line = "QMAunz: refused " + archive_.string() + ": ";
      EXPECT_EQ(result.err.rfind(line, 0), 0u) << result.err;
      EXPECT_NE(result.err.find(row.reason), std::string::npos) << result.err;
      EXPECT_EQ(read_text(archive_.string() + ".err"), result.err);
      for (const std::string& escape : row.escapes) {
        EXPECT_FALSE(fs::exists(fs::symlink_status(base_ / escape))) << escape;
      }
      // Nothing at all was written: the tree is as before, apart from the archive and its report.
      auto after = tree_of(base_);
      std::erase(after, "pkg.zip");
      std::erase(after, "pkg.zip.err");
      std::erase(before, "pkg.zip");
      std::erase(before, "pkg.zip.err");
      EXPECT_EQ(after, before);
    }
  }

  fs::path base_, work_, outside_, archive_;
};

}  // namespace qma::test
