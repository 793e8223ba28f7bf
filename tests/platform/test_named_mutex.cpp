// Named mutexes within one process: recursion, ownership by thread, timed waits. Exclusion
// across processes and abandoned owners are tested in test_named_mutex_linux.cpp.
#include <gtest/gtest.h>

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

using qma::test::wait_from_other_thread;

TEST(NamedMutex, NamesThatAreNotPlainFileNamesAreRefused) {
  qma::test::TempRoots roots;
  for (const char* name : {"", ".", "..", "a/b", "../escape"}) {
    EXPECT_FALSE(NamedMutex::create(name).ok()) << "name [" << name << "]";
  }
}

TEST(NamedMutex, OwnerMayWaitAgainAndMustReleaseAsOftenAsItWaited) {
  qma::test::TempRoots roots;
  auto mutex = NamedMutex::create("QMA_RECURSION");
  ASSERT_TRUE(mutex.ok());
  for (int i = 0; i < 3; ++i) ASSERT_EQ(mutex->wait(0), WaitStatus::kSignaled) << "level " << i;
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(wait_from_other_thread(*mutex, 0), WaitStatus::kTimeout) << "held at level " << 3 - i;
    EXPECT_TRUE(mutex->release());
  }
  set_last_error(0);
  EXPECT_FALSE(mutex->release()) << "released more often than owned";
  EXPECT_NE(last_error(), 0);
  EXPECT_EQ(wait_from_other_thread(*mutex, 0), WaitStatus::kSignaled);
}

TEST(NamedMutex, ReleaseByAThreadThatDoesNotOwnItFails) {
  qma::test::TempRoots roots;
  auto mutex = NamedMutex::create("QMA_NOT_OWNER");
  ASSERT_TRUE(mutex.ok());
  ASSERT_EQ(mutex->wait(0), WaitStatus::kSignaled);
  bool released = true;
  std::thread([&] { released = mutex->release(); }).join();
  EXPECT_FALSE(released);
  EXPECT_TRUE(mutex->release());
}

TEST(NamedMutex, WaitTimesOutWhileAnotherThreadHoldsIt) {
  qma::test::TempRoots roots;
  auto mutex = NamedMutex::create("QMA_TIMEOUT");
  ASSERT_TRUE(mutex.ok());
  std::atomic<bool> held{false}, done{false};
  std::thread holder([&] {
    EXPECT_EQ(mutex->wait(kInfinite), WaitStatus::kSignaled);
    held = true;
    while (!done) std::this_thread::sleep_for(milliseconds(1));
    EXPECT_TRUE(mutex->release());
  });
  while (!held) std::this_thread::sleep_for(milliseconds(1));

  auto start = steady_clock::now();
  EXPECT_EQ(mutex->wait(60), WaitStatus::kTimeout);
  EXPECT_GE(steady_clock::now() - start, milliseconds(55)) << "gave up before the time limit";
  EXPECT_EQ(mutex->wait(0), WaitStatus::kTimeout);

  done = true;
  EXPECT_EQ(mutex->wait(5000), WaitStatus::kSignaled) << "the holder's release must end the wait";
  EXPECT_TRUE(mutex->release());
  holder.join();
}

}  // namespace
}  // namespace qma::platform
