// A move across file systems on Linux, where /dev/shm is a file system of its own.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/error.h"
#include "platform/file.h"
#include "platform/file_fixture.h"
#include "support/temp_roots.h"

namespace qma::platform {
namespace {

namespace fs = std::filesystem;
using test::read_text;

using qma::test::FileTest;
using qma::test::write;

TEST_F(FileTest, MoveAcrossVolumesFailsWithoutCopying) {
  struct stat here {};
  struct stat there {};
  ASSERT_EQ(stat(dir_.c_str(), &here), 0);
  if (stat("/dev/shm", &there) != 0 || there.st_dev == here.st_dev) {
    GTEST_SKIP() << "/dev/shm is missing or on the same file system as " << dir_
                 << ", so no move across volumes can be tried";
  }
  fs::path shm_dir = fs::path("/dev/shm") / roots_.base().filename();
  fs::create_directories(shm_dir);
  write(dir_ / "archive.zip", "zip");
  Status moved = move_file(at("archive.zip"), (shm_dir / "archive.zip").string());
  bool copied = fs::exists(shm_dir / "archive.zip");
  fs::remove_all(shm_dir);
  EXPECT_EQ(moved.error(), EXDEV);
  EXPECT_EQ(last_error(), EXDEV);
  EXPECT_EQ(read_text(dir_ / "archive.zip"), "zip");
  EXPECT_FALSE(copied);
}

}  // namespace
}  // namespace qma::platform
