// A terminal on a serial line whose far end vanishes (a pulled cable, here a pty's closed master):
// the link says the device is lost, at once and without spinning.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include "link/terminal_link.h"
#include "platform/ticks.h"
#include "support/pty_pair.h"

namespace korvane {
namespace {

double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

TEST(LostDevice, LinkReportsTheLostDeviceWithinItsTimeOut) {
  test::PtyPair pty;
  ASSERT_TRUE(pty.Ok());
  TerminalLink link;
  link.SetPort(pty.SlavePath());
  ASSERT_EQ(link.OpenPort(), 0) << link.LastMessage();
  pty.CloseMaster();

  const double cpu = CpuSeconds();
  const uint32_t start = TickCount();
  EXPECT_EQ(link.SendCmd(std::string("--p")), -6);
  const uint32_t wall = TickCount() - start;
  EXPECT_EQ(link.LastMessage(), "Ошибка связи с устройством (Код: 1167, описание: устройство потеряно или ошибка драйвера связи)");
  EXPECT_LT(wall, 3000u);  // the exchange's own time-out is 15 s
  EXPECT_LT(CpuSeconds() - cpu, 0.05 + wall / 1000.0 * 0.05);
  std::printf("lost device: %u ms wall, %.3f s CPU\n", wall, CpuSeconds() - cpu);
  link.ClosePort();
}

}  // namespace
}  // namespace korvane
