// The inventory exports over a test provider: name rules, retries, objects, notes.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "bmcgate/bmcgate.h"
#include "bmcgate_fakes.h"

namespace qma::test {
namespace {

using bmcgate::InventoryObject;
using bmcgate::PropertyValue;
using bmcgate::QueryOutcome;

class WmiQueryTest : public BmcGateTest {
 protected:
  void SetUp() override {
    BmcGateTest::SetUp();
    bmcgate::set_inventory_provider(&provider);
  }
  void set_os(PropertyValue name, PropertyValue service_pack) {
    InventoryObject object;
    object.emplace("Name", std::move(name));
    object.emplace("CSDVersion", std::move(service_pack));
    provider.classes["Win32_OperatingSystem"].objects = {object};
  }
  TableProvider provider;
};

struct OsNameCase {
  const char* label;
  PropertyValue name;
  PropertyValue service_pack;
  int size;
  std::string expected;
};

TEST_F(WmiQueryTest, OsNameIsCleanedCutAtBarAndGetsTheServicePack) {
  const std::vector<OsNameCase> cases = {
      {"registered sign and service pack",
       PropertyValue::Text("Windows Server\xC2\xAE 2008 Standard |C:\\Windows|\\Device\\Harddisk0"
                           "\\Partition2"),
       PropertyValue::Text("Service Pack 2"), 260, "Windows Server 2008 Standard  Service Pack 2"},
      {"two question marks keep the second",
       PropertyValue::Text("Windows ?Server? 2012|C:\\Windows|x"), PropertyValue::Null(), 260,
       "Windows Server? 2012"},
      {"all three legal signs dropped", PropertyValue::Text("A\xE2\x84\xA2 B\xC2\xAE C\xC2\xA9|x"),
       PropertyValue::Null(), 260, "A B C"},
      {"no bar keeps the whole caption", PropertyValue::Text("Debian GNU/Linux 12"),
       PropertyValue::Null(), 260, "Debian GNU/Linux 12"},
      {"unreadable service pack adds nothing", PropertyValue::Text("Win|x"),
       PropertyValue::Failed(bmcgate::kWbemNotFound), 260, "Win"},
      {"empty service pack adds nothing", PropertyValue::Text("Win|x"), PropertyValue::Text(""),
       260, "Win"},
      {"small caller buffer cuts after the service pack was added", PropertyValue::Text("Win|x"),
       PropertyValue::Text("Service Pack 2"), 9, "Win Serv"},
      {"small caller buffer cuts after the question mark was removed",
       PropertyValue::Text("?abcdefgh|x"), PropertyValue::Null(), 6, "abcde"},
      {"service pack cut to the room of the 520-byte work buffer",
       PropertyValue::Text(std::string(517, 'n') + "|x"), PropertyValue::Text("SP1"), 600,
       std::string(517, 'n') + " S"},
      {"one byte of room adds no service pack", PropertyValue::Text(std::string(518, 'n')),
       PropertyValue::Text("SP1"), 600, std::string(518, 'n')},
      {"cut never splits a character", PropertyValue::Text("ab\xC3\xA9|x"), PropertyValue::Null(),
       4, "ab"},
  };
  for (const OsNameCase& c : cases) {
    SCOPED_TRACE(c.label);
    set_os(c.name, c.service_pack);
    std::vector<char> buffer(static_cast<size_t>(c.size), 'x');
    EXPECT_EQ(getOSNameString(buffer.data(), c.size), 0);
    EXPECT_EQ(std::string(buffer.data()), c.expected);
    EXPECT_TRUE(sleeper.pauses.empty());
  }
}

TEST_F(WmiQueryTest, UnreadableServicePackIsLoggedButNotAFailure) {
  set_os(PropertyValue::Text("Win|x"), PropertyValue::Failed(bmcgate::kWbemNotFound));
  char buffer[260] = {};
  EXPECT_EQ(getOSNameString(buffer, sizeof(buffer)), 0);
  EXPECT_EQ(count_of(library_log(), "== wbem_object->Get()_2 error!! =="), 1);
}

// Each text export: which class and property it reads, and what its failures log.
struct TextExport {
  const char* label;
  int (*call)(char*, int);
  const char* wmi_class;
  const char* property;
  const char* query_function;
  const char* error_message;
};
const std::vector<TextExport> kTextExports = {
    {"getBiosVersion", getBiosVersion, "Win32_BIOS", "SMBIOSBIOSVersion", "getWin32_BIOS",
     "[ERROR] wbem_object->Get() ERROR_GET_BIOS_VERSION : 80041002"},
    {"getSerialNumber", getSerialNumber, "Win32_BIOS", "SerialNumber", "getWin32_BIOS",
     "[ERROR] wbem_object->Get() ERROR_GET_SERIAL_NUMBER : 80041002"},
    {"getProductName", getProductName, "Win32_ComputerSystemProduct", "Name",
     "getWin32_ComputerSystemProduct",
     "[ERROR] wbem_object->Get() ERROR_GET_SYSTEM_PRODUCT_NAME : 80041002"},
    {"getGUID", getGUID, "Win32_ComputerSystemProduct", "UUID", "getWin32_ComputerSystemProduct",
     "[ERROR] wbem_object->Get() ERROR_GET_GUID : 80041002"},
};

TEST_F(WmiQueryTest, TextExportsReadTheirPropertyAndCutItToTheBuffer) {
  for (const TextExport& e : kTextExports) {
    SCOPED_TRACE(e.label);
    provider.classes.clear();
    provider.set(e.wmi_class, e.property, PropertyValue::Text("value-of-" + std::string(e.label)));
    char buffer[260] = {};
    EXPECT_EQ(e.call(buffer, sizeof(buffer)), 0);
    EXPECT_EQ(std::string(buffer), "value-of-" + std::string(e.label));
    char small[6];
    EXPECT_EQ(e.call(small, sizeof(small)), 0);
    EXPECT_EQ(std::string(small), "value");
  }
  EXPECT_TRUE(sleeper.pauses.empty());
}

TEST_F(WmiQueryTest, UnreadablePropertyRetriesTenTimesAHundredMillisecondsApart) {
  for (const TextExport& e : kTextExports) {
    SCOPED_TRACE(e.label);
    sleeper.pauses.clear();
    provider.classes.clear();
    provider.queries = 0;
    provider.set(e.wmi_class, e.property, PropertyValue::Failed(bmcgate::kWbemNotFound));
    bmcgate::reset_process_state();  // a fresh log per row
    char buffer[260] = {};
    EXPECT_EQ(e.call(buffer, sizeof(buffer)), -1);
    EXPECT_EQ(provider.queries, 10);
    EXPECT_EQ(sleeper.pauses, std::vector<uint32_t>(10, 100));
    const std::string log = library_log();
    EXPECT_EQ(count_of(log, "== wbem_object->Get() error!! =="), 10);
    EXPECT_EQ(count_of(log, e.error_message), 10);
    EXPECT_EQ(count_of(log, "== Retry " + std::string(e.query_function) + "()!! =="), 10);
    EXPECT_EQ(count_of(log, "== " + std::string(e.query_function) + " () Retry out!! =="), 1);
    EXPECT_EQ(count_of(log, "== " + std::string(e.label) + "() end!! =="), 1);
  }
}

TEST_F(WmiQueryTest, TheLastObjectDecides) {
  struct Case {
    const char* label;
    std::vector<PropertyValue> values;
    int result;
    std::string text;
  };
  const std::vector<Case> cases = {
      {"second text overwrites the first",
       {PropertyValue::Text("first"), PropertyValue::Text("second")},
       0,
       "second"},
      {"null after text leaves the buffer empty and fails",
       {PropertyValue::Text("first"), PropertyValue::Null()},
       -1,
       ""},
      {"text after null succeeds",
       {PropertyValue::Null(), PropertyValue::Text("second")},
       0,
       "second"},
      {"failed read stops before later objects",
       {PropertyValue::Failed(bmcgate::kWbemAccessDenied), PropertyValue::Text("second")},
       -1,
       ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    QueryOutcome outcome;
    for (const PropertyValue& value : c.values) {
      InventoryObject object;
      object.emplace("SMBIOSBIOSVersion", value);
      outcome.objects.push_back(object);
    }
    provider.classes["Win32_BIOS"] = outcome;
    char buffer[260] = {};
    EXPECT_EQ(getBiosVersion(buffer, sizeof(buffer)), c.result);
    EXPECT_EQ(std::string(buffer), c.text);
  }
}

TEST_F(WmiQueryTest, NullValueLogsTheConversionNote) {
  provider.set("Win32_BIOS", "SerialNumber", PropertyValue::Null());
  char buffer[32] = {};
  EXPECT_EQ(getSerialNumber(buffer, sizeof(buffer)), -1);
  EXPECT_EQ(count_of(library_log(), "== _com_util::ConvertBSTRToString() returned NULL!! =="), 10);
}

TEST_F(WmiQueryTest, ClassWithoutInstancesAnswersAtOnceAndLeavesTheBuffer) {
  char buffer[16] = "untouched";
  EXPECT_EQ(getBiosVersion(buffer, sizeof(buffer)), 0);
  EXPECT_EQ(std::string(buffer), "untouched");
  char os[64] = {};
  EXPECT_EQ(getOSNameString(os, sizeof(os)), 0);
  EXPECT_EQ(std::string(os), "");
  EXPECT_EQ(getOSProductInfo(0), -1);
  EXPECT_TRUE(sleeper.pauses.empty());
  EXPECT_EQ(provider.queries, 3);
}

TEST_F(WmiQueryTest, FailedQueryStageIsLoggedWithItsCodeAndRetried) {
  QueryOutcome failed;
  failed.stage_error = -13;
  failed.hresult = 0x80041017L;
  provider.classes["Win32_ComputerSystemProduct"] = failed;
  char buffer[64] = {};
  EXPECT_EQ(getGUID(buffer, sizeof(buffer)), -1);
  EXPECT_EQ(count_of(library_log(), "[ERROR] ExecQuery() : 80041017"), 10);
}

TEST_F(WmiQueryTest, OsNameThatCannotBeReadGivesAnEmptyNameAfterTheRetries) {
  set_os(PropertyValue::Failed(bmcgate::kWbemNotFound), PropertyValue::Null());
  char buffer[260];
  std::fill(std::begin(buffer), std::end(buffer), 'x');
  EXPECT_EQ(getOSNameString(buffer, sizeof(buffer)), 0);
  EXPECT_EQ(std::string(buffer), "");
  EXPECT_EQ(sleeper.pauses, std::vector<uint32_t>(10, 100));
  const std::string log = library_log();
  EXPECT_EQ(count_of(log, "== wbem_object->Get()_1 error!! =="), 10);
  EXPECT_EQ(count_of(log, "[ERROR] wbem_object->Get() ERROR_GET_OSVALUE : 80041002"), 10);
  EXPECT_EQ(count_of(log, "== getWin32_OperatingSystem () Retry out!! =="), 1);
}

TEST_F(WmiQueryTest, OsSkuIsTheValueOrZeroWhenUnreadable) {
  provider.set("Win32_OperatingSystem", "OperatingSystemSKU", PropertyValue::Number(7));
  EXPECT_EQ(getOSProductInfo(0), 7);
  EXPECT_TRUE(sleeper.pauses.empty());

  provider.set("Win32_OperatingSystem", "OperatingSystemSKU",
               PropertyValue::Failed(bmcgate::kWbemNotFound));
  EXPECT_EQ(getOSProductInfo(0), 0);
  EXPECT_EQ(sleeper.pauses.size(), 10u);
  EXPECT_EQ(count_of(library_log(), "== wbem_object->Get() error!! (ERROR_GET_OSVALUE_SKU)=="), 10);

  QueryOutcome failed;
  failed.stage_error = -11;
  failed.hresult = 0x80041008L;
  provider.classes["Win32_OperatingSystem"] = failed;
  EXPECT_EQ(getOSProductInfo(0), -1);
}

TEST_F(WmiQueryTest, MissingBufferOrSizeEndsAtOnceWithTheParameterNotes) {
  provider.set("Win32_BIOS", "SMBIOSBIOSVersion", PropertyValue::Text("1.0"));
  char buffer[8] = {};
  EXPECT_EQ(getBiosVersion(nullptr, 8), -1);
  EXPECT_EQ(getBiosVersion(buffer, 0), -1);
  EXPECT_EQ(getGUID(nullptr, 8), -1);
  EXPECT_EQ(getProductName(nullptr, 8), -1);
  EXPECT_EQ(getOSNameString(nullptr, 8), 0);
  EXPECT_EQ(getOSNameString(buffer, 0), 0);
  EXPECT_EQ(provider.queries, 0);
  const std::string log = library_log();
  EXPECT_EQ(count_of(log, "== getBiosVersion() para_error1 end!! =="), 1);
  EXPECT_EQ(count_of(log, "== getBiosVersion() para_error2 end!! =="), 1);
  EXPECT_EQ(count_of(log, "== getGUID() para_error1 end!! =="), 1);
  EXPECT_EQ(count_of(log, "== getOSNameString() para_error1 end!! =="), 1);
  EXPECT_EQ(count_of(log, "== getOSNameString() para_error2 end!! =="), 1);
  EXPECT_EQ(count_of(log, "getProductName() para_error"), 0);
}

TEST_F(WmiQueryTest, LogLinesCarryDateAndTime) {
  char buffer[8] = {};
  EXPECT_EQ(getBiosVersion(buffer, sizeof(buffer)), 0);
  const std::string log = library_log();
  const std::regex line(
      R"(^[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4} : == getBiosVersion\(\) start!! ==\n)");
  EXPECT_TRUE(std::regex_search(log, line)) << log;
}

TEST_F(WmiQueryTest, EachProcessStartsAFreshLogAndKeepsThePreviousOne) {
  char buffer[8] = {};
  EXPECT_EQ(getBiosVersion(buffer, sizeof(buffer)), 0);
  const std::string first = library_log();
  bmcgate::reset_process_state();  // as a newly loaded library
  EXPECT_EQ(getGUID(buffer, sizeof(buffer)), 0);
  EXPECT_EQ(read_text(roots.bin() / "ExBmcGate.log"), first);
  EXPECT_EQ(count_of(library_log(), "\n"), 2);
  EXPECT_EQ(count_of(library_log(), "getBiosVersion"), 0);
}

TEST_F(WmiQueryTest, LogStartsOverAfterTenThousandLines) {
  char buffer[8] = {};
  for (int i = 0; i < 5000; ++i) ASSERT_EQ(getBiosVersion(buffer, sizeof(buffer)), 0);  // 2 lines
  EXPECT_EQ(count_of(library_log(), "\n"), 10000);
  EXPECT_EQ(getBiosVersion(buffer, sizeof(buffer)), 0);
  EXPECT_EQ(count_of(library_log(), "\n"), 2);
  EXPECT_EQ(count_of(read_text(roots.bin() / "ExBmcGate.log"), "\n"), 10000);
}

TEST_F(WmiQueryTest, InitFailsWithoutTheMachineEnvironment) {
  EXPECT_EQ(init(), -1);
  EXPECT_EQ(count_of(library_log(), "==dll initialize=="), 0);
}

TEST_F(WmiQueryTest, InitTwiceSucceedsAndInitialisesOnce) {
  write_machine_environment();
  EXPECT_EQ(init(), 0);
  EXPECT_EQ(init(), 0);
  EXPECT_EQ(count_of(library_log(), "==dll initialize=="), 1);
  finish();
  EXPECT_EQ(init(), 0);
  EXPECT_EQ(count_of(library_log(), "==dll initialize=="), 2);
}

}  // namespace
}  // namespace qma::test
