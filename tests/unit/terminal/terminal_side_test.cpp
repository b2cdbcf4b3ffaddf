// The terminal's side on a line that stays open while PCs come and go, as a serial cable does:
// the PC's handshake is the only sign that a new session began.
#include "terminal/terminal_side.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "frame/frame_layout.h"
#include "frame/ts_port.h"
#include "link/terminal_link.h"
#include "support/temp_dir.h"

namespace korvane {
namespace {

constexpr const char* kPadding = ";a row of a length that fills frames";

class OpenLine : public ::testing::TestWithParam<uint16_t> {
 protected:
  OpenLine() : log_dir_(dir_.Path()), side_(state_), line_(std::make_shared<InProcessLine>(side_, GetParam(), clock_)) {
    // More than the v3 window holds, so the download is still running when its PC goes.
    for (int i = 0; i < 500; ++i) state_.tables[kTableJournal].push_back("row;" + std::to_string(i) + kPadding);
    state_.current_id[kTableOperations] = 7;
    line_->Endpoint().SetSessionStart([this] { ++sessions_; });
  }

  // Every open of `link` joins the one line.
  void Attach(TerminalLink& link) {
    link.SetPort("LINE");
    link.SetPortOpener([this](const std::string&, uint32_t kind, uint32_t*) {
      TsPort* port = tsAdoptPort(LvlAdopt(InProcessLine::MakePort(line_), kind));
      port->clock = &clock_;
      return port;
    });
  }

  test::TempDir dir_;
  test::ScopedLogDir log_dir_;
  ManualClock clock_{5000};
  TerminalState state_;
  TerminalSide side_;
  std::shared_ptr<InProcessLine> line_;
  int sessions_ = 0;
};

TEST_P(OpenLine, EachConnectStartsASessionThoughTheLineNeverClosed) {
  {
    // This PC goes away after the first row, the terminal still sending the rest.
    TerminalLink first(clock_);
    Attach(first);
    ASSERT_EQ(first.OpenPort(), 0);
    ASSERT_EQ(first.IsTerminalOnline(kConnectCheckTimeoutMs), 0) << first.GetDiag().message;
    ASSERT_EQ(first.StartDownload(kTableJournal), 0) << first.GetDiag().message;
    std::string row;
    ASSERT_EQ(first.LineDownload(kTableJournal, row), 0) << first.GetDiag().message;
    EXPECT_EQ(row, "row;0" + std::string(kPadding));
    first.ClosePort();
  }
  // The next one gets answers to its own commands, not the old download's rows.
  TerminalLink second(clock_);
  Attach(second);
  ASSERT_EQ(second.OpenPort(), 0);
  ASSERT_EQ(second.IsTerminalOnline(kConnectCheckTimeoutMs), 0) << second.GetDiag().message;
  int32_t id = 0;
  ASSERT_EQ(second.GetCurrentID(kTableOperations, id), 0) << second.GetDiag().message;
  EXPECT_EQ(id, 7);
  // One session per connect: v2's renumbering SYN after the version query starts none.
  EXPECT_EQ(sessions_, 2);
}

INSTANTIATE_TEST_SUITE_P(Protocols, OpenLine, ::testing::Values(kProtocolV2, kProtocolV3),
                         [](const ::testing::TestParamInfo<uint16_t>& info) {
                           return info.param == kProtocolV3 ? std::string("v3") : std::string("v2");
                         });

}  // namespace
}  // namespace korvane
