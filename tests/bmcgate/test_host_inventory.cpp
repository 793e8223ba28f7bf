// The exports over a fake host root with real-looking DMI and os-release files.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "bmcgate/bmcgate.h"
#include "bmcgate_fakes.h"

namespace qma::test {
namespace {

class HostInventoryTest : public BmcGateTest {
 protected:
  void write_dmi(const std::string& name, const std::string& content) {
    roots.write_host_file("sys/class/dmi/id/" + name, content);
  }
  void write_typical_dmi() {
    write_dmi("bios_version", "2.19.1\n");
    write_dmi("product_serial", "J8KX4R3  \n");
    write_dmi("product_name", "PowerEdge R740\n");
    write_dmi("product_sku", "SKU=0715;ModelName=PowerEdge R740\n");
    write_dmi("product_uuid", "4c4c4544-004a-3810-804b-cac04f345233\n");
    write_dmi("sys_vendor", "Dell Inc.\n");
  }
};

TEST_F(HostInventoryTest, DmiFilesAnswerTheExportsWithoutTrailingWhiteSpace) {
  write_typical_dmi();
  char buffer[260] = {};
  ASSERT_EQ(getBiosVersion(buffer, sizeof(buffer)), 0);
  EXPECT_STREQ(buffer, "2.19.1");
  ASSERT_EQ(getSerialNumber(buffer, sizeof(buffer)), 0);
  EXPECT_STREQ(buffer, "J8KX4R3");
  ASSERT_EQ(getProductName(buffer, sizeof(buffer)), 0);
  EXPECT_STREQ(buffer, "PowerEdge R740 [SKU=0715;ModelName=PowerEdge R740]");
  ASSERT_EQ(getGUID(buffer, sizeof(buffer)), 0);
  EXPECT_STREQ(buffer, "4C4C4544-004A-3810-804B-CAC04F345233");
  EXPECT_TRUE(sleeper.pauses.empty());
}

TEST_F(HostInventoryTest, OddFileContentsGiveBoundedTexts) {
  struct Case {
    const char* label;
    std::string content;
    int size;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"empty file", "", 260, ""},
      {"only a newline", "\n", 260, ""},
      {"bytes that are not UTF-8", "Ser\xFFver\xC3(\n", 260, "Ser?ver?("},
      {"valid UTF-8 kept", "Caf\xC3\xA9\n", 260, "Caf\xC3\xA9"},
      {"300 characters cut to the buffer", std::string(300, 'N'), 260, std::string(259, 'N')},
      {"NUL ends the text", std::string("ab\0cd", 5), 260, "ab"},
      {"tiny buffer", "abcdef", 2, "a"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    write_dmi("product_name", c.content);
    std::vector<char> buffer(static_cast<size_t>(c.size), 'x');
    ASSERT_EQ(getProductName(buffer.data(), c.size), 0);
    EXPECT_EQ(std::string(buffer.data()), c.expected);
  }
}

TEST_F(HostInventoryTest, SkuIsAppendedOnlyWhenItHasText) {
  write_dmi("product_name", "ProLiant DL380 Gen10\n");
  char buffer[260] = {};
  ASSERT_EQ(getProductName(buffer, sizeof(buffer)), 0);
  EXPECT_STREQ(buffer, "ProLiant DL380 Gen10");
  write_dmi("product_sku", " \n");
  ASSERT_EQ(getProductName(buffer, sizeof(buffer)), 0);
  EXPECT_STREQ(buffer, "ProLiant DL380 Gen10");
  write_dmi("product_sku", "868703-B21\n");
  ASSERT_EQ(getProductName(buffer, sizeof(buffer)), 0);
  EXPECT_STREQ(buffer, "ProLiant DL380 Gen10 [868703-B21]");
}

TEST_F(HostInventoryTest, MissingOrUnreadableFileFailsAfterItsRetries) {
  write_typical_dmi();
  std::filesystem::remove(roots.host() / "sys/class/dmi/id/product_serial");
  // A folder in the file's place cannot be read, as a root-only file cannot be by others.
  std::filesystem::remove(roots.host() / "sys/class/dmi/id/product_uuid");
  std::filesystem::create_directories(roots.host() / "sys/class/dmi/id/product_uuid");

  char buffer[260] = {};
  EXPECT_EQ(getSerialNumber(buffer, sizeof(buffer)), -1);
  EXPECT_EQ(sleeper.pauses.size(), 10u);
  EXPECT_EQ(count_of(library_log(), "ERROR_GET_SERIAL_NUMBER : 80041002"), 10);
  EXPECT_EQ(getGUID(buffer, sizeof(buffer)), -1);
  EXPECT_EQ(sleeper.pauses.size(), 20u);
  EXPECT_EQ(count_of(library_log(), "ERROR_GET_GUID : 80041001"), 10) << library_log();
  // The other values of the same objects still read.
  EXPECT_EQ(getBiosVersion(buffer, sizeof(buffer)), 0);
  EXPECT_STREQ(buffer, "2.19.1");
  EXPECT_EQ(sleeper.pauses.size(), 20u);
}

TEST_F(HostInventoryTest, HostWithoutDmiAnswersEmptyAtOnce) {
  char buffer[260] = {};
  for (auto* call : {getBiosVersion, getSerialNumber, getProductName, getGUID}) {
    EXPECT_EQ(call(buffer, sizeof(buffer)), 0);
    EXPECT_STREQ(buffer, "");
  }
  EXPECT_TRUE(sleeper.pauses.empty());
}

TEST_F(HostInventoryTest, DmiFolderThatComesAndGoesIsAnsweredFromEachLook) {
  // The library remembers which kind of host it saw last only to order its looks: every
  // answer must still follow the folder and files as they are at the call.
  struct Step {
    const char* label;
    std::function<void()> change;
    const char* product;  // nullptr: the export fails after its retries
    size_t pauses;
  };
  const std::filesystem::path dmi = roots.host() / "sys/class/dmi/id";
  const std::vector<Step> steps = {
      {"no folder yet", [] {}, "", 0},
      {"folder and files appear", [&] { write_typical_dmi(); },
       "PowerEdge R740 [SKU=0715;ModelName=PowerEdge R740]", 0},
      {"name file removed", [&] { std::filesystem::remove(dmi / "product_name"); }, nullptr, 10},
      {"folder removed", [&] { std::filesystem::remove_all(dmi); }, "", 0},
      {"folder back with another name",
       [&] {
         write_typical_dmi();
         write_dmi("product_name", "PowerEdge R750\n");
       },
       "PowerEdge R750 [SKU=0715;ModelName=PowerEdge R740]", 0},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.label);
    step.change();
    sleeper.pauses.clear();
    char buffer[260] = {};
    const int result = getProductName(buffer, sizeof(buffer));
    if (step.product == nullptr) {
      EXPECT_EQ(result, -1);
    } else {
      EXPECT_EQ(result, 0);
      EXPECT_STREQ(buffer, step.product);
    }
    EXPECT_EQ(sleeper.pauses.size(), step.pauses);
  }
}

TEST_F(HostInventoryTest, PropertyQueriesReadOnlyTheirOwnFiles) {
  write_dmi("product_uuid", "4c4c4544-004a-3810-804b-cac04f345233\n");
  write_dmi("product_serial", "J8KX4R3\n");
  // No name, SKU or BIOS version files: queries for the UUID and the serial number do not
  // depend on them, and the whole objects show those properties as failed reads.
  bmcgate::HostInventoryProvider host;
  const bmcgate::QueryOutcome uuid = host.query_for("Win32_ComputerSystemProduct", "UUID");
  ASSERT_EQ(uuid.objects.size(), 1u);
  EXPECT_EQ(uuid.objects[0].at("UUID").text.value_or(""), "4C4C4544-004A-3810-804B-CAC04F345233");
  EXPECT_EQ(uuid.objects[0].count("Name"), 0u);
  const bmcgate::QueryOutcome whole = host.query("Win32_ComputerSystemProduct");
  ASSERT_EQ(whole.objects.size(), 1u);
  EXPECT_FALSE(whole.objects[0].at("Name").read_ok);
  EXPECT_TRUE(whole.objects[0].at("UUID").read_ok);
  const bmcgate::QueryOutcome bios = host.query("Win32_BIOS");
  ASSERT_EQ(bios.objects.size(), 1u);
  EXPECT_FALSE(bios.objects[0].at("SMBIOSBIOSVersion").read_ok);
  EXPECT_EQ(bios.objects[0].at("SerialNumber").text.value_or(""), "J8KX4R3");
  char buffer[260] = {};
  EXPECT_EQ(getSerialNumber(buffer, sizeof(buffer)), 0);
  EXPECT_STREQ(buffer, "J8KX4R3");
  EXPECT_TRUE(sleeper.pauses.empty());
}

TEST_F(HostInventoryTest, RootDeviceIsReadForEachHostRoot) {
  bmcgate::HostInventoryProvider host;
  std::vector<std::string> names;
  for (const char* device : {"/dev/sda1", "/dev/nvme0n1p2"}) {
    // A host root of its own, as a second test tree would be.
    const std::filesystem::path root = roots.base() / (std::string("host") + device).substr(10);
    std::filesystem::create_directories(root / "etc");
    std::filesystem::create_directories(root / "proc");
    std::ofstream(root / "etc/os-release") << "PRETTY_NAME=\"Debian GNU/Linux 12\"\n";
    std::ofstream(root / "proc/mounts") << device << " / ext4 rw 0 0\n";
    qma::test::set_env("QMA_HOST_ROOT", path_text(root));
    const bmcgate::QueryOutcome os = host.query_for("Win32_OperatingSystem", "Name");
    ASSERT_EQ(os.objects.size(), 1u);
    names.push_back(os.objects[0].at("Name").text.value_or(""));
  }
  qma::test::set_env("QMA_HOST_ROOT", path_text(roots.host()));
  EXPECT_EQ(names, (std::vector<std::string>{"Debian GNU/Linux 12|/|/dev/sda1",
                                             "Debian GNU/Linux 12|/|/dev/nvme0n1p2"}));
}

TEST_F(HostInventoryTest, OperatingSystemFromOsRelease) {
  roots.write_host_file(
      "etc/os-release",
      "PRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\nNAME=\"Debian GNU/Linux\"\n"
      "VERSION_ID=\"12\"\nID=debian\n");
  roots.write_host_file("proc/mounts",
                        "sysfs /sys sysfs rw 0 0\n/dev/sda1 / ext4 rw,relatime 0 0\n");
  char buffer[260] = {};
  EXPECT_EQ(getOSNameString(buffer, sizeof(buffer)), 0);
  EXPECT_STREQ(buffer, "Debian GNU/Linux 12 (bookworm)");
  EXPECT_EQ(getOSProductInfo(0), 0x100);

  bmcgate::HostInventoryProvider host;
  const bmcgate::QueryOutcome os = host.query("Win32_OperatingSystem");
  ASSERT_EQ(os.objects.size(), 1u);
  EXPECT_EQ(os.objects[0].at("Name").text.value_or(""),
            "Debian GNU/Linux 12 (bookworm)|/|/dev/sda1");
  EXPECT_TRUE(os.objects[0].at("CSDVersion").is_null);
  EXPECT_TRUE(sleeper.pauses.empty());
}

TEST_F(HostInventoryTest, OsReleaseVariants) {
  struct Case {
    const char* label;
    std::string release;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"single quotes", "PRETTY_NAME='Rocky Linux 9.3 (Blue Onyx)'\n",
       "Rocky Linux 9.3 (Blue Onyx)"},
      {"unquoted", "PRETTY_NAME=Alpine\n", "Alpine"},
      {"escaped quote", "PRETTY_NAME=\"My \\\"OS\\\"\"\n", "My \"OS\""},
      {"NAME when PRETTY_NAME is absent", "NAME=\"Fedora Linux\"\n", "Fedora Linux"},
      {"Linux when neither is given", "ID=custom\n", "Linux"},
      {"registered sign dropped", "PRETTY_NAME=\"Acme\xC2\xAE Server 3\"\n", "Acme Server 3"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    roots.write_host_file("etc/os-release", c.release);
    char buffer[260] = {};
    EXPECT_EQ(getOSNameString(buffer, sizeof(buffer)), 0);
    EXPECT_EQ(std::string(buffer), c.expected);
  }
}

TEST_F(HostInventoryTest, MissingOsReleaseGivesAnEmptyNameAfterRetries) {
  char buffer[260] = {};
  EXPECT_EQ(getOSNameString(buffer, sizeof(buffer)), 0);
  EXPECT_STREQ(buffer, "");
  EXPECT_EQ(sleeper.pauses.size(), 10u);
  EXPECT_EQ(getOSProductInfo(0), 0x100);
}

TEST_F(HostInventoryTest, PropertyTextRules) {
  EXPECT_EQ(bmcgate::property_text_from_bytes("abc \t\r\n"), "abc");
  EXPECT_EQ(bmcgate::property_text_from_bytes("  lead"), "  lead");
  EXPECT_EQ(bmcgate::property_text_from_bytes("\xE2\x82"), "??");       // cut sequence
  EXPECT_EQ(bmcgate::property_text_from_bytes("\xC0\xAF"), "??");       // overlong
  EXPECT_EQ(bmcgate::property_text_from_bytes("\xED\xA0\x80"), "???");  // surrogate
  EXPECT_EQ(bmcgate::property_text_from_bytes("\xF0\x9F\x98\x80"), "\xF0\x9F\x98\x80");
}

// This build machine: no DMI folder, no IPMI device.
TEST_F(HostInventoryTest, RealRootWithoutDmiOrIpmiDevice) {
  if (std::filesystem::exists("/sys/class/dmi/id") || std::filesystem::exists("/dev/ipmi0") ||
      std::filesystem::exists("/dev/ipmi/0") || std::filesystem::exists("/dev/ipmidev/0")) {
    GTEST_SKIP() << "this host has DMI or an IPMI device";
  }
  qma::test::set_env("QMA_HOST_ROOT", "/");
  char buffer[260] = {};
  for (auto* call : {getBiosVersion, getSerialNumber, getProductName, getGUID}) {
    EXPECT_EQ(call(buffer, sizeof(buffer)), 0);
    EXPECT_STREQ(buffer, "");
  }
  EXPECT_TRUE(sleeper.pauses.empty());
  unsigned char revision[2] = {};
  EXPECT_EQ(getBmcFwRevision(revision), -1);
  EXPECT_EQ(sleeper.pauses, (std::vector<uint32_t>{500, 500, 500}));
  qma::test::set_env("QMA_HOST_ROOT", path_text(roots.host()));
}

}  // namespace
}  // namespace qma::test
