// Whole-file reads, atomic replacement and the cross-process file lock.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string>

#include "platform/file.h"
#include "tests/support/temp_roots.h"

namespace qma::platform {
namespace {

namespace fs = std::filesystem;

TEST(FileIo, AtomicReplacementKeepsPermissionsAndLeavesNoTemporaryFile) {
  qma::test::TempRoots roots;
  const fs::path target = roots.state() / "data.txt";
  ASSERT_TRUE(write_file_atomic(target.string(), std::string("first\0line", 10)).ok());
  ASSERT_EQ(chmod(target.c_str(), 0600), 0);
  ASSERT_TRUE(write_file_atomic(target.string(), "second").ok());

  auto read = read_file(target.string());
  ASSERT_TRUE(read.ok());
  EXPECT_EQ(*read, "second");
  struct stat st {};
  ASSERT_EQ(stat(target.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  size_t entries = 0;
  for (const auto& entry : fs::directory_iterator(roots.state())) {
    ++entries;
    EXPECT_EQ(entry.path().filename(), "data.txt");
  }
  EXPECT_EQ(entries, 1u);
}

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

TEST(FileIo, TheLockExcludesAnotherProcessUntilReleased) {
  qma::test::TempRoots roots;
  const std::string lock_path = (roots.state() / "x.lock").string();
  const fs::path mark = roots.state() / "child-got-lock";
  int go[2];
  ASSERT_EQ(pipe(go), 0);
  // The child is forked before the lock is taken: a child forked while the lock
  // is held would share the locked descriptor and hold the lock itself.
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(go[1]);
    char c = 0;
    if (read(go[0], &c, 1) != 1) _exit(3);
    auto lock = FileLock::acquire(lock_path);
    if (!lock.ok()) _exit(1);
    _exit(write_file_atomic(mark.string(), "got").ok() ? 0 : 2);
  }
  close(go[0]);
  auto held = FileLock::acquire(lock_path);
  ASSERT_TRUE(held.ok());
  ASSERT_EQ(write(go[1], "g", 1), 1);
  close(go[1]);
  // The child is now blocked in acquire (or about to be); it cannot pass while we hold the lock.
  usleep(200 * 1000);
  EXPECT_FALSE(fs::exists(mark)) << "the child took a held lock";
  { FileLock released = std::move(held.value()); }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_TRUE(fs::exists(mark));
}

}  // namespace
}  // namespace qma::platform
