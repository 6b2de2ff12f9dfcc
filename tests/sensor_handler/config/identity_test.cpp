#include "config/identity.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <unistd.h>

#include "sandbox.h"
#include "stdout_capture.h"

namespace sensor_handler {
namespace {

class Identity : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(gwtest::reset_sandbox()); }
};

TEST_F(Identity, FirmwareVersionIsTheLastLineWithoutItsEnding) {
  struct Case {
    const char *file;
    const char *version;
  } cases[] = {
      {"18.06.1\n", "18.06.1"},
      {"18.06.1", "18.06.1"},  // no final newline: nothing lost
      {"17.01.4\n18.06.2\n", "18.06.2"},
      {"18.06.1\r\n", "18.06.1"},
      {"OpenWrt-18.06.1-r7258-zx400-long\n", "OpenWrt-18.06.1-r72"},  // first 19
      {"17.01.4\n18.06.2\n\n \r\n\n", "18.06.2"},  // trailing blank lines
      // Only what every packet's JSON can carry unescaped.
      {"18.06.1\"rc\\2\t\x7f\n", "18.06.1rc2"},
      {"18.06-gr\xc3\xbcn\n", "18.06-gr\xc3\xbcn"},  // UTF-8 kept whole
      {"18.06-gr\xfcn\n", "18.06-grn"},            // Latin-1 is not UTF-8
  };
  for (const Case &c : cases) {
    ASSERT_TRUE(gwtest::write_file("/etc/openwrt_version", c.file));
    gwtest::StdoutCapture capture;
    EXPECT_EQ(read_firmware_version(), 0) << c.file;
    EXPECT_STREQ(firmware_version, c.version);
    EXPECT_EQ(capture.text(), "");
  }

  for (const char *empty : {"", "\n \n"}) {
    ASSERT_TRUE(gwtest::write_file("/etc/openwrt_version", empty));
    gwtest::StdoutCapture capture;
    EXPECT_EQ(read_firmware_version(), 1);
    EXPECT_EQ(capture.text(), "ZENTIB_ERROR : Firmware Version not found\n\r");
    EXPECT_STREQ(firmware_version, "");
  }
}

TEST_F(Identity, HardwareVersionFromDeviceInfoElseBanner) {
  const char *banner =
      "  _____         _     _\n"
      " |_   _|__  ___| |__ (_)_  __\n"
      " ZX 400 rev B\n"
      " -----------------------------\n"
      "\n";
  ASSERT_TRUE(gwtest::write_file("/etc/banner", banner));

  ASSERT_TRUE(gwtest::write_file("/etc/device_info",
                                 "DEVICE_MANUFACTURER='Zentib'\nDEVICE_PRODUCT='ZX400'\n"
                                 "DEVICE_REVISION='v2'\n"));
  EXPECT_EQ(read_hardware_version(), 0);
  EXPECT_STREQ(hardware_version, "ZX400v2");

  ASSERT_TRUE(gwtest::write_file("/etc/device_info",
                                 "DEVICE_PRODUCT='ZX 400'\nDEVICE_REVISION='v2'\n"));
  EXPECT_EQ(read_hardware_version(), 0);
  EXPECT_STREQ(hardware_version, "ZX");  // first word only

  ASSERT_TRUE(gwtest::write_file("/etc/device_info",
                                 "DEVICE_PRODUCT='ZX400-industrial-gateway'\nDEVICE_REVISION='v2'\n"));
  EXPECT_EQ(read_hardware_version(), 0);
  EXPECT_STREQ(hardware_version, "ZX400-industrial-ga");  // cut at 19

  ASSERT_TRUE(gwtest::write_file("/etc/device_info", "DEVICE_PRODUCT=''\nDEVICE_REVISION=''\n"));
  EXPECT_EQ(read_hardware_version(), 0);
  EXPECT_STREQ(hardware_version, "ZX400revB");

  ASSERT_EQ(unlink("/etc/device_info"), 0);
  EXPECT_EQ(read_hardware_version(), 0);
  EXPECT_STREQ(hardware_version, "ZX400revB");

  ASSERT_TRUE(gwtest::write_file("/etc/banner", "a\n\nb\nc\n"));
  EXPECT_EQ(read_hardware_version(), 0);
  EXPECT_STREQ(hardware_version, "");
}

TEST_F(Identity, DeviceIpIsEth0sAddressOrEmpty) {
  char address[identity_text_size];
  gwtest::StdoutCapture capture;
  read_device_ip(address);
  EXPECT_STREQ(address, gwtest::eth0_address);

  ASSERT_TRUE(gwtest::remove_eth0_address());
  std::memset(address, 'x', sizeof address);
  read_device_ip(address);
  EXPECT_STREQ(address, "");
  EXPECT_EQ(capture.text(), "");
  ASSERT_TRUE(gwtest::restore_eth0_address());
}

}  // namespace
}  // namespace sensor_handler
