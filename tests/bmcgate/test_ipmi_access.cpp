// IPMI commands over a fake BMC: reply checks, device retries, the WMI provider path. The
// Linux driver device itself is tried in test_ipmi_access_linux.cpp.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "bmcgate/bmcgate.h"
#include "bmcgate_fakes.h"

namespace qma::test {
namespace {

constexpr unsigned int kIoctl = 0x810C2004u;

class IpmiTest : public BmcGateTest {
 protected:
  void SetUp() override {
    BmcGateTest::SetUp();
    bmcgate::set_ipmi_driver(&bmc);
  }
  FakeBmc bmc;
};

TEST_F(IpmiTest, FirmwareRevisionComesFromResponseBytesFiveAndSix) {
  struct Case {
    const char* label;
    std::vector<uint8_t> reply;
    int result;
  };
  std::vector<uint8_t> short_reply = device_id_reply(0x81, 0x10);
  short_reply.resize(13);
  std::vector<uint8_t> minimal = device_id_reply(0x81, 0x10);
  minimal.resize(14);
  const std::vector<Case> cases = {
      {"fifteen-byte reply", device_id_reply(0x81, 0x10), 0},
      {"fourteen bytes are enough", minimal, 0},
      {"thirteen-byte reply is too short", short_reply, -1},
      {"completion code C1 fails", device_id_reply(0x81, 0x10, 0xC1), -1},
      {"completion code D5 fails for Get Device ID", device_id_reply(0x81, 0x10, 0xD5), -1},
      {"reply without a completion code", {0x18, 0x01}, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    bmc.replies = {c.reply};
    unsigned char revision[2] = {0xEE, 0xEE};
    EXPECT_EQ(getBmcFwRevision(revision), c.result);
    if (c.result == 0) {
      EXPECT_EQ(revision[0], 0x81);
      EXPECT_EQ(revision[1], 0x10);
    }
    EXPECT_EQ(bmc.requests.back(), (std::vector<uint8_t>{0x18, 0x01}));
  }
  EXPECT_EQ(count_of(library_log(), "Response Data size is invalid."), 1);
  EXPECT_TRUE(sleeper.pauses.empty());
  for (uint32_t wait : bmc.waits) EXPECT_GT(wait, 0u);
}

TEST_F(IpmiTest, RequestAndResponseAreDumpedInTheLog) {
  bmc.replies = {device_id_reply(0x01, 0x23)};
  unsigned char revision[2] = {};
  ASSERT_EQ(getBmcFwRevision(revision), 0);
  const std::string log = library_log();
  EXPECT_EQ(count_of(log, " : _ipmiAccess()\n"), 1);
  EXPECT_EQ(count_of(log, " : == getBmcFwRevision() start!! ==\n"), 1);
  EXPECT_EQ(count_of(log, "    Input size  = 02 : 18 01 \n"), 1);
  EXPECT_EQ(count_of(log, "    Output size = 0F : 18 01 00 20 81 01 23 02 BF 80 28 00 37 12 00 \n"),
            1);
  EXPECT_EQ(count_of(log, " : == getBmcFwRevision() end!! ==\n"), 1);
}

TEST_F(IpmiTest, NoDeviceFailsAfterThreeOpensHalfASecondApart) {
  bmc.absent = true;
  unsigned char revision[2] = {};
  EXPECT_EQ(getBmcFwRevision(revision), -1);
  EXPECT_EQ(bmc.opens, 3);
  EXPECT_EQ(sleeper.pauses, (std::vector<uint32_t>{500, 500, 500}));

  unsigned int received = 99;
  unsigned char response[16] = {};
  const unsigned char request[] = {0x18, 0x01};
  EXPECT_EQ(ipmiAccess(kIoctl, request, 2, response, sizeof(response), &received, 0), -2);
}

TEST_F(IpmiTest, DeviceThatOpensOnTheThirdTryIsUsed) {
  bmc.failed_opens_left = 2;
  bmc.replies = {device_id_reply(0x02, 0x05)};
  unsigned char revision[2] = {};
  EXPECT_EQ(getBmcFwRevision(revision), 0);
  EXPECT_EQ(bmc.opens, 3);
  EXPECT_EQ(sleeper.pauses, (std::vector<uint32_t>{500, 500}));
}

TEST_F(IpmiTest, ExchangeIsTriedThreeTimesThenFails) {
  bmc.replies = {{}, {}, device_id_reply(1, 2)};
  unsigned char revision[2] = {};
  EXPECT_EQ(getBmcFwRevision(revision), 0);
  EXPECT_EQ(sleeper.pauses, (std::vector<uint32_t>{500, 500}));

  sleeper.pauses.clear();
  bmc.replies = {{}};
  unsigned int received = 0;
  unsigned char response[16] = {};
  const unsigned char request[] = {0x18, 0x01};
  EXPECT_EQ(ipmiAccess(kIoctl, request, 2, response, sizeof(response), &received, 0), -3);
  EXPECT_EQ(sleeper.pauses, (std::vector<uint32_t>{500, 500, 500}));
  // Another request code is refused like an exchange that failed.
  bmc.replies = {device_id_reply(1, 2)};
  EXPECT_EQ(ipmiAccess(0x1234, request, 2, response, sizeof(response), &received, 0), -3);
}

TEST_F(IpmiTest, BadArgumentsAreRefusedBeforeTheTransport) {
  unsigned int received = 0;
  unsigned char response[16] = {};
  const unsigned char request[] = {0x18, 0x01};
  EXPECT_EQ(ipmiAccess(kIoctl, nullptr, 2, response, 16, &received, 0), -1);
  EXPECT_EQ(ipmiAccess(kIoctl, request, 0, response, 16, &received, 0), -1);
  EXPECT_EQ(ipmiAccess(kIoctl, request, 2, nullptr, 16, &received, 0), -1);
  EXPECT_EQ(ipmiAccess(kIoctl, request, 2, response, 0, &received, 0), -1);
  EXPECT_EQ(ipmiAccess(kIoctl, request, 2, response, 16, nullptr, 0), -1);
  EXPECT_EQ(getBmcFwRevision(nullptr), -1);
  EXPECT_EQ(bmc.opens, 0);
}

TEST_F(IpmiTest, CompletionCodeD5PassesOnlyForTheSpecialFiveByteRequests) {
  struct Case {
    const char* label;
    std::vector<uint8_t> request;
    uint8_t completion;
    int result;
  };
  const std::vector<Case> cases = {
      {"five bytes, byte 0 is 18", {0x18, 0x22, 0x00, 0x00, 0x00}, 0xD5, 0},
      {"five bytes, byte 1 is 40", {0x2C, 0x40, 0x00, 0x00, 0x00}, 0xD5, 0},
      {"five bytes, byte 2 is 1", {0x2C, 0x02, 0x01, 0x00, 0x00}, 0xD5, 0},
      {"five bytes, none of them", {0x2C, 0x02, 0x02, 0x00, 0x00}, 0xD5, -1},
      {"four bytes with byte 0 18", {0x18, 0x22, 0x00, 0x00}, 0xD5, -1},
      {"six bytes with byte 0 18", {0x18, 0x22, 0x00, 0x00, 0x00, 0x00}, 0xD5, -1},
      {"completion 0 always passes", {0x2C, 0x02, 0x02}, 0x00, 0},
      {"other completion codes fail", {0x18, 0x22, 0x00, 0x00, 0x00}, 0xC0, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    bmc.replies = {{c.request[0], c.request[1], c.completion}};
    unsigned char response[32] = {};
    unsigned int received = 0;
    EXPECT_EQ(bmcgate::serialised_ipmi_command(c.request.data(),
                                               static_cast<unsigned int>(c.request.size()),
                                               response, sizeof(response), &received),
              c.result);
    EXPECT_EQ(received, 3u);
  }
}

// An IPMI WMI provider with one instance whose replies the test scripts.
class FakeIpmiWmi : public bmcgate::IpmiWmiProvider {
 public:
  long open_class(int* stage) override {
    ++searches;
    if (present) return 0;
    *stage = -12;
    return 0x80041002L;
  }
  long first_instance_name(std::string* name, int* stage) override {
    if (instance.empty()) {
      *stage = -18;
      return 1;
    }
    *name = instance;
    return 0;
  }
  long get_method() override { return 0; }
  long request_response(const std::string& object_path, const bmcgate::IpmiInParameters& in,
                        std::vector<uint8_t>* response_data, int* /*stage*/) override {
    paths.push_back(object_path);
    last_in = in;
    *response_data = response;
    return 0;
  }
  bool present = true;
  int searches = 0;
  std::string instance = "ROOT\\SYSTEM\\0001_0";
  std::vector<uint8_t> response = {0x00, 0x20, 0x81, 0x03, 0x04, 0x02,
                                   0xBF, 0x80, 0x28, 0x00, 0x37, 0x12};
  std::vector<std::string> paths;
  bmcgate::IpmiInParameters last_in;
};

class IpmiWmiTest : public IpmiTest {
 protected:
  void SetUp() override {
    IpmiTest::SetUp();
    bmcgate::set_ipmi_wmi_provider(&wmi);
  }
  FakeIpmiWmi wmi;
};

TEST_F(IpmiWmiTest, ProviderFoundIsUsedWithTheEscapedObjectPath) {
  unsigned char revision[2] = {};
  ASSERT_EQ(getBmcFwRevision(revision), 0);
  EXPECT_EQ(revision[0], 0x03);
  EXPECT_EQ(revision[1], 0x04);
  ASSERT_EQ(wmi.paths.size(), 1u);
  EXPECT_EQ(wmi.paths[0],
            "\\\\.\\root\\WMI:Microsoft_IPMI.InstanceName=\"ROOT\\\\SYSTEM\\\\0001_0\"");
  EXPECT_EQ(wmi.last_in.network_function, 0x06);
  EXPECT_EQ(wmi.last_in.lun, 0);
  EXPECT_EQ(wmi.last_in.responder_address, 0x20);
  EXPECT_EQ(wmi.last_in.command, 0x01);
  EXPECT_EQ(wmi.last_in.request_data_size, 0);
  EXPECT_FALSE(wmi.last_in.has_request_data);
  EXPECT_EQ(bmc.opens, 0);
}

TEST_F(IpmiWmiTest, OnceFoundTheProviderIsKeptEvenWhenItDisappears) {
  unsigned char revision[2] = {};
  ASSERT_EQ(getBmcFwRevision(revision), 0);
  wmi.present = false;
  bmc.replies = {device_id_reply(1, 2)};
  EXPECT_EQ(getBmcFwRevision(revision), -1);
  EXPECT_EQ(bmc.opens, 0);
}

TEST_F(IpmiWmiTest, WithoutTheProviderTheDeviceIsUsedForTheRestOfTheProcess) {
  wmi.present = false;
  bmc.replies = {device_id_reply(1, 2)};
  unsigned char revision[2] = {};
  ASSERT_EQ(getBmcFwRevision(revision), 0);
  wmi.present = true;
  ASSERT_EQ(getBmcFwRevision(revision), 0);
  EXPECT_EQ(wmi.searches, 1);
  EXPECT_EQ(bmc.opens, 2);
  EXPECT_EQ(count_of(library_log(), "[ERROR] GetObject() : 80041002"), 1);
}

TEST_F(IpmiWmiTest, ReplyLongerThanTheBufferIsNotJudgedByBytesItCouldNotKeep) {
  // The provider's length counts every byte it sent; a two-byte buffer kept only the header.
  const unsigned char request[] = {0x18, 0x01};
  std::vector<unsigned char> response(2);
  unsigned int received = 0;
  EXPECT_EQ(bmcgate::serialised_ipmi_command(request, sizeof(request), response.data(),
                                             static_cast<unsigned int>(response.size()), &received),
            -1);
  EXPECT_EQ(received, 14u);
  EXPECT_EQ(response, (std::vector<unsigned char>{0x18, 0x01}));
}

TEST_F(IpmiWmiTest, InstanceNameEscapingDropsEmptyPieces) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"ROOT\\SYSTEM\\0001_0", "ROOT\\\\SYSTEM\\\\0001_0"},
      {"\\A\\\\B\\", "A\\\\B"},
      {"plain", "plain"},
  };
  for (const auto& [name, escaped] : cases) {
    SCOPED_TRACE(name);
    wmi.instance = name;
    void* services = nullptr;
    ASSERT_EQ(searchMSIpmiDriver(&services), 0);
    char* path = nullptr;
    ASSERT_EQ(getInstanceName(&services, &path), 0);
    EXPECT_EQ(std::string(path),
              "\\\\.\\root\\WMI:Microsoft_IPMI.InstanceName=\"" + escaped + "\"");
    std::free(path);
  }
  wmi.instance.clear();
  void* services = nullptr;
  ASSERT_EQ(searchMSIpmiDriver(&services), 0);
  char* path = nullptr;
  EXPECT_EQ(getInstanceName(&services, &path), -18);
  EXPECT_EQ(services, nullptr);
}

TEST_F(IpmiWmiTest, ResponseCarriesTheRequestHeaderAndAnEightBitLength) {
  void* services = nullptr;
  ASSERT_EQ(searchMSIpmiDriver(&services), 0);
  const unsigned char request[] = {0x2C, 0x02, 0x07, 0x08, 0x09};
  wmi.response.assign(300, 0x5A);
  wmi.response[0] = 0x00;
  unsigned char response[16] = {};
  unsigned int received = sizeof(response);
  ASSERT_EQ(msIpmiAccess(request, sizeof(request), response, &received, services, "path"), 0);
  EXPECT_EQ(received, (300u + 2u) & 0xFFu);
  EXPECT_EQ(response[0], 0x2C);
  EXPECT_EQ(response[1], 0x02);
  EXPECT_EQ(response[2], 0x00);
  EXPECT_EQ(response[15], 0x5A);
  EXPECT_EQ(wmi.last_in.network_function, 0x0B);
  EXPECT_EQ(wmi.last_in.request_data_size, 3);
  EXPECT_EQ(wmi.last_in.request_data, (std::vector<uint8_t>{0x07, 0x08, 0x09}));
  // A request without its command byte cannot be turned into parameters.
  EXPECT_EQ(createParameter(request, 1), -15);
}

}  // namespace
}  // namespace qma::test
