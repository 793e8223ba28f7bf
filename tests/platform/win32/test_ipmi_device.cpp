// The IPMI driver device: a system without one refuses the open cleanly.
#include <gtest/gtest.h>
#include <windows.h>

#include "platform/error.h"
#include "platform/ipmi_device.h"
#include "test_roots.h"

namespace {

TEST(IpmiDevice, OpenWithoutTheDriverFailsWithTheSystemsError) {
  qma::test::win32::TestRoots roots;
  // Only the open: a host with a BMC is left alone.
  qma::platform::IpmiDriver driver;
  auto device = driver.open();
  if (device.ok()) {
    EXPECT_NE(device->get(), nullptr);
    return;
  }
  EXPECT_TRUE(device.error() == ERROR_FILE_NOT_FOUND || device.error() == ERROR_PATH_NOT_FOUND ||
              device.error() == ERROR_ACCESS_DENIED)
      << device.error();
  EXPECT_EQ(qma::platform::last_error(), device.error());
  // A second attempt, as the library retries, fails the same way.
  auto again = driver.open();
  ASSERT_FALSE(again.ok());
  EXPECT_EQ(again.error(), device.error());
}

}  // namespace
