#include <gtest/gtest.h>

#include "platform/wts_channel.h"
#include "port/link_port.h"
#include "support/fixed_log_time.h"
#include "support/temp_dir.h"

namespace korvane {
namespace {

// Without wtsapi32.dll and rapi.dll these kinds fail to open with the documented values, and the
// channel says why in the diagnostic log. Where wtsapi32.dll exists outside a terminal-server
// session (Wine), the channel itself cannot be opened: 42.
TEST(DelegatedKinds, FailToOpenAsWithoutTheirLibraries) {
  test::TempDir dir;
  test::ScopedLogDir logs(dir.Path());
  test::FixedLogTime clock;
  uint32_t err = 0;
  EXPECT_EQ(LvlOpen("TSCLIENT:COM3", Rdp, err), nullptr);
  EXPECT_EQ(err, 1u);
  EXPECT_EQ(LvlOpen("ACTIVESYNC", ActiveSync, err), nullptr);
  EXPECT_EQ(err, 2u);
  EXPECT_EQ(LvlOpen("COM1", 42, err), nullptr);
  EXPECT_NE(err, 0u);
  EXPECT_EQ(test::ReadFileBytes(dir.File("korvane.log")),
            std::string("[05-03-2025 09:07:03]\t(RDP:Port->Open) Ошибка №") + (LoadWtsChannelApi() ? "42" : "41") +
                ", не удалось открыть канал обмена через RDP\r\n");
}

}  // namespace
}  // namespace korvane
