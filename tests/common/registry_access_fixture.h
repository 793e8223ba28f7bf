// The registry access tests' fixture: fresh roots (and so a registry of the test's own), the
// service log and the stored values read past the functions under test.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "common/log/qma_log.h"
#include "platform/registry.h"
#include "tests/support/temp_roots.h"

namespace qma::test {

namespace reg = qma::platform;

inline constexpr char kConfig[] = "SOFTWARE\\Norvik\\QMAgent\\Config";

class RegistryAccess : public ::testing::Test {
 protected:
  void SetUp() override { qma::log::reset_for_testing(); }
  // The service log stays open across lines; it is closed before the roots go.
  void TearDown() override { qma::log::reset_for_testing(); }

  std::string service_log() const {
    return qma::test::read_text(roots_.bin() / "QMAgentService.log");
  }
  std::string registry_text() const {
    return qma::test::read_text(roots_.state() / "registry.reg");
  }
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

  /// Whether the key exists, looked at past the functions under test.
  static bool key_exists(const char* key) {
    reg::RegistryKey handle;
    return reg::reg_open_key(key, handle) == 0;
  }
  /// The key's value names as stored.
  static std::vector<std::string> value_names(const char* key) {
    reg::RegistryKey handle;
    std::vector<reg::RegistryValue> values;
    EXPECT_EQ(reg::reg_open_key(key, handle), 0);
    EXPECT_EQ(reg::reg_enum_values(handle, values), 0);
    std::vector<std::string> names;
    for (const auto& value : values) names.push_back(value.name);
    return names;
  }

  qma::test::TempRoots roots_;
};

}  // namespace qma::test
