// Files on Linux: a move across file systems (/dev/shm is a file system of its own), names
// that differ only in case, symbolic links in listings and the executable mode of copies.
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

TEST_F(FileTest, ExactNameWinsWhenBothSpellingsExist) {
  write(dir_ / "Update_normal.xml", "<r/>");
  EXPECT_EQ(resolve_path(at("update_normal.xml")), at("Update_normal.xml"));
  write(dir_ / "update_normal.xml", "<other/>");
  EXPECT_EQ(resolve_path(at("update_normal.xml")), at("update_normal.xml"));
  EXPECT_EQ(resolve_path(at("UPDATE_NORMAL.XML")), at("Update_normal.xml"));
}

TEST_F(FileTest, ListingReportsALinkOnlyAsAReparsePoint) {
  fs::create_directories(dir_ / "sub");
  fs::create_directory_symlink(dir_ / "sub", dir_ / "link");
  auto listing = list_directory(dir_.string(), "l*");
  ASSERT_TRUE(listing.ok()) << listing.error();
  ASSERT_EQ(listing->size(), 1u);
  EXPECT_EQ(listing->at(0).name, "link");
  // Never a directory: sweeps must not follow it.
  EXPECT_EQ(listing->at(0).attributes, kAttrReparsePoint);
}

TEST_F(FileTest, CopyKeepsTheExecutableMode) {
  write(dir_ / "QMZipControl", "#!/bin/sh\n");
  fs::permissions(dir_ / "QMZipControl", fs::perms(0755));
  ASSERT_TRUE(copy_file(at("QMZipControl"), at("copy"), false).ok());
  EXPECT_TRUE((fs::status(dir_ / "copy").permissions() & fs::perms::owner_exec) != fs::perms::none);
}

}  // namespace
}  // namespace qma::platform
