#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "port/link_port.h"
#include "support/temp_dir.h"

namespace korvane {
namespace {

// Points the USB enumeration at a fake driver folder for the life of the object.
class FakeSyncDriver {
 public:
  explicit FakeSyncDriver(const std::string& dir) { setenv("KORVANE_USB_SYNC_DRIVER_DIR", dir.c_str(), 1); }
  ~FakeSyncDriver() { unsetenv("KORVANE_USB_SYNC_DRIVER_DIR"); }
};

TEST(ResolvePortKindPosix, UsbTakesTheFirstSyncDriverTty) {
  test::TempDir dir;
  std::filesystem::create_directory(dir.File("ttyUSB10"));
  std::filesystem::create_directory(dir.File("ttyUSB3"));
  std::filesystem::create_directory(dir.File("module"));
  FakeSyncDriver driver(dir.Path());
  std::string name = "usb";
  EXPECT_EQ(ResolvePortKind(name), UsbSerial);
  EXPECT_EQ(name, "/dev/ttyUSB3");
}

TEST(ResolvePortKindPosix, DevicePathsAreTakenAsTyped) {
  test::TempDir dir;
  std::filesystem::create_directory(dir.File("ttyUSB0"));
  FakeSyncDriver driver(dir.Path());
  std::string name = "/dev/ttyUSB1";
  EXPECT_EQ(ResolvePortKind(name), Serial);
  EXPECT_EQ(name, "/dev/ttyUSB1");
}

TEST(ResolvePortKindPosix, NoSyncDriverLeavesTheSyncDeviceName) {
  test::TempDir empty;
  FakeSyncDriver driver(empty.Path());
  std::string name = "USB";
  EXPECT_EQ(ResolvePortKind(name), Serial);
  EXPECT_EQ(name, "\\\\.\\WCEUSBSH001");
  uint32_t err = 0;
  EXPECT_EQ(LvlOpen(name, Serial, err), nullptr);
  EXPECT_EQ(err, 2u);
}

}  // namespace
}  // namespace korvane
