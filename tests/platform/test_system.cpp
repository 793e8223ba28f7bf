// Events, environment and roots, library binding, host facts, clock and last error.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
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
  unsetenv("QMA_T_UNSET");
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
  EXPECT_EQ(set_env("BAD=NAME", "x").error(), EINVAL);
  unsetenv("QMA_T_HOME");
  unsetenv("QMA_T_EMPTY");
}

TEST(Environment, RootsComeFromTheVariables) {
  {
    test::TempRoots roots;
    EXPECT_EQ(state_dir(), roots.state().string());
    EXPECT_EQ(host_root(), roots.host().string());
    EXPECT_EQ(host_path("etc/os-release"), (roots.host() / "etc/os-release").string());
    EXPECT_EQ(host_path("/proc/stat"), (roots.host() / "proc/stat").string());
    EXPECT_FALSE(host_is_real());
  }
  std::string saved_state = getenv("QMA_STATE_DIR");
  std::string saved_host = getenv("QMA_HOST_ROOT");
  unsetenv("QMA_STATE_DIR");
  unsetenv("QMA_HOST_ROOT");
  EXPECT_EQ(state_dir(), "/var/lib/qmagent");
  EXPECT_EQ(host_root(), "/");
  EXPECT_EQ(host_path("etc/os-release"), "/etc/os-release");
  EXPECT_TRUE(host_is_real());
  setenv("QMA_STATE_DIR", saved_state.c_str(), 1);
  setenv("QMA_HOST_ROOT", saved_host.c_str(), 1);
}

TEST(DynamicLibrary, BindsLibxml2AndReportsMissingNames) {
  auto lib = DynamicLibrary::load("libxml2.so.2");
  ASSERT_TRUE(lib.ok()) << lib.error();
  EXPECT_NE(lib->symbol("xmlReaderForFile"), nullptr);
  EXPECT_EQ(lib->symbol("xmlNoSuchEntryPoint"), nullptr);
  EXPECT_EQ(last_error(), ENOENT);
  DynamicLibrary moved = std::move(lib.value());
  EXPECT_NE(moved.symbol("xmlFreeTextReader"), nullptr);
  EXPECT_TRUE(moved.unload());
  EXPECT_EQ(moved.symbol("xmlFreeTextReader"), nullptr);

  auto missing = DynamicLibrary::load("libQMANoSuchLibrary.so");
  EXPECT_FALSE(missing.ok());
  EXPECT_FALSE(DynamicLibrary::load("/nonexistent/dir/libxml2.so.2").ok());
}

TEST(Host, OsVersionComesFromOsRelease) {
  const struct {
    const char* name;
    const char* file;
    const char* content;
    uint32_t major, minor;
  } cases[] = {
      {"single number", "etc/os-release", "NAME=\"Debian GNU/Linux\"\nVERSION_ID=\"12\"\n", 12, 0},
      {"leading zero of the minor", "etc/os-release", "VERSION_ID=\"22.04\"\nID=ubuntu\n", 22, 4},
      {"unquoted, three parts", "etc/os-release", "ID=alpine\nVERSION_ID=3.18.4\n", 3, 18},
      {"single quotes and CRLF", "etc/os-release", "VERSION_ID='9.3'\r\n", 9, 3},
      // A rolling release is still a known system, numbered 0.0.
      {"no version", "etc/os-release", "NAME=Arch\nBUILD_ID=rolling\n", 0, 0},
      {"not a number", "etc/os-release", "VERSION_ID=\"rolling\"\n", 0, 0},
      {"only the vendor's copy", "usr/lib/os-release", "VERSION_ID=\"11\"\n", 11, 0},
  };
  for (const auto& c : cases) {
    test::TempRoots roots;
    roots.write_host_file(c.file, c.content);
    auto version = os_version();
    ASSERT_TRUE(version.ok()) << c.name << ": " << version.error();
    EXPECT_EQ(version->major, c.major) << c.name;
    EXPECT_EQ(version->minor, c.minor) << c.name;
    EXPECT_EQ(version->build, 0u) << c.name;
    EXPECT_EQ(version->service_pack_major, 0u) << c.name;
    EXPECT_EQ(version->product_type, 3u) << c.name;
    EXPECT_EQ(version->suite_mask, 0u) << c.name;
    EXPECT_EQ(version->platform_id, kPlatformLinux) << c.name;
  }
  test::TempRoots empty;
  auto absent = os_version();
  ASSERT_FALSE(absent.ok());
  EXPECT_EQ(absent.error(), ENOENT);
  EXPECT_EQ(last_error(), ENOENT);
}

TEST(Host, NameAndBitness) {
  char expected[256] = {};
  ASSERT_EQ(gethostname(expected, sizeof expected - 1), 0);
  auto name = host_name();
  ASSERT_TRUE(name.ok());
  EXPECT_EQ(*name, expected);
  if (sizeof(void*) == 8) {
    EXPECT_TRUE(os_is_64bit());
  }
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

TEST(Clock, LocalTimeIsPlausible) {
  LocalTime now = local_time_now();
  EXPECT_GE(now.year, 2020);
  EXPECT_TRUE(now.month >= 1 && now.month <= 12);
  EXPECT_TRUE(now.millisecond >= 0 && now.millisecond <= 999);
  uint64_t before = monotonic_ms();
  sleep_ms(20);
  EXPECT_GE(monotonic_ms() - before, 20u);
  unsigned long mine = current_thread_id();
  unsigned long theirs = 0;
  std::thread([&] { theirs = current_thread_id(); }).join();
  EXPECT_EQ(mine, static_cast<unsigned long>(getpid()));
  EXPECT_NE(mine, theirs);
}

}  // namespace
}  // namespace qma::platform
