// The agent's registry readers and writer: self-healing defaults, exact types and sizes, log lines.
// A damaged registry file is tried in test_registry_access_linux.cpp.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/host/qma_system.h"
#include "common/registry_access_fixture.h"
#include "platform/registry.h"

namespace {

using qma::test::kConfig;
using qma::test::RegistryAccess;
namespace reg = qma::platform;

TEST_F(RegistryAccess, AMissingDwordIsCreatedWithItsDefaultAndReadBackLater) {
  EXPECT_EQ(QMA_Cmn_GetRegistory_dword(kConfig, "LOGMAXNUM", 10000), 10000u);
  EXPECT_NE(service_log().find("Create registory data. Key=[SOFTWARE\\Norvik\\QMAgent\\Config] "
                               "Entry=[LOGMAXNUM] Value=[10000]"),
            std::string::npos)
      << service_log();
  reg::RegistryValue created = stored(kConfig, "LOGMAXNUM");
  EXPECT_EQ(created.type, reg::kRegDword);
  EXPECT_EQ(created.data, std::string("\x10\x27\0\0", 4));

  // Another default does not matter once the value exists; names compare without case.
  EXPECT_EQ(QMA_Cmn_GetRegistory_dword("software\\norvik\\qmagent\\CONFIG", "logmaxnum", 5),
            10000u);
  EXPECT_NE(service_log().find(
                "Get registory data. Key=[software\\norvik\\qmagent\\CONFIG] Entry=[logmaxnum] "
                "Value=[10000]"),
            std::string::npos);
  EXPECT_EQ(value_names(kConfig), std::vector<std::string>{"LOGMAXNUM"})
      << "the first case is kept";
}

TEST_F(RegistryAccess, AnEightByteValueReadAsDwordGivesTheDefaultAndStaysUnchanged) {
  {
    reg::RegistryKey key;
    ASSERT_EQ(reg::reg_create_key(kConfig, key), 0);
    ASSERT_EQ(reg::reg_set_value(key, "AGENT_EFFECT", reg::kRegDword, "\x02\0\0\0\0\0\0\0", 8), 0);
  }
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
  EXPECT_FALSE(key_exists(kConfig)) << "nothing is written";
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
  EXPECT_FALSE(key_exists(kConfig)) << "the key is not created";

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

  char out[260] = {};
  QMA_Cmn_GetRegistory_String(kConfig, "LOG_SAVEPATH", "x", out, sizeof out);
  EXPECT_STREQ(out, "/srv/logs/QMA_LOGROOT");
}

}  // namespace
