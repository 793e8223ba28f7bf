// The configuration read at service start: defaults, clamping, the root-name suffix,
// relocation of moved directories, the ExConfig mirror and the agent version.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "common/log/qma_log.h"
#include "common/qma_config.h"
#include "common/qma_funcinit.h"
#include "platform/registry.h"
#include "service/qma_service.h"
#include "support/temp_roots.h"

namespace {

namespace fs = std::filesystem;
namespace p = qma::platform;
using qma::test::read_text;
using qma::test::TempRoots;

constexpr const char* kConfig = "SOFTWARE\\Norvik\\QMAgent\\Config";
constexpr const char* kExConfig = "SOFTWARE\\Norvik\\QMAgent\\ExConfig";

class Configuration : public ::testing::Test {
 protected:
  void SetUp() override {
    qma::log::reset_for_testing();
    std::memset(&g_QMAConfig, 0, sizeof(g_QMAConfig));
    bin_ = roots_.bin();
    ASSERT_EQ(QMA_FuncInit(), 0);
  }
  void TearDown() override {
    qma::service::set_move_directory(nullptr);
    qma::log::reset_for_testing();
  }

  static void set_dword(const char* key, const char* name, uint32_t value) {
    p::RegistryKey k;
    ASSERT_EQ(p::reg_create_key(key, k), 0);
    ASSERT_EQ(p::reg_set_value(k, name, p::kRegDword, &value, sizeof(value)), 0);
  }
  static void set_text(const char* key, const char* name, const std::string& value) {
    p::RegistryKey k;
    ASSERT_EQ(p::reg_create_key(key, k), 0);
    ASSERT_EQ(p::reg_set_value(k, name, p::kRegSz, value.c_str(),
                               static_cast<uint32_t>(value.size() + 1)),
              0);
  }
  static std::string text(const char* key, const char* name) {
    p::RegistryKey k;
    p::RegistryValue v;
    if (p::reg_open_key(key, k) != 0 || p::reg_get_value(k, name, v) != 0) return "<absent>";
    return std::string(v.data.c_str());  // up to the first terminator of the 260-byte value
  }
  static uint32_t dword(const char* key, const char* name) {
    p::RegistryKey k;
    p::RegistryValue v;
    uint32_t value = 0xDEADBEEF;
    if (p::reg_open_key(key, k) == 0 && p::reg_get_value(k, name, v) == 0 && v.data.size() == 4) {
      std::memcpy(&value, v.data.data(), 4);
    }
    return value;
  }
  std::string service_log() const { return read_text(bin_ / "QMAgentService.log"); }

