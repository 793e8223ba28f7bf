// Registry values as the common function set hands them out, and the environment refresh.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "common/cmn/qmcmn.h"
#include "platform/registry.h"
#include "support/temp_roots.h"

namespace {

namespace reg = qma::platform;

constexpr const char* kKey = "SOFTWARE\\Norvik\\QMAgent\\Config";

void set_string(const char* key, const char* name, uint32_t type, const std::string& text) {
  reg::RegistryKey handle;
  ASSERT_EQ(reg::reg_create_key(key, handle), 0);
  ASSERT_EQ(
      reg::reg_set_value(handle, name, type, text.c_str(), static_cast<uint32_t>(text.size() + 1)),
      0);
}

class RegistryAndEnvironment : public ::testing::Test {
 protected:
  qma::test::TempRoots roots_;
  // The refresh tests leave the test program's own PATH alone.
  qma::test::ScopedEnv path_{"PATH"};
  qma::test::ScopedEnv home_{"AXIS2C_HOME"};
  qma::test::ScopedEnv probe_{"QMA_TEST_PROBE"};
};

TEST_F(RegistryAndEnvironment, ValuesDefaultsAndExpansion) {
  qma::test::set_env("QMA_TEST_PROBE", "/opt/probe");
  set_string(kKey, "PLAIN", reg::kRegSz, "/srv/logs");
  set_string(kKey, "EXPANDABLE", reg::kRegExpandSz, "%QMA_TEST_PROBE%/bin;%UNKNOWN_NAME%");

  struct Case {
    const char* name;
    const char* key;
    const char* value_name;
    const char* default_text;
    uint32_t default_len;
    int expand;
    int result;
    std::string text;
    uint32_t size;
  };
  const std::vector<Case> cases = {
      {"raw_value_with_its_byte_size", kKey, "PLAIN", nullptr, 0, 0, 0, "/srv/logs", 10},
      {"expanded_value_sized_with_terminator", kKey, "EXPANDABLE", nullptr, 0, 1, 0,
       "/opt/probe/bin;%UNKNOWN_NAME%", 30},
      {"expandable_value_read_raw", kKey, "EXPANDABLE", nullptr, 0, 0, 0,
       "%QMA_TEST_PROBE%/bin;%UNKNOWN_NAME%", 36},
      {"missing_value_gives_default_cut_to_its_length", kKey, "ABSENT", "defaults", 3, 0, 0, "def",
       4},
      {"missing_key_gives_default", "SOFTWARE\\Norvik\\Nothing", "X", "d", 1, 1, 0, "d", 2},
      {"missing_value_without_default_fails", kKey, "ABSENT", nullptr, 0, 0, -1, "", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    char* out = nullptr;
    uint32_t size = 0;
    EXPECT_EQ(QMCmnRegGetValue(c.key, c.value_name, c.default_text, c.default_len, nullptr,
                               c.expand, &out, &size),
              c.result);
    if (c.result == 0) {
      ASSERT_NE(out, nullptr);
      EXPECT_EQ(std::string(out), c.text);
      EXPECT_EQ(size, c.size);
    } else {
      EXPECT_EQ(out, nullptr);
    }
    QMCmnFree(out);
  }
}

TEST_F(RegistryAndEnvironment, RefreshPutsPathAndHomeIntoTheProcess) {
  qma::test::set_env("QMA_TEST_PROBE", "/opt/probe");
  set_string(kQMCmnEnvironmentKey, "Path", reg::kRegExpandSz, "%QMA_TEST_PROBE%/bin:/usr/bin");
  set_string(kQMCmnEnvironmentKey, "AXIS2C_HOME", reg::kRegSz, "/opt/quillmend");
  ASSERT_EQ(QMCmnRefreshEnvironment(), 0);
  EXPECT_STREQ(std::getenv("PATH"), "/opt/probe/bin:/usr/bin");
  EXPECT_STREQ(std::getenv("AXIS2C_HOME"), "/opt/quillmend");
}

TEST_F(RegistryAndEnvironment, RefreshStopsAtTheFirstMissingName) {
  // Path is refreshed, then the missing home stops the refresh.
  set_string(kQMCmnEnvironmentKey, "Path", reg::kRegSz, "/only/this");
  qma::test::set_env("AXIS2C_HOME", "/before");
  EXPECT_EQ(QMCmnRefreshEnvironment(), -1);
  EXPECT_STREQ(std::getenv("PATH"), "/only/this");
  EXPECT_STREQ(std::getenv("AXIS2C_HOME"), "/before");
}

TEST_F(RegistryAndEnvironment, RefreshWithoutPathChangesNothing) {
  set_string(kQMCmnEnvironmentKey, "AXIS2C_HOME", reg::kRegSz, "/opt/quillmend");
  qma::test::set_env("AXIS2C_HOME", "/before");
  const std::string path_before = std::getenv("PATH");
  EXPECT_EQ(QMCmnRefreshEnvironment(), -1);
  EXPECT_EQ(std::string(std::getenv("PATH")), path_before);
  EXPECT_STREQ(std::getenv("AXIS2C_HOME"), "/before");
}

TEST_F(RegistryAndEnvironment, PutEnvTakesTheGivenLengths) {
  ASSERT_EQ(QMCmnPutEnv("QMA_TEST_PROBE_IGNORED", 14, "value-and-more", 5), 0);
  EXPECT_STREQ(std::getenv("QMA_TEST_PROBE"), "value");
  EXPECT_EQ(QMCmnPutEnv("", 0, "x", 1), -1);
  EXPECT_EQ(QMCmnPutEnv("A=B", 3, "x", 1), -1);
}

}  // namespace
