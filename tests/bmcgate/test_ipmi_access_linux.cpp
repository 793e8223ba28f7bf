// The Linux IPMI driver device: which paths it tries under the host root, and what an
// exchange with something that is not the driver gives.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>

#include "platform/ipmi_device.h"
#include "support/temp_roots.h"

namespace qma::test {
namespace {

// The Linux driver device itself: which paths it tries under the host root, and
// that something that is not the driver fails the exchange instead of hanging.
TEST(IpmiDeviceTest, DriverDeviceIsLookedForUnderTheHostRoot) {
  TempRoots roots;
  platform::IpmiDriver driver;
  auto none = driver.open();
  ASSERT_FALSE(none.ok());
  EXPECT_EQ(none.error(), ENOENT);

  for (const char* candidate : {"dev/ipmidev/0", "dev/ipmi/0", "dev/ipmi0"}) {
    SCOPED_TRACE(candidate);
    roots.write_host_file(candidate, "");
    auto opened = driver.open();
    ASSERT_TRUE(opened.ok());
    const uint8_t request[] = {0x18, 0x01};
    uint8_t response[32] = {};
    auto exchanged = (*opened)->exchange(request, 2, response, sizeof(response), 100);
    EXPECT_FALSE(exchanged.ok());
    EXPECT_EQ(exchanged.error(), ENOTTY);
    auto too_short = (*opened)->exchange(request, 1, response, sizeof(response), 100);
    EXPECT_EQ(too_short.error(), EINVAL);
  }
}

}  // namespace
}  // namespace qma::test