  TempRoots roots_;
  fs::path bin_;
};

TEST_F(Configuration, FirstStartCreatesDefaultsAndMirrorsThem) {
  ASSERT_EQ(QMA_Initialize(), 1);
  std::string log_dir = (bin_ / "QMA_LOGROOT").string();
  std::string pkg_dir = (bin_ / "QMA_PKGROOT").string();
  EXPECT_EQ(g_QMAConfig.AgentEffect, 1);
  EXPECT_EQ(g_QMAConfig.LogMaxNum, 10000u);
  EXPECT_STREQ(g_QMAConfig.LogSavePath, log_dir.c_str());
  EXPECT_STREQ(g_QMAConfig.PkgSavePath, pkg_dir.c_str());
  EXPECT_STREQ(g_QMAConfig.ExLogSavePath, "");
  EXPECT_EQ(g_QMAConfig.SystemInfo, nullptr);
  EXPECT_EQ(text(kConfig, "LOG_SAVEPATH"), log_dir);
  EXPECT_EQ(text(kExConfig, "LOG_SAVEPATH"), log_dir);
  EXPECT_EQ(text(kExConfig, "PKG_SAVEPATH"), pkg_dir);
  EXPECT_EQ(dword(kExConfig, "LOGMAXNUM"), 10000u);
  // The path values are written as whole 260-byte buffers.
  p::RegistryKey k;
  p::RegistryValue v;
  ASSERT_EQ(p::reg_open_key(kConfig, k), 0);
  ASSERT_EQ(p::reg_get_value(k, "PKG_SAVEPATH", v), 0);
  EXPECT_EQ(v.data.size(), 260u);
}

TEST_F(Configuration, LogMaxNumOutsideRangeBecomesDefaultAndIsWrittenBack) {
  const std::pair<uint32_t, uint32_t> rows[] = {{50, 10000},    {99, 10000},    {100, 100},
                                                {65535, 65535}, {65536, 10000}, {70000, 10000}};
  for (const auto& [stored, used] : rows) {
    SCOPED_TRACE(stored);
    set_dword(kConfig, "LOGMAXNUM", stored);
    ASSERT_EQ(QMA_Initialize(), 1);
    EXPECT_EQ(g_QMAConfig.LogMaxNum, used);
    EXPECT_EQ(dword(kConfig, "LOGMAXNUM"), used);
    EXPECT_EQ(dword(kExConfig, "LOGMAXNUM"), used);
  }
}

TEST_F(Configuration, RootNameIsAppendedUnlessMentioned) {
  struct Row {
    const char* configured;
    const char* log_used;
  };
  const Row rows[] = {
      {"/srv/logs", "/srv/logs/QMA_LOGROOT"},
      {"/srv/logs/", "/srv/logs/QMA_LOGROOT"},
      {"/srv/QMA_LOGROOT_old", "/srv/QMA_LOGROOT_old"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.configured);
    set_text(kConfig, "LOG_SAVEPATH", row.configured);
    set_text(kExConfig, "LOG_SAVEPATH", "");
    ASSERT_EQ(QMA_Initialize(), 1);
    EXPECT_STREQ(g_QMAConfig.LogSavePath, row.log_used);
    EXPECT_EQ(text(kConfig, "LOG_SAVEPATH"), row.log_used);
  }
  set_text(kConfig, "PKG_SAVEPATH", "/srv/pkgs/");
  set_text(kExConfig, "PKG_SAVEPATH", "");
  ASSERT_EQ(QMA_Initialize(), 1);
  EXPECT_STREQ(g_QMAConfig.PkgSavePath, "/srv/pkgs/QMA_PKGROOT");
}

TEST_F(Configuration, ChangedLocationMovesTheDirectory) {
  fs::path a = roots_.base() / "A" / "QMA_LOGROOT";
  fs::path b = roots_.base() / "B" / "QMA_LOGROOT";
  fs::create_directories(a);
  fs::create_directories(b.parent_path());
  std::ofstream(a / "QMAgent.log") << "old lines\n";
  set_text(kConfig, "LOG_SAVEPATH", a.string());
  ASSERT_EQ(QMA_Initialize(), 1);  // first start: nothing to move
  EXPECT_TRUE(fs::exists(a / "QMAgent.log"));
  EXPECT_EQ(text(kExConfig, "LOG_SAVEPATH"), a.string());

  set_text(kConfig, "LOG_SAVEPATH", b.string());
  ASSERT_EQ(QMA_Initialize(), 1);
  EXPECT_STREQ(g_QMAConfig.LogSavePath, b.c_str());
  EXPECT_EQ(read_text(b / "QMAgent.log"), "old lines\n");
  EXPECT_FALSE(fs::exists(a));
  EXPECT_EQ(text(kExConfig, "LOG_SAVEPATH"), b.string());
}

TEST_F(Configuration, FailedMoveAcrossVolumesKeepsOldDirectoryInUse) {
  // A package root on another file system than the new place: the move cannot be a rename.
  fs::path other_volume = "/dev/shm";
  struct stat shm {
  }, tmp{};
  bool two_volumes = ::stat(other_volume.c_str(), &shm) == 0 &&
                     ::stat(roots_.base().c_str(), &tmp) == 0 && shm.st_dev != tmp.st_dev &&
                     ::access(other_volume.c_str(), W_OK) == 0;
  fs::path a;
  if (two_volumes) {
    a = other_volume / ("qma-test-" + std::to_string(::getpid())) / "QMA_PKGROOT";
  } else {
    a = roots_.base() / "A" / "QMA_PKGROOT";
    qma::service::set_move_directory([](const char*, const char*) { return 0; });
  }
  fs::path b = roots_.base() / "B" / "QMA_PKGROOT";
  fs::create_directories(a / "02000000");
  fs::create_directories(b.parent_path());
  set_text(kConfig, "PKG_SAVEPATH", a.string());
  ASSERT_EQ(QMA_Initialize(), 1);
  set_text(kConfig, "PKG_SAVEPATH", b.string());
  ASSERT_EQ(QMA_Initialize(), 1);
  EXPECT_STREQ(g_QMAConfig.PkgSavePath, a.c_str());
  EXPECT_TRUE(fs::exists(a / "02000000"));
  EXPECT_FALSE(fs::exists(b));
  EXPECT_EQ(text(kConfig, "PKG_SAVEPATH"), b.string());    // tried again at the next start
  EXPECT_EQ(text(kExConfig, "PKG_SAVEPATH"), a.string());  // still the place in use
  if (two_volumes) fs::remove_all(a.parent_path());
}

TEST_F(Configuration, StartSweepsStaleResultFiles) {
  fs::path module = bin_ / "QMA_PKGROOT" / "10000000";
  fs::create_directories(module);
  std::ofstream(module / "Update_normal.xml") << "<Response/>";
  std::ofstream(module / "QuillInfo.xml") << "<quillmend_package/>";
  ASSERT_EQ(QMA_Initialize(), 1);
  EXPECT_FALSE(fs::exists(module / "Update_normal.xml"));
  EXPECT_TRUE(fs::exists(module / "QuillInfo.xml"));
}

TEST_F(Configuration, AgentVersionFromFileOrDefault) {
  fs::path file = bin_ / "AgentFolder" / "QMAgent" / "QMAgent.xml";
  struct Row {
    const char* name;
    const char* content;  // nullptr: no file
    const char* version;
    const char* log_text;
  };
  const Row rows[] = {
      {"missing", nullptr, "3.1", "Failed to get Version from QMAgent.xml"},
      {"broken", "<service><version>9.9", "3.1", "Failed to get Version from QMAgent.xml"},
      {"no_version", "<service><name>x</name></service>", "3.1",
       "Failed to get Version from QMAgent.xml"},
      {"good", "<service><version>3.1.0.12</version></service>", "3.1.0.12",
       "Get Version from QMAgent.xml : 3.1.0.12"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    fs::remove(file);
    if (row.content != nullptr) {
      fs::create_directories(file.parent_path());
      std::ofstream(file) << row.content;
    }
    ASSERT_EQ(QMA_Initialize(), 1);
    EXPECT_STREQ(g_QMAConfig.AgentVersion, row.version);
    std::string log = service_log();
    auto last = log.rfind("QMA_Initialize() end.");
    auto found = log.rfind(row.log_text);
    EXPECT_TRUE(found != std::string::npos && found < last &&
                found > log.rfind("QMA_Initialize() start."));
  }
}

}  // namespace

namespace {

TEST(DisplayName, JapaneseSystemLanguageGivesTheShortName) {
  struct Row {
    const char* name;
    const char* locale_conf;     // etc/locale.conf, nullptr: none
    const char* default_locale;  // etc/default/locale, nullptr: none
    const char* env_lang;        // LANG of the process, nullptr: unset
    bool japanese;
  };
  const Row rows[] = {
      {"locale_conf_japanese", "LANG=ja_JP.UTF-8\n", nullptr, "en_US.UTF-8", true},
      {"locale_conf_english_beats_process", "LANG=en_US.UTF-8\n", nullptr, "ja_JP.UTF-8", false},
      {"messages_category_wins", "LANG=ja_JP.UTF-8\nLC_MESSAGES=C\n", nullptr, nullptr, false},
      {"quoted_debian_file", nullptr, "# system locale\nLANG=\"ja_JP.eucJP\"\n", nullptr, true},
      {"process_environment_when_no_file", nullptr, nullptr, "ja_JP.UTF-8", true},
      {"c_locale", nullptr, nullptr, "C", false},
      {"nothing_set", nullptr, nullptr, nullptr, false},
  };
  const char* saved[] = {"LANG", "LC_ALL", "LC_MESSAGES"};
  std::string old[3];
  bool had[3];
  for (int i = 0; i < 3; ++i) {
    const char* value = std::getenv(saved[i]);
    had[i] = value != nullptr;
    old[i] = value ? value : "";
    unsetenv(saved[i]);
  }
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    TempRoots roots;
    if (row.locale_conf) roots.write_host_file("etc/locale.conf", row.locale_conf);
    if (row.default_locale) roots.write_host_file("etc/default/locale", row.default_locale);
    if (row.env_lang) {
      setenv("LANG", row.env_lang, 1);
    } else {
      unsetenv("LANG");
    }
    EXPECT_EQ(qma::service::system_language_is_japanese(), row.japanese);
    EXPECT_STREQ(qma::service::display_name(),
                 row.japanese ? "Quillmend Agent" : "Norvik Quillmend Agent");
  }
  for (int i = 0; i < 3; ++i) {
    if (had[i]) {
      setenv(saved[i], old[i].c_str(), 1);
    } else {
      unsetenv(saved[i]);
    }
  }
}

}  // namespace
