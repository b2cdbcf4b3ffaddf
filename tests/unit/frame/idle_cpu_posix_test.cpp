// Waiting on a silent line must not burn a core, even on a port whose reads never block (USB
// serial). Each case waits on a pty whose far end says nothing and compares CPU time with wall time.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <functional>

#include "frame/frame_buffer.h"
#include "frame/frame_exchange.h"
#include "frame/frame_layout.h"
#include "frame/lvl_stream.h"
#include "support/pty_pair.h"

namespace korvane {
namespace {

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  const auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

struct Cost {
  double wall = 0;
  double cpu = 0;
};

Cost Measure(const std::function<void()>& wait) {
  const auto start = std::chrono::steady_clock::now();
  const double cpu_start = CpuSeconds();
  wait();
  Cost c;
  c.cpu = CpuSeconds() - cpu_start;
  c.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return c;
}

TEST(IdleCpu, SilentPeerCostsUnderFivePercentOfWallTime) {
  test::PtyPair pty;
  ASSERT_TRUE(pty.Ok());
  uint32_t err = 0;
  TsPort* port = tsOpenPort(pty.SlavePath(), UsbSerial, &err);
  ASSERT_NE(port, nullptr);
  CLvlStream lower;
  lower.Attach(port->port);
  CFrameBuffer fb;
  fb.Configure(kV3MaxFrameSize, kV3Window);
  fb.SetInitiator(true);
  fb.SetLower(&lower);

  struct Case {
    const char* name;
    double min_wall;
    std::function<void()> wait;
  };
  uint8_t last[kLastFrameSize] = {};
  const uint8_t data[4] = {1, 2, 3, 4};
  const Case cases[] = {
      {"v3 Sync", 1.9,
       [&] {
         uint16_t version = 0;
         EXPECT_EQ(fb.Sync(2000, version, err), 0);
       }},
      {"v3 Flush", 1.9,
       [&] {
         ASSERT_EQ(fb.Write(0, data, sizeof data, err), kFbDone);
         EXPECT_EQ(fb.Flush(2000, err), kFbTimeout);
         EXPECT_EQ(fb.SendQueueSize(), 1u);
       }},
      // Every answer lost: 400 + 800 + 1600 ms of answer waits before the call's 2.5 s run out.
      {"v2 exchange", 2.4,
       [&] {
         port->remote_version = kProtocolV2;
         EXPECT_EQ(tsSend(port, last, data, sizeof data, 2500, err), kTsTimeout);
       }},
  };
  for (const Case& c : cases) {
    const Cost cost = Measure(c.wait);
    std::printf("%-12s wall %.2f s, cpu %.3f s\n", c.name, cost.wall, cost.cpu);
    EXPECT_GE(cost.wall, c.min_wall) << c.name;
    EXPECT_LT(cost.cpu, 0.05 * cost.wall) << c.name;
  }
  EXPECT_EQ(err, 0u);
  fb.SetLower(nullptr);
  tsClosePort(port);
}

}  // namespace
}  // namespace korvane
