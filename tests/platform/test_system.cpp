// Events, the environment, library binding and the last error on every system. The Linux
// defaults of the roots, the os-release facts and the clock's thread ids are in
// test_system_linux.cpp.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "platform/clock.h"
#include "platform/dynlib.h"
#include "platform/environment.h"
#include "platform/error.h"
#include "platform/event.h"
#include "platform/host.h"
#include "platform/semaphore.h"
#include "support/temp_roots.h"

namespace qma::platform {
namespace {

TEST(Event, ManualResetStaysSetUntilReset) {
  Event event(true, false);
  EXPECT_EQ(event.wait(0), WaitStatus::kTimeout);
  event.set();
  EXPECT_EQ(event.wait(0), WaitStatus::kSignaled);
  EXPECT_EQ(event.wait(0), WaitStatus::kSignaled);
  event.reset();
  EXPECT_EQ(event.wait(10), WaitStatus::kTimeout);
}

TEST(Event, AutoResetIsClearedByTheWaitItEnds) {
  Event event(false, true);
  EXPECT_EQ(event.wait(0), WaitStatus::kSignaled);
  EXPECT_EQ(event.wait(10), WaitStatus::kTimeout);
  event.set();
  EXPECT_EQ(event.wait(0), WaitStatus::kSignaled);
  EXPECT_EQ(event.wait(0), WaitStatus::kTimeout);
}

TEST(Event, SetFromAnotherThreadEndsAnEndlessWait) {
  Event event(false, false);
  std::atomic<bool> woke{false};
  std::thread waiter([&] {
    EXPECT_EQ(event.wait(kInfinite), WaitStatus::kSignaled);
    woke = true;
  });
  sleep_ms(20);
  EXPECT_FALSE(woke);
  event.set();
  waiter.join();
  EXPECT_TRUE(woke);
}

TEST(Semaphore, CountsPostsAndWaitsForTheNextFromAnotherThread) {
  Semaphore semaphore;
  EXPECT_FALSE(semaphore.wait(0));
  EXPECT_FALSE(semaphore.wait(20));
  semaphore.post();
  semaphore.post();
  EXPECT_TRUE(semaphore.wait(0));
  EXPECT_TRUE(semaphore.wait(kInfinite));
  EXPECT_FALSE(semaphore.wait(0)) << "two posts allow two waits, no more";
  std::atomic<int> woke{0};
  std::thread waiter([&] {
    if (semaphore.wait(5000)) ++woke;
    if (semaphore.wait(kInfinite)) ++woke;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_EQ(woke.load(), 0);
  semaphore.post();
  semaphore.post();
  waiter.join();
  EXPECT_EQ(woke.load(), 2);
}

TEST(Environment, ExpandsKnownReferencesOnly) {
  test::TempRoots roots;
  ASSERT_TRUE(set_env("QMA_T_HOME", "/opt/qma").ok());
  ASSERT_TRUE(set_env("QMA_T_EMPTY", "").ok());
  qma::test::unset_env("QMA_T_UNSET");
  const struct {
    const char* text;
    const char* expanded;
  } cases[] = {
      {"%QMA_T_HOME%/bin", "/opt/qma/bin"},
      {"%QMA_T_HOME%%QMA_T_HOME%", "/opt/qma/opt/qma"},
      {"x%QMA_T_EMPTY%y", "xy"},
      {"%QMA_T_UNSET%/bin", "%QMA_T_UNSET%/bin"},
      {"100% of %QMA_T_HOME%", "100% of /opt/qma"},
      {"50%", "50%"},
      {"%%", "%%"},
      {"no references", "no references"},
  };
  for (const auto& c : cases) EXPECT_EQ(expand_env_references(c.text), c.expanded) << c.text;
  EXPECT_EQ(get_env("QMA_T_HOME"), "/opt/qma");
  EXPECT_EQ(get_env("QMA_T_UNSET"), std::nullopt);
  EXPECT_EQ(set_env("BAD=NAME", "x").error(), kErrorEnvNameRefused);
  qma::test::unset_env("QMA_T_HOME");
  qma::test::unset_env("QMA_T_EMPTY");
}

TEST(DynamicLibrary, BindsLibxml2AndReportsMissingNames) {
  auto lib = DynamicLibrary::load(kXmlReaderLibraryName);
  ASSERT_TRUE(lib.ok()) << lib.error();
  EXPECT_NE(lib->symbol("xmlReaderForFile"), nullptr);
  EXPECT_EQ(lib->symbol("xmlNoSuchEntryPoint"), nullptr);
  EXPECT_EQ(last_error(), kErrorSymbolMissing);
  DynamicLibrary moved = std::move(lib.value());
  EXPECT_NE(moved.symbol("xmlFreeTextReader"), nullptr);
  EXPECT_TRUE(moved.unload());
  EXPECT_EQ(moved.symbol("xmlFreeTextReader"), nullptr);

  auto missing = DynamicLibrary::load("libQMANoSuchLibrary.so");
  EXPECT_FALSE(missing.ok());
  EXPECT_FALSE(DynamicLibrary::load(std::string("/nonexistent/dir/") + kXmlReaderLibraryName).ok());
}

TEST(LastError, IsKeptPerThread) {
  set_last_error(kErrorPipeBusy);
  int other = -1;
  std::thread([&] {
    other = last_error();
    set_last_error(kErrorServiceExists);
  }).join();
  EXPECT_EQ(other, 0);
  EXPECT_EQ(last_error(), kErrorPipeBusy);
}

}  // namespace
}  // namespace qma::platform
