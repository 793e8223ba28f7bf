// The agent's inventory wrappers over the real library with a fake host and BMC.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "bmcgate_fakes.h"
#include "common/host/os_info_source.h"
#include "common/host/qma_inventory.h"
#include "common/host/qma_system.h"
#include "common/log/qma_log.h"

namespace qma::test {
namespace {

using bmcgate::PropertyValue;

class InventoryWrapperTest : public BmcGateTest {
 protected:
  void SetUp() override {
    BmcGateTest::SetUp();
    bmcgate::set_inventory_provider(&provider);
    bmcgate::set_ipmi_driver(&bmc);
    qma::log::reset_for_testing();
    ASSERT_EQ(QMA_InitializeForLogFile(path_text(roots.base()).c_str(), 1000, &log_mutex), 1);
  }
  void TearDown() override {
    QMA_FinalizeForLogFile(&log_mutex);
    qma::log::reset_for_testing();
    BmcGateTest::TearDown();
  }
  std::string agent_log() const { return read_text(roots.base() / "QMAgent.log"); }
  void set_product_name(const std::string& name) {
    provider.set("Win32_ComputerSystemProduct", "Name", PropertyValue::Text(name));
  }

  TableProvider provider;
  FakeBmc bmc;
  QMA_MUTEX_HANDLE log_mutex = nullptr;
};

TEST_F(InventoryWrapperTest, ProductNameIsSplitIntoNameAndModel) {
  struct Case {
    const char* label;
    std::string text;
    std::string name;
    std::string model;
    int warnings;
  };
  const std::vector<Case> cases = {
      {"name and model", "ServerModel X [AB-1234]", "ServerModel X", "AB-1234", 0},
      {"no brackets", "ServerModel X", "ServerModel X", "", 1},
      {"closing bracket before the opening one", "A]B [C", "A]B", "", 1},
      {"opening bracket without closing", "Model [X", "Model", "", 1},
      {"empty brackets", "Model []", "Model", "", 0},
      {"text after the bracket ignored", "M [K] rest", "M", "K", 0},
      {"bracket without the space belongs to the name", "M[K]", "M[K]", "", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    set_product_name(c.text);
    const int warnings_before = count_of(agent_log(), "getProductName() get no Node !!");
    char name[260] = {};
    char model[260] = {};
    EXPECT_EQ(QMA_getProductName(name, sizeof(name), model, sizeof(model)), 0);
    EXPECT_EQ(std::string(name), c.name);
    EXPECT_EQ(std::string(model), c.model);
    EXPECT_EQ(count_of(agent_log(), "getProductName() get no Node !!") - warnings_before,
              c.warnings);
  }
}

TEST_F(InventoryWrapperTest, ProductNameIsCutToTheCallersBuffers) {
  set_product_name("LongServerName [MODEL-123456]");
  char name[5];
  char model[6];
  std::memset(name, 'x', sizeof(name));
  std::memset(model, 'x', sizeof(model));
  EXPECT_EQ(QMA_getProductName(name, sizeof(name), model, sizeof(model)), 0);
  EXPECT_EQ(std::string(name), "Long");
  EXPECT_EQ(std::string(model), "MODEL");
}

TEST_F(InventoryWrapperTest, EmptyProductNameWarnsAndLeavesBothOutputs) {
  set_product_name("");
  char name[16] = "keep";
  char model[16] = "keep";
  EXPECT_EQ(QMA_getProductName(name, sizeof(name), model, sizeof(model)), 0);
  EXPECT_STREQ(name, "keep");
  EXPECT_STREQ(model, "keep");
  EXPECT_EQ(count_of(agent_log(), "getProductName() get nothing !!"), 1);
}

TEST_F(InventoryWrapperTest, GuidFirstThreeGroupsAreByteReversed) {
  struct Case {
    const char* label;
    std::string uuid;
    int length;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"example", "00112233-4455-6677-8899-AABBCCDDEEFF", 260,
       "33221100-5544-7766-8899-AABBCCDDEEFF"},
      {"first group 12345678", "12345678-9ABC-DEF0-1234-56789ABCDEF0", 260,
       "78563412-BC9A-F0DE-1234-56789ABCDEF0"},
      {"cut to the caller's buffer", "00112233-4455-6677-8899-AABBCCDDEEFF", 9, "33221100"},
      {"without dashes it is passed unchanged", "00112233445566778899AABBCCDDEEFF", 260,
       "00112233445566778899AABBCCDDEEFF"},
      {"short text unchanged", "1234", 260, "1234"},
      {"empty", "", 260, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    provider.set("Win32_ComputerSystemProduct", "UUID", PropertyValue::Text(c.uuid));
    std::vector<char> buffer(static_cast<size_t>(c.length), 'x');
    EXPECT_EQ(QMA_getGUID(buffer.data(), c.length), 0);
    EXPECT_EQ(std::string(buffer.data()), c.expected);
  }
}

TEST_F(InventoryWrapperTest, FirmwareRevisionPrintsBothBytesInFull) {
  struct Case {
    uint8_t first, second;
    const char* text;
  };
  for (const Case& c : {Case{0x81, 0x10, "81.10"}, Case{0x01, 0x23, "01.23"},
                        Case{0x0A, 0x05, "0a.05"}, Case{0xFF, 0xFF, "ff.ff"}}) {
    SCOPED_TRACE(c.text);
    bmc.replies = {device_id_reply(c.first, c.second)};
    char buffer[6];
    std::memset(buffer, 'x', sizeof(buffer));
    EXPECT_EQ(QMA_getBmcFWRevision(buffer), 0);
    EXPECT_STREQ(buffer, c.text);
  }
}

TEST_F(InventoryWrapperTest, LibraryFailuresBecomeAgentLogErrors) {
  bmc.absent = true;
  char buffer[260] = {};
  EXPECT_EQ(QMA_getBmcFWRevision(buffer), -1);
  EXPECT_STREQ(buffer, "");

  provider.set("Win32_BIOS", "SMBIOSBIOSVersion", PropertyValue::Failed(bmcgate::kWbemNotFound));
  std::memset(buffer, 'x', sizeof(buffer) - 1);
  EXPECT_EQ(QMA_getBiosVersion(buffer, sizeof(buffer)), -1);
  EXPECT_STREQ(buffer, "");
  provider.set("Win32_BIOS", "SerialNumber", PropertyValue::Null());
  EXPECT_EQ(QMA_getSerialNumber(buffer, sizeof(buffer)), -1);
  provider.set("Win32_ComputerSystemProduct", "Name", PropertyValue::Null());
  char model[260] = {};
  EXPECT_EQ(QMA_getProductName(buffer, sizeof(buffer), model, sizeof(model)), -1);
  EXPECT_EQ(QMA_getGUID(buffer, sizeof(buffer)), -1);

  const std::string log = agent_log();
  for (const char* message :
       {"getBmcFwRevision() error !!", "getBiosVersion() error !!", "getSerialNumber() error !!",
        "getProductName() error !!", "getGUID() error !!"}) {
    EXPECT_EQ(count_of(log, message), 1) << message;
  }
}

TEST_F(InventoryWrapperTest, ArgumentChecks) {
  char buffer[16] = {};
  EXPECT_EQ(QMA_getBiosVersion(nullptr, 16), -1);
  EXPECT_EQ(QMA_getBiosVersion(buffer, 0), -1);
  EXPECT_EQ(QMA_getSerialNumber(buffer, -1), -1);
  EXPECT_EQ(QMA_getProductName(buffer, 16, nullptr, 16), -1);
  EXPECT_EQ(QMA_getProductName(buffer, 16, buffer, 0), -1);
  EXPECT_EQ(QMA_getGUID(nullptr, 16), -1);
  EXPECT_EQ(QMA_getOSNameString(buffer, 0), -1);
  EXPECT_EQ(provider.queries, 0);
  const std::string log = agent_log();
  EXPECT_EQ(count_of(log, "QMA_getBiosVersion() argument error !!"), 2);
  EXPECT_EQ(count_of(log, "QMA_getProductName() argument error !!"), 2);
  EXPECT_EQ(count_of(log, "QMA_getGUID() argument error !!"), 1);
  EXPECT_EQ(count_of(log, "QMA_getSerialNumber"), 0);
}

TEST_F(InventoryWrapperTest, OsNameAndSkuPassThrough) {
  bmcgate::InventoryObject os;
  os.emplace("Name", PropertyValue::Text("Windows Server 2019 Standard|C:\\Windows|x"));
  os.emplace("CSDVersion", PropertyValue::Null());
  os.emplace("OperatingSystemSKU", PropertyValue::Number(7));
  provider.classes["Win32_OperatingSystem"].objects = {os};
  char buffer[260] = {};
  EXPECT_EQ(QMA_getOSNameString(buffer, sizeof(buffer)), 0);
  EXPECT_STREQ(buffer, "Windows Server 2019 Standard");
  EXPECT_EQ(QMA_getOSProductInfo(), 7);

  provider.classes.clear();
  EXPECT_EQ(QMA_getOSNameString(buffer, sizeof(buffer)), 0);
  EXPECT_STREQ(buffer, "");
  EXPECT_EQ(QMA_getOSProductInfo(), -1);
}

TEST_F(InventoryWrapperTest, OsClassificationTakesNameAndSkuFromTheLibrary) {
  roots.write_host_file("etc/os-release", "PRETTY_NAME=\"Host Name 12\"\nVERSION_ID=\"12\"\n");
  bmcgate::InventoryObject os;
  os.emplace("Name", PropertyValue::Text("Library Name\xC2\xAE 12|/|/dev/sda1"));
  os.emplace("CSDVersion", PropertyValue::Null());
  os.emplace("OperatingSystemSKU", PropertyValue::Number(0x100));
  provider.classes["Win32_OperatingSystem"].objects = {os};
  QMA_UseBmcGateForOsInfo();
  int os_type = 0;
  char name[260] = {};
  EXPECT_EQ(QMA_GetOSInfo(&os_type, name), 1);
  qma::common::set_os_info_source({});
  EXPECT_EQ(os_type, 0x100);
  EXPECT_EQ(std::string(name).rfind("Library Name 12", 0), 0u) << name;
}

TEST_F(InventoryWrapperTest, InitAndFinish) {
  EXPECT_EQ(QMA_BmcGateInit(), -1);  // no machine environment yet
  write_machine_environment();
  EXPECT_EQ(QMA_BmcGateInit(), 0);
  EXPECT_EQ(QMA_BmcGateInit(), 0);
  QMA_BmcGateFinish();
  EXPECT_EQ(count_of(library_log(), "==dll initialize=="), 1);
}

}  // namespace
}  // namespace qma::test
