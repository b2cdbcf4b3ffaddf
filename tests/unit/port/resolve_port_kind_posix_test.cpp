#include <gtest/gtest.h>

#include "port/link_port.h"
#include "port/sysfs_ports.h"
#include "support/fake_sysfs.h"

namespace korvane {
namespace {

TEST(ResolvePortKindPosix, UsbTakesTheFirstSyncDriverTty) {
  test::FakeSysfs sysfs;
  sysfs.AddUsbDevice("1-2", {});
  sysfs.AddUsbDevice("1-3", {});
  sysfs.AddUsbSerialTty("ttyUSB10", "1-2", kSyncDriverName);
  sysfs.AddUsbSerialTty("ttyUSB3", "1-3", kSyncDriverName);
  sysfs.AddUsbSerialTty("ttyUSB0", "1-3", "uart_bridge");
  std::string name = "usb";
  EXPECT_EQ(ResolvePortKind(name), UsbSerial);
  EXPECT_EQ(name, "/dev/ttyUSB3");
}

TEST(ResolvePortKindPosix, DevicePathsAreTakenAsTyped) {
  test::FakeSysfs sysfs;
  sysfs.AddUsbDevice("1-2", {});
  sysfs.AddUsbSerialTty("ttyUSB0", "1-2", kSyncDriverName);
  std::string name = "/dev/ttyUSB1";
  EXPECT_EQ(ResolvePortKind(name), Serial);
  EXPECT_EQ(name, "/dev/ttyUSB1");
}

TEST(ResolvePortKindPosix, NoSyncDriverLeavesTheSyncDeviceName) {
  test::FakeSysfs empty;
  std::string name = "USB";
  EXPECT_EQ(ResolvePortKind(name), Serial);
  EXPECT_EQ(name, "\\\\.\\WCEUSBSH001");
  uint32_t err = 0;
  EXPECT_EQ(LvlOpen(name, Serial, err), nullptr);
  EXPECT_EQ(err, 2u);
}

}  // namespace
}  // namespace korvane
