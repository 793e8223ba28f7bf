// The registry file under killed writers and hostile shapes: stale temporary files are
// cleaned under the writers' lock, the file is never left half written, and the limits
// of the Windows registry hold.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "hardening/hardening_support.h"
#include "platform/clock.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "support/temp_roots.h"

namespace {

namespace fs = std::filesystem;
namespace p = qma::platform;

std::vector<std::string> temporaries(const fs::path& state) {
  std::vector<std::string> found;
  for (const auto& entry : fs::directory_iterator(state)) {
    std::string name = entry.path().filename().string();
    if (name.rfind("registry.reg.tmp", 0) == 0) found.push_back(name);
  }
  return found;
}

int set_text(const std::string& key_path, const std::string& name, const std::string& text) {
  p::RegistryKey key;
  int rc = p::reg_create_key(key_path, key);
  if (rc != 0) return rc;
  return p::reg_set_value(key, name, p::kRegSz, text.c_str(),
                          static_cast<uint32_t>(text.size() + 1));
}

TEST(RegistryWriters, KilledWritersLeaveNoTemporaryFileForLong) {
  qma::test::TempRoots roots;
  // A registry large enough that a write takes a moment to be killed in.
  {
    std::ofstream out(roots.state() / "registry.reg");
    out << "Windows Registry Editor Version 5.00\n\n";
    for (int i = 0; i < 3000; ++i) {
      out << "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Bulk\\Key" << i << "]\n\"V\"=\"" << i << "\"\n\n";
    }
  }
  const std::string qmareg = qma::test::program_path("qmareg");
  std::mt19937 random(12345);
  int killed = 0;
  for (int i = 0; i < 60; ++i) {
    std::string command =
        "qmareg add HKLM\\SOFTWARE\\Test /v N" + std::to_string(i) + " /t REG_SZ /d value /f";
    auto writer = p::Process::spawn(qmareg, command, roots.base().string());
    ASSERT_TRUE(writer.ok());
    p::sleep_ms(random() % 12);
    if (writer->wait(0) == p::WaitStatus::kTimeout) {
      (void)writer->kill_tree();
      ++killed;
    }
    (void)writer->wait(5000);
  }
  // A writer killed by hand outside this run left one as well.
  std::ofstream(roots.state() / "registry.reg.tmpK1ll3d") << "half a regis";
  EXPECT_GT(killed, 0);
  ASSERT_EQ(set_text("SOFTWARE\\Test", "After", "kills"), 0);
  EXPECT_EQ(temporaries(roots.state()), std::vector<std::string>{})
      << "the next writer cleans up under the lock";
  // Whatever was killed, the file is whole: every bulk key is there, nothing unreadable.
  p::RegistryKey key;
  p::RegistryValue value;
  ASSERT_EQ(p::reg_open_key("SOFTWARE\\Bulk\\Key2999", key), 0);
  ASSERT_EQ(p::reg_get_value(key, "V", value), 0);
  EXPECT_EQ(value.data, std::string("2999", 5));
  EXPECT_EQ(p::registry_file_problem(), "");
}

TEST(RegistryWriters, LimitsOfTheWindowsRegistryHold) {
  qma::test::TempRoots roots;
  auto deep = [](size_t levels) {
    std::string path = "SOFTWARE";
    for (size_t i = 1; i < levels; ++i) path += "\\k";
    return path;
  };
  p::RegistryKey key;
  EXPECT_EQ(p::reg_create_key(deep(512), key), 0);
  EXPECT_EQ(p::reg_create_key(deep(513), key), p::kErrorBadPathname);
  EXPECT_EQ(p::reg_create_key("SOFTWARE\\" + std::string(255, 'n'), key), 0);
  EXPECT_EQ(p::reg_create_key("SOFTWARE\\" + std::string(256, 'n'), key), p::kErrorBadPathname);
  ASSERT_EQ(p::reg_create_key("SOFTWARE\\Names", key), 0);
  uint32_t one = 1;
  EXPECT_EQ(p::reg_set_value(key, std::string(16383, 'v'), p::kRegDword, &one, 4), 0);
  EXPECT_EQ(p::reg_set_value(key, std::string(16384, 'v'), p::kRegDword, &one, 4),
            p::kErrorInvalidParameter);

  // A file written by hand with a key 1,000 levels deep: the key is kept as it stands,
  // reported, and never used; the rest of the file reads as before.
  std::string too_deep = "[HKEY_LOCAL_MACHINE\\" + deep(1000) + "]";
  {
    std::ofstream out(roots.state() / "registry.reg");
    out << "Windows Registry Editor Version 5.00\n\n"
        << too_deep << "\n\"V\"=dword:00000001\n\n"
        << "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kept]\n\"V\"=\"yes\"\n";
  }
  ASSERT_EQ(p::reg_open_key("SOFTWARE\\Kept", key), 0);
  EXPECT_NE(p::registry_file_problem().find("line 3: unreadable key"), std::string::npos)
      << p::registry_file_problem();
  ASSERT_EQ(set_text("SOFTWARE\\Kept", "W", "x"), 0);
  std::string text = qma::test::read_text(roots.state() / "registry.reg");
  EXPECT_NE(text.find(too_deep + "\n\"V\"=dword:00000001\n"), std::string::npos);
}

}  // namespace
