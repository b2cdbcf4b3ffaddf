// The USB enumeration over the system's own device-setup library, on a machine with no hand-held.
#include <gtest/gtest.h>

#include "port/link_port.h"
#include "port/usb_enumeration.h"

namespace korvane {
namespace {

TEST(Win32SetupApi, NoHandheldMeansTheSyncDeviceNameWhichDoesNotOpen) {
  const SetupApi* api = SystemSetupApi();
  ASSERT_NE(api, nullptr);
  // The class exists and is empty: a set, no device, no debugger text.
  SetupDeviceSet set = api->get_class_devs(api->context, kHandheldInterfaceClass,
                                           kDigcfPresent | kDigcfDeviceInterface);
  ASSERT_NE(set, nullptr) << api->last_error(api->context);
  SetupDeviceRecord device{};
  EXPECT_FALSE(api->enum_device_info(api->context, set, 0, device));
  api->destroy_device_info_list(api->context, set);
  std::vector<PortDescriptor> records(1);
  EXPECT_EQ(EnumerateHandheldUsbDevices(records), 0u);
  EXPECT_TRUE(records.empty());

  std::string name = "USB";
  const PortKind kind = ResolvePortKind(name);
  EXPECT_EQ(name, "\\\\.\\WCEUSBSH001");
  uint32_t err = 0;
  EXPECT_EQ(LvlOpen(name, kind, err), nullptr);
  EXPECT_EQ(err, 2u);
}

}  // namespace
}  // namespace korvane
