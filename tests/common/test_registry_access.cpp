// The agent's registry readers and writer: self-healing defaults, exact types and sizes, log lines.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>

#include "common/host/qma_system.h"
#include "common/log/qma_log.h"
#include "platform/registry.h"
#include "tests/support/temp_roots.h"

namespace {

using qma::test::read_text;
namespace reg = qma::platform;

constexpr char kConfig[] = "SOFTWARE\\Norvik\\QMAgent\\Config";

class RegistryAccess : public ::testing::Test {
 protected:
  void SetUp() override { qma::log::reset_for_testing(); }

  std::string service_log() const { return read_text(roots_.bin() / "QMAgentService.log"); }
  std::string registry_text() const { return read_text(roots_.state() / "registry.reg"); }
  void write_registry(const std::string& text) const {
    std::ofstream(roots_.state() / "registry.reg", std::ios::binary) << text;
  }
  /// The stored value's type and bytes, read past the functions under test.
  reg::RegistryValue stored(const char* key, const char* name) const {
    reg::RegistryKey handle;
    reg::RegistryValue value;
    EXPECT_EQ(reg::reg_open_key(key, handle), 0);
    EXPECT_EQ(reg::reg_get_value(handle, name, value), 0);
    return value;
  }

  qma::test::TempRoots roots_;
};

TEST_F(RegistryAccess, AMissingDwordIsCreatedWithItsDefaultAndReadBackLater) {
  EXPECT_EQ(QMA_Cmn_GetRegistory_dword(kConfig, "LOGMAXNUM", 10000), 10000u);
  EXPECT_NE(service_log().find("Create registory data. Key=[SOFTWARE\\Norvik\\QMAgent\\Config] "
                               "Entry=[LOGMAXNUM] Value=[10000]"),
            std::string::npos)
      << service_log();
  EXPECT_NE(
      registry_text().find(
          "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Norvik\\QMAgent\\Config]\n\"LOGMAXNUM\"=dword:00002710"),
      std::string::npos)
      << registry_text();

  // Another default does not matter once the value exists; names compare without case.
  EXPECT_EQ(QMA_Cmn_GetRegistory_dword("software\\norvik\\qmagent\\CONFIG", "logmaxnum", 5),
            10000u);
  EXPECT_NE(service_log().find(
                "Get registory data. Key=[software\\norvik\\qmagent\\CONFIG] Entry=[logmaxnum] "
                "Value=[10000]"),
            std::string::npos);
  EXPECT_EQ(registry_text().find("logmaxnum"), std::string::npos) << "the first case is kept";
}

TEST_F(RegistryAccess, AnEightByteValueReadAsDwordGivesTheDefaultAndStaysUnchanged) {
  write_registry(
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Norvik\\QMAgent\\Config]\n"
      "\"AGENT_EFFECT\"=hex(4):02,00,00,00,00,00,00,00\n");
  EXPECT_EQ(QMA_Cmn_GetRegistory_dword(kConfig, "AGENT_EFFECT", 1), 1u);
  EXPECT_NE(service_log().find("RegQueryValueEx() error! Entry=[AGENT_EFFECT] Error=[234]"),
            std::string::npos)
      << service_log();
  reg::RegistryValue value = stored(kConfig, "AGENT_EFFECT");
  EXPECT_EQ(value.type, reg::kRegDword);
  EXPECT_EQ(value.data, std::string("\x02\0\0\0\0\0\0\0", 8));
}

TEST_F(RegistryAccess, MissingKeyOrEntryIsAParameterError) {
  EXPECT_EQ(QMA_Cmn_GetRegistory_dword(nullptr, "X", 3), 3u);
  EXPECT_EQ(QMA_Cmn_GetRegistory_dword(kConfig, nullptr, 4), 4u);
  std::string log = service_log();
  size_t first = log.find("Parameter error!(registory)");
  ASSERT_NE(first, std::string::npos);
  EXPECT_NE(log.find("Parameter error!(registory)", first + 1), std::string::npos);
  EXPECT_EQ(registry_text(), "") << "nothing is written";
}

TEST_F(RegistryAccess, AMissingStringIsCreatedWithoutTerminatorAndTheStoredTextWinsLater) {
  char out[260] = {};
  QMA_Cmn_GetRegistory_String(kConfig, "LOG_SAVEPATH", "/srv/QMA_LOGROOT", out, sizeof out);
  EXPECT_STREQ(out, "/srv/QMA_LOGROOT");
  EXPECT_NE(service_log().find("Create registory data. Key=[SOFTWARE\\Norvik\\QMAgent\\Config] "
                               "Entry=[LOG_SAVEPATH] Value=[/srv/QMA_LOGROOT]"),
            std::string::npos);
  reg::RegistryValue value = stored(kConfig, "LOG_SAVEPATH");
  EXPECT_EQ(value.type, reg::kRegSz);
  EXPECT_EQ(value.data, "/srv/QMA_LOGROOT");

  // The stored text has no terminator: a buffer that was not zeroed still gets one.
  char again[260];
  std::memset(again, 'X', sizeof again);
  QMA_Cmn_GetRegistory_String(kConfig, "log_savepath", "/other", again, sizeof again);
  EXPECT_STREQ(again, "/srv/QMA_LOGROOT");
  EXPECT_NE(service_log().find("Get registory data. Key=[SOFTWARE\\Norvik\\QMAgent\\Config] "
                               "Entry=[log_savepath] Value=[/srv/QMA_LOGROOT]"),
            std::string::npos);
}

