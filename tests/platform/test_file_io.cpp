// Whole-file reads, atomic replacement and the cross-process file lock: the errors every
// system reports. Modes, locks between processes and special files are in
// test_file_io_linux.cpp.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <string>

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

}  // namespace
}  // namespace qma::platform
