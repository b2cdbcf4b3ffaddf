// Opening and closing through the frame-protocol layer, on serial devices this system can make.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "frame/ts_port.h"
#include "log/log_time.h"
#include "platform/thread_id.h"
#include "support/fixed_log_time.h"
#include "support/pty_pair.h"
#include "support/temp_dir.h"

namespace korvane {
namespace {

class TsPortOpen : public ::testing::Test {
 protected:
  void SetUp() override { test::WriteFileBytes(dump, ""); }
  std::vector<std::string> Lines() const {
    std::vector<std::string> out;
    const std::string all = test::ReadFileBytes(dump);
    for (size_t pos = 0; pos < all.size();) {
      size_t end = all.find("\r\n", pos);
      if (end == std::string::npos) end = all.size();
      out.push_back(all.substr(pos, end - pos));
      pos = end + 2;
    }
    return out;
  }
  std::string Line(const std::string& stack, const std::string& message) const {
    return "[05.03.2025 09:07:03] " + StrFormat("[CallStack(%8.8X): ", CurrentThreadId()) + stack + "] " + message;
  }

  test::TempDir dir;
  test::ScopedLogDir log_dir{dir.Path()};
  test::FixedLogTime log_time;
  std::string dump = dir.File("korvdump.txt");
};

TEST_F(TsPortOpen, MissingPortGivesNoneErr2AndOneLine) {
  uint32_t err = 12345;
  EXPECT_EQ(tsOpenPort("/dev/korvane-no-such-port", Serial, &err), nullptr);
  EXPECT_EQ(err, 2u);
  EXPECT_EQ(Lines(), (std::vector<std::string>{Line("tsOpenPort('/dev/korvane-no-such-port', type=0)",
                                                    "Ошибка открытия порта /dev/korvane-no-such-port, код ошибки: 2")}));
  // err may be absent.
  EXPECT_EQ(tsOpenPort("/dev/korvane-no-such-port", Serial, nullptr), nullptr);
}

TEST_F(TsPortOpen, OpenAndCloseLinesNameTheSamePort) {
  test::PtyPair pty;
  ASSERT_TRUE(pty.Ok());
  uint32_t err = 12345;
  TsPort* opened = tsOpenPort(pty.SlavePath(), Serial, &err);
  ASSERT_NE(opened, nullptr);
  EXPECT_EQ(err, 12345u);  // untouched on success
  EXPECT_EQ(opened->remote_version, 0);
  EXPECT_EQ(opened->max_frame_size, 0);
  EXPECT_EQ(opened->frame_timeout, kV2InitialFrameTimeoutMs);
  const std::string id = StrFormat("%8.8X", opened->port->Identity());
  tsClosePort(opened);
  EXPECT_EQ(Lines(), (std::vector<std::string>{
                         Line("tsOpenPort('" + pty.SlavePath() + "', type=0)",
                              "Открыт порт " + pty.SlavePath() + " (h=0x" + id +
                                  "). Версия протокола сервера: 0x0300, версия SYN-блока сервера: 0x0001."),
                         Line("tsClosePort()", "Закрыт порт (h=0x" + id + ")"),
                     }));
}

}  // namespace
}  // namespace korvane
