#include <gtest/gtest.h>

#include "port/link_port.h"
#include "port/winusb_device.h"
#include "support/fixed_log_time.h"
#include "support/temp_dir.h"

namespace korvane {
namespace {

constexpr const char* kAbsentDevice = "\\\\?\\USB#VID_0000&PID_0000#0#{25DBCE51-6C8F-4A72-8A6D-B54C2B4FC835}";

// The real winusb.dll loads and has all 15 entry points. None is called: Wine's are stubs that
// crash when called, so an absent device must fail at the file open before any of them.
TEST(WinUsbLibrary, LoadsWithEveryEntryPointAndFailsAbsentDeviceBeforeCallingIt) {
  auto loader = SystemWinUsbLoader();
  ASSERT_TRUE(loader->Load());
  for (const char* name : kWinUsbEntryPointNames) EXPECT_NE(loader->Find(name), nullptr) << name;
  loader->Unload();

  WinUsbDevice device(kAbsentDevice);
  EXPECT_EQ(device.LoadEntryPoints(), 0u);
  uint32_t err = 0;
  EXPECT_EQ(device.Open(err), kWinUsbOpenFailed);
  EXPECT_NE(err, 0u);
  device.Unload();

  test::TempDir dir;
  test::ScopedLogDir logs(dir.Path());
  test::FixedLogTime clock;
  EXPECT_EQ(LvlOpen(kAbsentDevice, WinUsb, err), nullptr);
  EXPECT_EQ(test::ReadFileBytes(dir.File("korvane.log")),
            "[05-03-2025 09:07:03]\t(Port->Init|Open) Ошибка №1 работы с winusb.dll (" + std::to_string(err) + ")\r\n");
}

}  // namespace
}  // namespace korvane
