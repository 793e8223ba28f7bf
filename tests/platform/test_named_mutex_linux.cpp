// Named mutexes between forked processes on Linux: the mutex file, exclusion across processes,
// abandoned owners.
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>
#include <vector>

#include "platform/error.h"
#include "platform/named_mutex.h"
#include "platform/named_mutex_waits.h"
#include "support/temp_roots.h"

namespace qma::platform {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

/// Waits for a forked child and returns its exit status (-1 when it was killed).
int reap(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return WIFSIGNALED(status) ? -WTERMSIG(status) : -1000;
}

using qma::test::wait_from_other_thread;

TEST(NamedMutex, OpenOfMissingNameFailsWithFileNotFound) {
  qma::test::TempRoots roots;
  set_last_error(0);
  auto missing = NamedMutex::open("QMA_NO_SUCH_MUTEX");
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error(), kErrorFileNotFound);
  EXPECT_EQ(last_error(), kErrorFileNotFound);

  auto created = NamedMutex::create("QMA_NO_SUCH_MUTEX");
  ASSERT_TRUE(created.ok());
  EXPECT_TRUE(std::filesystem::exists(roots.state() / "mutex" / "QMA_NO_SUCH_MUTEX"));
  auto opened = NamedMutex::open("QMA_NO_SUCH_MUTEX");
  ASSERT_TRUE(opened.ok());
  // Both handles name one mutex: owning it through one keeps other threads out of the other.
  ASSERT_EQ(created->wait(0), WaitStatus::kSignaled);
  EXPECT_EQ(wait_from_other_thread(*opened, 0), WaitStatus::kTimeout);
  EXPECT_TRUE(created->release());
  EXPECT_EQ(wait_from_other_thread(*opened, 0), WaitStatus::kSignaled);
}

TEST(NamedMutex, ProcessesThatCreateItAtOnceExcludeEachOther) {
  qma::test::TempRoots roots;
  const auto counter_path = roots.base() / "counter";
  int fd = ::open(counter_path.c_str(), O_RDWR | O_CREAT, 0644);
  ASSERT_GE(fd, 0);
  int zero = 0;
  ASSERT_EQ(pwrite(fd, &zero, sizeof zero, 0), static_cast<ssize_t>(sizeof zero));

  constexpr int kChildren = 4;
  constexpr int kRounds = 300;
  std::vector<pid_t> children;
  for (int c = 0; c < kChildren; ++c) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      // Every child creates the mutex itself, so the first use races as well.
      auto mutex = NamedMutex::create("QMA_CROSS_PROCESS");
      if (!mutex.ok()) _exit(10);
      for (int r = 0; r < kRounds; ++r) {
        if (mutex->wait(kInfinite) != WaitStatus::kSignaled) _exit(11);
        int value = 0;
        if (pread(fd, &value, sizeof value, 0) != sizeof value) _exit(12);
        sched_yield();  // invites a lost update if another process got in
        ++value;
        if (pwrite(fd, &value, sizeof value, 0) != sizeof value) _exit(13);
        if (!mutex->release()) _exit(14);
      }
      _exit(0);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) EXPECT_EQ(reap(pid), 0);
  int total = -1;
  ASSERT_EQ(pread(fd, &total, sizeof total, 0), static_cast<ssize_t>(sizeof total));
  ::close(fd);
  EXPECT_EQ(total, kChildren * kRounds);
}

TEST(NamedMutex, AnotherProcessWaitsWhileThisOneOwnsIt) {
  qma::test::TempRoots roots;
  auto mutex = NamedMutex::create("QMA_HELD_BY_PARENT");
  ASSERT_TRUE(mutex.ok());
  ASSERT_EQ(mutex->wait(0), WaitStatus::kSignaled);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    auto other = NamedMutex::open("QMA_HELD_BY_PARENT");
    if (!other.ok()) _exit(10);
    _exit(other->wait(30) == WaitStatus::kTimeout ? 0 : 20);
  }
  EXPECT_EQ(reap(pid), 0) << "the child must time out while the parent owns the mutex";
  EXPECT_TRUE(mutex->release());
}

TEST(NamedMutex, OwnerThatDiesHoldingItLeavesItAbandonedAndUsable) {
  struct Row {
    const char* name;
    bool owner_is_process;  // otherwise a thread of this process that ends
  };
  const Row rows[] = {{"owner process killed", true}, {"owner thread ended", false}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    qma::test::TempRoots roots;
    auto mutex = NamedMutex::create("QMA_ABANDONED");
    ASSERT_TRUE(mutex.ok());
    if (row.owner_is_process) {
      pid_t pid = fork();
      ASSERT_GE(pid, 0);
      if (pid == 0) {
        auto own = NamedMutex::open("QMA_ABANDONED");
        if (!own.ok() || own->wait(kInfinite) != WaitStatus::kSignaled) _exit(10);
        (void)own->wait(0);  // owned twice: recursion must not survive the owner
        raise(SIGKILL);
        _exit(11);
      }
      ASSERT_EQ(reap(pid), -SIGKILL);
    } else {
      std::thread([&] { EXPECT_EQ(mutex->wait(0), WaitStatus::kSignaled); }).join();
    }
    EXPECT_EQ(mutex->wait(100), WaitStatus::kAbandoned);
    EXPECT_TRUE(mutex->release());
    EXPECT_FALSE(mutex->release()) << "the dead owner's recursion count was inherited";
    EXPECT_EQ(wait_from_other_thread(*mutex, 100), WaitStatus::kSignaled);
  }
}

}  // namespace
}  // namespace qma::platform
