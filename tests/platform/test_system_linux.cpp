// Linux facts of the platform layer: the roots' defaults, os-release, the host name and the
// clock's thread ids.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <thread>

#include "platform/clock.h"
#include "platform/environment.h"
#include "platform/error.h"
#include "platform/host.h"
#include "support/temp_roots.h"

namespace qma::platform {
namespace {

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
  qma::test::unset_env("QMA_STATE_DIR");
  qma::test::unset_env("QMA_HOST_ROOT");
  EXPECT_EQ(state_dir(), "/var/lib/qmagent");
  EXPECT_EQ(host_root(), "/");
  EXPECT_EQ(host_path("etc/os-release"), "/etc/os-release");
  EXPECT_TRUE(host_is_real());
  qma::test::set_env("QMA_STATE_DIR", saved_state.c_str());
  qma::test::set_env("QMA_HOST_ROOT", saved_host.c_str());
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
