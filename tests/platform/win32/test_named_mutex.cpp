// Named mutexes on Windows: one object per name and state folder, recursion, owners that die.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "platform/environment.h"
#include "platform/error.h"
#include "platform/named_mutex.h"
#include "platform/named_mutex_waits.h"
#include "platform/process.h"
#include "temp_state.h"

namespace qma::platform {
namespace {

using test::TempState;

constexpr int kErrorNotOwner = 288;

using qma::test::wait_from_other_thread;

TEST(Win32NamedMutex, OpenFindsOnlyWhatCreateMadeInTheSameStateFolder) {
  TempState first;
  set_last_error(0);
  auto missing = NamedMutex::open("QMA_W32_MUTEX");
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error(), kErrorFileNotFound);
  EXPECT_EQ(last_error(), kErrorFileNotFound);

  auto created = NamedMutex::create("QMA_W32_MUTEX");
  ASSERT_TRUE(created.ok()) << created.error();
  auto opened = NamedMutex::open("QMA_W32_MUTEX");
  ASSERT_TRUE(opened.ok()) << opened.error();
  ASSERT_EQ(created->wait(0), WaitStatus::kSignaled);
  EXPECT_EQ(wait_from_other_thread(*opened, 0), WaitStatus::kTimeout) << "one mutex, two handles";

  {
    // Another state folder (a test running at the same time) has a mutex of its own.
    TempState second;
    EXPECT_FALSE(NamedMutex::open("QMA_W32_MUTEX").ok());
    auto other = NamedMutex::create("QMA_W32_MUTEX");
    ASSERT_TRUE(other.ok());
    EXPECT_EQ(wait_from_other_thread(*other, 0), WaitStatus::kSignaled);
  }
  ASSERT_TRUE(set_env("QMA_STATE_DIR", first.path("state")).ok());
  EXPECT_TRUE(created->release());
  EXPECT_EQ(wait_from_other_thread(*opened, 0), WaitStatus::kSignaled);
}

TEST(Win32NamedMutex, NamesThatCouldReachAnotherNamespaceAreRefused) {
  TempState state;
  for (const char* name : {"", ".", "..", "a/b", "a\\b", "Global\\QMA", "Session\\1\\QMA"}) {
    EXPECT_FALSE(NamedMutex::create(name).ok()) << "name [" << name << "]";
    EXPECT_FALSE(NamedMutex::open(name).ok()) << "name [" << name << "]";
  }
  EXPECT_FALSE(NamedMutex::create(std::string(201, 'x')).ok());
}

TEST(Win32NamedMutex, OwnerReleasesAsOftenAsItWaitedAndOnlyTheOwnerMay) {
  TempState state;
  auto mutex = NamedMutex::create("QMA_W32_RECURSION");
  ASSERT_TRUE(mutex.ok());
  for (int i = 0; i < 3; ++i) ASSERT_EQ(mutex->wait(0), WaitStatus::kSignaled) << "level " << i;
  bool released_by_other = true;
  std::thread([&] { released_by_other = mutex->release(); }).join();
  EXPECT_FALSE(released_by_other) << "a thread that does not own it released it";
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(wait_from_other_thread(*mutex, 0), WaitStatus::kTimeout) << "held at level " << 3 - i;
    EXPECT_TRUE(mutex->release());
  }
  set_last_error(0);
  EXPECT_FALSE(mutex->release()) << "released more often than owned";
  EXPECT_EQ(last_error(), kErrorNotOwner);
  EXPECT_EQ(wait_from_other_thread(*mutex, 0), WaitStatus::kSignaled);
}

TEST(Win32NamedMutex, OwnerProcessThatEndsHoldingItLeavesItAbandonedAndUsable) {
  const struct {
    const char* what;
    bool killed;
  } rows[] = {{"owner exits without releasing", false}, {"owner killed", true}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    TempState state;
    auto mutex = NamedMutex::create("QMA_W32_ABANDONED");
    ASSERT_TRUE(mutex.ok());
    const std::string ready = state.path("ready.txt");
    Process owner = test::start_helper(
        std::string("hold QMA_W32_ABANDONED \"") + ready + "\" " + (row.killed ? "60000" : "300"),
        state.base());
    ASSERT_EQ(test::wait_for_file(ready), "owned");
    EXPECT_EQ(mutex->wait(50), WaitStatus::kTimeout) << "the other process owns it";
    if (row.killed) {
      ASSERT_TRUE(kill_process(owner.id()).ok());
    }
    ASSERT_EQ(owner.wait(10000), WaitStatus::kSignaled);

    EXPECT_EQ(mutex->wait(5000), WaitStatus::kAbandoned);
    EXPECT_TRUE(mutex->release());
    EXPECT_FALSE(mutex->release()) << "the dead owner's recursion count was inherited";
    EXPECT_EQ(wait_from_other_thread(*mutex, 100), WaitStatus::kSignaled);
  }
}

}  // namespace
}  // namespace qma::platform
