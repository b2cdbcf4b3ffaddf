// The USB enumeration over a fake device-setup library, and the port kind it decides.
#include <gtest/gtest.h>

#include "port/link_port.h"
#include "port/usb_enumeration.h"
#include "support/fake_setup_api.h"

namespace korvane {
namespace {

using test::FakeSetupApi;
using test::FakeSetupDevice;

const std::string kWinUsbPath = "\\\\?\\usb#vid_1234&pid_0a9e#5&1a2b&0&1#{25dbce51-6c8f-4a72-8a6d-b54c2b4fc835}";
const std::string kSecondPath = "\\\\?\\usb#vid_1234&pid_0a9e#5&1a2b&0&1#{25dbce51-6c8f-4a72-8a6d-b54c2b4fc836}";
const std::string kSyncPath = "\\\\?\\usb#vid_1234&pid_00ce#6&2b3c&0&2#{25dbce51-6c8f-4a72-8a6d-b54c2b4fc835}";

FakeSetupDevice FullDevice() {
  using namespace std::string_literals;
  return {{{kSpdrpService, "WinUSB\0"s},
           {kSpdrpMfg, "Acme\0"s},
           {kSpdrpDeviceDesc, "Handheld USB Sync\0"s},
           {kSpdrpClass, "WCEUSBS\0"s},
           {kSpdrpClassGuid, "{88bae032-5a81-49f0-bc3d-a4ff138216d6}\0"s},
           {kSpdrpDriver, "{88bae032-5a81-49f0-bc3d-a4ff138216d6}\\0001\0"s},
           {kSpdrpPhysicalDeviceObjectName, "\\Device\\USBPDO-7\0"s},
           {kSpdrpLocationInformation, "Port_#0002.Hub_#0001\0"s},
           // A string list: only its first entry counts.
           {kSpdrpHardwareId, "USB\\VID_1234&PID_0A9E&REV_0000\0USB\\VID_1234&PID_0A9E\0\0"s}},
          {kWinUsbPath, kSecondPath}};
}

std::vector<std::string> Fields(const PortDescriptor& d) {
  std::vector<std::string> f = {d.internal_type, d.service, d.vendor, d.port_desc, d.device_class,
                                d.class_guid,    d.driver,  d.pdo,    d.location,  d.hardware_id};
  f.insert(f.end(), d.device_paths.begin(), d.device_paths.end());
  return f;
}

TEST(UsbEnumeration, ReadsEachDeviceOfTheClassWithItsPropertiesAndInterfaces) {
  FakeSetupApi fake;
  fake.devices.push_back(FullDevice());
  // Only two properties; the others read as missing.
  fake.devices.push_back({{{kSpdrpService, std::string("wceusbsh\0", 9)}, {kSpdrpDeviceDesc, "Sync"}}, {kSyncPath}});
  // A value that fills the buffer with no NUL, and one too large for it; no interface at all.
  fake.devices.push_back({{{kSpdrpMfg, std::string(10000, 'V')}, {kSpdrpDeviceDesc, std::string(10001, 'D')}}, {}});

  std::vector<PortDescriptor> records(1);  // emptied first
  ASSERT_EQ(EnumerateHandheldUsbDevices(fake.Api(), records), 3u);
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(Fields(records[0]),
            (std::vector<std::string>{
                "USB", "WinUSB", "Acme", "Handheld USB Sync", "WCEUSBS", "{88bae032-5a81-49f0-bc3d-a4ff138216d6}",
                "{88bae032-5a81-49f0-bc3d-a4ff138216d6}\\0001", "\\Device\\USBPDO-7", "Port_#0002.Hub_#0001",
                "USB\\VID_1234&PID_0A9E&REV_0000", kWinUsbPath, kSecondPath}));
  EXPECT_EQ(Fields(records[1]),
            (std::vector<std::string>{"USB", "wceusbsh", "", "Sync", "", "", "", "", "", "", kSyncPath}));
  EXPECT_EQ(Fields(records[2]),
            (std::vector<std::string>{"USB", "", std::string(10000, 'V'), "", "", "", "", "", "", ""}));

  EXPECT_EQ(fake.flags_asked, 0x12u);
  const SetupGuid& g = fake.class_asked;
  EXPECT_EQ(g.data1, 0x25DBCE51u);
  EXPECT_EQ(g.data2, 0x6C8F);
  EXPECT_EQ(g.data3, 0x4A72);
  EXPECT_EQ(std::vector<uint8_t>(g.data4, g.data4 + 8),
            (std::vector<uint8_t>{0x8A, 0x6D, 0xB5, 0x4C, 0x2B, 0x4F, 0xC8, 0x35}));
  EXPECT_EQ(fake.sets_open, 0);
  EXPECT_EQ(fake.refused_calls, 0);
  EXPECT_EQ(fake.debug_text, "");
}

TEST(UsbEnumeration, AnUnavailableDeviceSetIsToldToTheDebuggerOnly) {
  FakeSetupApi fake;
  fake.devices.push_back(FullDevice());
  fake.class_devs_error = 1784;
  std::vector<PortDescriptor> records(2);
  EXPECT_EQ(EnumerateHandheldUsbDevices(fake.Api(), records), 0u);
  EXPECT_TRUE(records.empty());
  EXPECT_EQ(fake.debug_text, "Error in SetupDiGetClassDevsEx: 1784\r\n");
  EXPECT_EQ(fake.sets_open, 0);
}

TEST(UsbEnumeration, TheServiceDecidesBetweenWinUsbAndTheSyncDriver) {
  FakeSetupDevice winusb = FullDevice();
  FakeSetupDevice sync = {{{kSpdrpService, "wceusbsh"}}, {kSyncPath}};
  FakeSetupDevice bare = {{{kSpdrpService, "WINUSB"}}, {}};
  std::string upper_sync = kSyncPath;
  for (char& c : upper_sync) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  struct Case {
    std::vector<FakeSetupDevice> devices;
    const char* typed;
    PortKind kind;
    std::string resolved;
  };
  const Case cases[] = {
      {{winusb, sync}, "usb", WinUsb, kWinUsbPath},
      {{bare, sync}, "USB:", UsbSerial, kSyncPath},  // the first device that has an interface
      {{winusb, sync}, kSyncPath.c_str(), UsbSerial, upper_sync},
      {{winusb, sync}, "\\\\?\\USB#VID_DEAD", Serial, "\\\\?\\USB#VID_DEAD"},
      {{bare}, "usb", Serial, "\\\\.\\WCEUSBSH001"},
      {{}, "COM3", Serial, "COM3"},
  };
  for (const Case& c : cases) {
    FakeSetupApi fake;
    fake.devices = c.devices;
    std::string name = c.typed;
    const PortKind kind = ResolvePortKind(
        name, [&](std::vector<PortDescriptor>& records) { return EnumerateHandheldUsbDevices(fake.Api(), records); });
    EXPECT_EQ(kind, c.kind) << c.typed;
    EXPECT_EQ(name, c.resolved) << c.typed;
    EXPECT_EQ(fake.sets_open, 0) << c.typed;
  }
}

}  // namespace
}  // namespace korvane
