#include <gtest/gtest.h>

#include "port/link_port.h"
#include "port/winusb_device.h"
#include "support/fixed_log_time.h"
#include "support/temp_dir.h"

namespace korvane {
namespace {

// There is no winusb.dll here: kind 3 fails to open as on Windows without it.
TEST(WinUsbNative, KindThreeFailsAsWithoutTheLibrary) {
  test::TempDir dir;
  test::ScopedLogDir logs(dir.Path());
  test::FixedLogTime clock;
  EXPECT_EQ(WinUsbDevice("\\\\?\\USB#VID_0000&PID_0000").LoadEntryPoints(), kWinUsbLibraryMissing);
  uint32_t err = 0;
  EXPECT_EQ(LvlOpen("\\\\?\\USB#VID_0000&PID_0000", WinUsb, err), nullptr);
  EXPECT_EQ(err, 1u);
  EXPECT_EQ(test::ReadFileBytes(dir.File("korvane.log")),
            "[05-03-2025 09:07:03]\t(Port->Init|Open) Ошибка №21 работы с winusb.dll\r\n");
}

}  // namespace
}  // namespace korvane
