#include <gtest/gtest.h>

#include "frame/lvl_stream.h"
#include "platform/ticks.h"
#include "support/pty_pair.h"

namespace korvane {
namespace {

TEST(LvlStream, DetachedStreamTouchesNothing) {
  CLvlStream s;
  uint8_t buf[4];
  uint32_t count = 2, err = 77;
  EXPECT_EQ(s.Read(100, buf, sizeof buf, count, err), 0);
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(err, 77u);
  EXPECT_EQ(s.Write(100, buf, 1, err), 0);
  EXPECT_EQ(err, 77u);
  EXPECT_EQ(s.Flush(100, err), 1);
  EXPECT_EQ(err, 0u);
}

TEST(LvlStream, NegativeTimeOutReadsWhatIsBufferedWithoutWaiting) {
  test::PtyPair pty;
  ASSERT_TRUE(pty.Ok());
  uint32_t err = 0;
  LinkPort* port = LvlOpen(pty.SlavePath(), Serial, err);
  ASSERT_NE(port, nullptr);
  CLvlStream s;
  s.Attach(port);
  pty.WriteMaster({1, 2, 3});
  SleepMs(20);
  uint8_t buf[8];
  uint32_t count = 0;
  uint32_t start = TickCount();
  EXPECT_EQ(s.Read(-5, buf, sizeof buf, count, err), 3);
  EXPECT_EQ(count, 3u);
  EXPECT_EQ(s.Read(-5, buf, sizeof buf, count, err), 3);
  EXPECT_LT(TickCount() - start, 200u);

  const uint8_t out[] = {9, 8};
  EXPECT_EQ(s.Write(-1, out, 2, err), 2);
  EXPECT_EQ(pty.ReadMaster(2, 1000), std::vector<uint8_t>({9, 8}));

  // Flush drops what waits unread.
  pty.WriteMaster({7, 7, 7});
  SleepMs(20);
  EXPECT_EQ(s.Flush(0, err), 1);
  count = 0;
  s.Read(0, buf, sizeof buf, count, err);
  EXPECT_EQ(count, 0u);
  s.Attach(nullptr);
  LvlClose(port);
}

}  // namespace
}  // namespace korvane
