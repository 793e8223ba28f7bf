// Whole-file reads, atomic replacement and the cross-process file lock on Linux: modes, a lock
// held against a forked process, FIFOs, sockets and devices in a file's place.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
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

// What a tool may leave in place of a file the agent reads or writes; none of it may make the
// caller wait, follow a link or read past the bound.
TEST(FileIo, RegularFileReadsAndWritesRefuseWhatIsNoBoundedRegularFile) {
  qma::test::TempRoots roots;
  const fs::path dir = roots.state();
  std::ofstream(dir / "Small.xml") << "abc";
  std::ofstream(dir / "four") << "abcd";
  std::ofstream(dir / "target") << "kept";
  { std::ofstream(dir / "huge") << "<Response>"; }
  ASSERT_EQ(truncate((dir / "huge").c_str(), 1LL << 30), 0) << "sparse: it uses no disk";
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0644), 0);
  fs::create_symlink(dir / "target", dir / "link");
  fs::create_symlink(dir / "fifo", dir / "link-to-fifo");
  fs::create_directory(dir / "folder");
  int sock = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(sock, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", (dir / "socket").c_str());
  ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  // A device node of its own (the null device), where the test may make one.
  const bool device = mknod((dir / "device").c_str(), S_IFCHR | 0600, makedev(1, 3)) == 0;

  struct Row {
    const char* name;
    size_t max;
    int error;  // 0: read, with the content below
    const char* content;
  };
  const Row rows[] = {
      {"Small.xml", 3, 0, "abc"},
      {"small.XML", 3, 0, "abc"},  // the last component is found without regard to case
      {"four", 3, EFBIG, nullptr},
      {"huge", kXmlFileMax, EFBIG, nullptr},
      {"fifo", kXmlFileMax, EPERM, nullptr},
      {"link", kXmlFileMax, ELOOP, nullptr},
      {"link-to-fifo", kXmlFileMax, ELOOP, nullptr},
      {"folder", kXmlFileMax, EPERM, nullptr},
      {"socket", kXmlFileMax, EPERM, nullptr},
      {"device", kXmlFileMax, EPERM, nullptr},
      {"absent", kXmlFileMax, ENOENT, nullptr},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    if (std::string(row.name) == "device" && !device) continue;
    auto read = read_regular_file((dir / row.name).string(), row.max);
    if (row.error == 0) {
      ASSERT_TRUE(read.ok()) << read.error();
      EXPECT_EQ(*read, row.content);
    } else {
      ASSERT_FALSE(read.ok());
      EXPECT_EQ(read.error(), row.error);
    }
  }

  // Writes: a FIFO with or without a reader, a link and a socket are refused and left alone.
  int reader = open((dir / "fifo").c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  bool opened = true;
  Status written = write_regular_file((dir / "fifo").string(), "x", &opened);
  EXPECT_EQ(written.error(), EPERM);
  EXPECT_FALSE(opened);
  char byte;
  EXPECT_EQ(::read(reader, &byte, 1), 0) << "nothing reached the FIFO's reader";
  close(reader);
  EXPECT_EQ(write_regular_file((dir / "fifo").string(), "x").error(), EPERM);
  EXPECT_EQ(write_regular_file((dir / "link").string(), "x").error(), ELOOP);
  EXPECT_EQ(write_regular_file((dir / "socket").string(), "x").error(), EPERM);
  EXPECT_EQ(read_file((dir / "target").string()).value(), "kept");
  EXPECT_TRUE(fs::is_fifo(dir / "fifo"));
  // A regular file is replaced in place, and a missing one made.
  ASSERT_TRUE(write_regular_file((dir / "four").string(), "z", &opened).ok());
  EXPECT_TRUE(opened);
  EXPECT_EQ(read_file((dir / "four").string()).value(), "z");
  ASSERT_TRUE(write_regular_file((dir / "new").string(), "n").ok());
  EXPECT_EQ(read_file((dir / "new").string()).value(), "n");
  close(sock);
}

}  // namespace
}  // namespace qma::platform