TEST_F(RegistryAccess, AStringThatDoesNotFitGivesTheDefaultCutToTheBuffer) {
  char seed[260] = {};
  QMA_Cmn_GetRegistory_String(kConfig, "PKG_SAVEPATH", "/a/rather/long/path", seed, sizeof seed);
  char small[8] = {};
  QMA_Cmn_GetRegistory_String(kConfig, "PKG_SAVEPATH", "/defaultpath", small, sizeof small);
  EXPECT_STREQ(small, "/defaul");
  EXPECT_NE(service_log().find("RegQueryValueEx() error! Entry=[PKG_SAVEPATH] Error=[234]"),
            std::string::npos);
  EXPECT_EQ(stored(kConfig, "PKG_SAVEPATH").data, "/a/rather/long/path");

  // Exactly as long as the buffer, with no room for a terminator: does not fit either.
  char exact[19] = {};
  QMA_Cmn_GetRegistory_String(kConfig, "PKG_SAVEPATH", "d", exact, sizeof exact);
  EXPECT_STREQ(exact, "d");
}

TEST_F(RegistryAccess, SetKeepsTypeAndExactSizeAndNeedsAnExistingKey) {
  const unsigned int five = 5;
  EXPECT_EQ(QMA_Cmn_SetRegistory(kConfig, "LOGMAXNUM", QMA_REG_DWORD, &five, sizeof five), 0);
  EXPECT_NE(service_log().find("RegOpenKeyEx() error! Error=[2]"), std::string::npos);
  EXPECT_EQ(registry_text(), "") << "the key is not created";

  QMA_Cmn_GetRegistory_dword(kConfig, "LOGMAXNUM", 10000);
  EXPECT_EQ(QMA_Cmn_SetRegistory(kConfig, "LOGMAXNUM", QMA_REG_DWORD, &five, sizeof five), 1);
  EXPECT_NE(service_log().find("Set registory data.(DWORD) Key=[SOFTWARE\\Norvik\\QMAgent\\Config] "
                               "Entry=[LOGMAXNUM] Value=[5]"),
            std::string::npos);
  EXPECT_EQ(QMA_Cmn_GetRegistory_dword(kConfig, "LOGMAXNUM", 10000), 5u);

  char path[260] = "/srv/logs/QMA_LOGROOT";
  EXPECT_EQ(QMA_Cmn_SetRegistory(kConfig, "LOG_SAVEPATH", QMA_REG_SZ, path, sizeof path), 1);
  EXPECT_NE(service_log().find("Set registory data. Key=[SOFTWARE\\Norvik\\QMAgent\\Config] "
                               "Entry=[LOG_SAVEPATH] Value=[/srv/logs/QMA_LOGROOT]"),
            std::string::npos);
  reg::RegistryValue value = stored(kConfig, "LOG_SAVEPATH");
  EXPECT_EQ(value.type, reg::kRegSz);
  EXPECT_EQ(value.data, std::string(path, sizeof path));
  EXPECT_NE(registry_text().find("\"LOG_SAVEPATH\"=sz(260):\"/srv/logs/QMA_LOGROOT\""),
            std::string::npos);

  char out[260] = {};
  QMA_Cmn_GetRegistory_String(kConfig, "LOG_SAVEPATH", "x", out, sizeof out);
  EXPECT_STREQ(out, "/srv/logs/QMA_LOGROOT");
}

TEST_F(RegistryAccess, ADamagedFileGivesDefaultsLogsTheProblemAndKeepsOtherKeys) {
  write_registry(
      "Windows Registry Editor Version "
      "5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Norvik\\QMAgent\\Config]\n"
      "\"LOGMAXNUM\"=dword:0000\x01\x02\n@@@ garbage @@@\n\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Other]\n\"Keep\"=\"me\"\n\"Cut\"=\"in the mid");
  EXPECT_EQ(QMA_Cmn_GetRegistory_dword(kConfig, "AGENT_EFFECT", 1), 1u);
  EXPECT_EQ(QMA_Cmn_GetRegistory_dword(kConfig, "LOGMAXNUM", 10000), 10000u);
  std::string log = service_log();
  EXPECT_NE(log.find("Registry file error!"), std::string::npos) << log;
  EXPECT_NE(log.find("@@@ garbage @@@"), std::string::npos) << "the log names the bad line";

  std::string text = registry_text();
  EXPECT_NE(text.find("@@@ garbage @@@\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\"Cut\"=\"in the mid\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\"LOGMAXNUM\"=dword:00002710"), std::string::npos) << text;
  EXPECT_EQ(stored("SOFTWARE\\Other", "Keep").data, std::string("me", 3));
}

}  // namespace
