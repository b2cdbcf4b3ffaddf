// The terminal's side on a line that stays open while PCs come and go, as a serial cable does:
// the PC's handshake is the only sign that a new session began.
#include "terminal/terminal_side.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

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

// Collects the DATA frames in `bytes`, checking each one's CRC.
std::vector<std::vector<uint8_t>> DataFrames(std::vector<uint8_t> bytes) {
  std::vector<std::vector<uint8_t>> frames;
  for (size_t at = 0; at < bytes.size();) {
    const uint16_t length = FrameLength(bytes.data() + at);
    EXPECT_TRUE(FrameMarkersAt(bytes.data() + at) && VerifyFrameCrc(bytes.data() + at, length));
    if (FrameControlCode(bytes.data() + at) == 3) frames.emplace_back(bytes.begin() + at, bytes.begin() + at + length);
    at += length;
  }
  return frames;
}

std::vector<uint8_t> Control(uint8_t code, uint16_t number) {
  std::vector<uint8_t> frame(code == 1 ? 15 : 11);
  if (code == 1) frame[12] = 3, frame[13] = 1;  // versions 0x0300 and 0x0001
  FinishFrame(frame.data(), number, static_cast<uint16_t>(frame.size()), code);
  return frame;
}

// The simulator's loop runs only when bytes arrive or a timer fires, so every acknowledgement must
// send what the window then allows, at once; frames go out full while more waits, and the last,
// partial one leaves as soon as nothing more is coming. The clock never moves here.
TEST(TerminalEndpointV3, AcknowledgementsReleaseFullFramesAtOnceAndTheLastOneWithoutDelay) {
  ManualClock clock{5000};
  TerminalState state;
  TerminalSide side(state);
  TerminalEndpoint endpoint(side, kProtocolV3, clock);
  const auto feed = [&](const std::vector<uint8_t>& bytes) {
    endpoint.Feed(bytes.data(), bytes.size());
    endpoint.Poll();
    return DataFrames(endpoint.TakeOutput());
  };
  EXPECT_TRUE(feed(Control(1, 1)).empty());
  std::vector<std::string> sent;
  for (int i = 0; i < 60; ++i) sent.push_back(std::to_string(i) + std::string(97, static_cast<char>('a' + i % 26)));
  for (const std::string& message : sent) side.Emit(message);

  // Frames are numbered from 2 (the SYN took 1); each acknowledgement frees one place.
  std::vector<uint8_t> stream;
  uint16_t next = 2, acked = 1;
  bool short_frame = false;
  for (auto frames = feed({}); !frames.empty() || endpoint.Busy(); frames = feed(Control(5, ++acked))) {
    ASSERT_LT(acked, 30) << "the window stopped moving";
    for (const auto& frame : frames) {
      EXPECT_EQ(FrameNumber(frame.data()), next++);
      EXPECT_FALSE(short_frame) << "a short frame went out while more waited";
      short_frame = frame.size() < kV3MaxFrameSize;
      stream.insert(stream.end(), frame.begin() + 11, frame.end());
    }
    if (!short_frame) {
      EXPECT_EQ(next - 1 - acked, kV3Window) << "after the acknowledgement of frame " << acked;
    }
  }
  std::vector<std::string> got;
  for (size_t at = 0; at + 2 <= stream.size(); at += GetU16(stream.data() + at))
    got.emplace_back(stream.begin() + at + 2, stream.begin() + at + GetU16(stream.data() + at));
  EXPECT_EQ(got, sent);
}

// A real terminal acknowledges each frame as it arrives. The simulator gets the PC's bytes in
// bursts: every frame of a burst must be acknowledged, on the line, before the first of its records
// is handled, or the PC's window stays shut while the terminal works.
TEST(TerminalEndpointV3, ABurstIsAcknowledgedOnTheLineBeforeItsRecordsAreHandled) {
  ManualClock clock{5000};
  TerminalState state;
  TerminalSide side(state);
  TerminalEndpoint endpoint(side, kProtocolV3, clock);
  std::vector<uint8_t> wire;
  endpoint.SetWireSink([&](const uint8_t* data, uint32_t length) { wire.insert(wire.end(), data, data + length); });
  const auto acks = [&] {
    int n = 0;
    for (size_t at = 0; at + kFrameHeaderSize <= wire.size(); at += FrameLength(wire.data() + at))
      n += FrameControlCode(wire.data() + at) == 5 ? 1 : 0;
    return n;
  };
  int acks_at_first = -1;
  int records = 0;
  side.SetIntercept([&](const std::string&, TerminalSide&) {
    if (records++ == 0) acks_at_first = acks();
    return false;
  });
  const std::vector<uint8_t> syn = Control(1, 1);
  endpoint.Feed(syn.data(), syn.size());
  endpoint.Poll();

  // 30 records of 100 bytes: frames 2 and 3 full, 4 short. One read of the wire takes two frames.
  std::vector<uint8_t> stream;
  for (int i = 0; i < 30; ++i) {
    const std::string row = "\x1E" + std::string(97, static_cast<char>('a' + i));
    stream.push_back(static_cast<uint8_t>(row.size() + 2));
    stream.push_back(0);
    stream.insert(stream.end(), row.begin(), row.end());
  }
  std::vector<uint8_t> burst;
  uint16_t number = 2;
  for (size_t at = 0; at < stream.size(); at += kV3MaxFrameSize - kFrameHeaderSize, ++number) {
    const size_t body = std::min<size_t>(kV3MaxFrameSize - kFrameHeaderSize, stream.size() - at);
    std::vector<uint8_t> frame(kFrameHeaderSize + body);
    std::copy(stream.begin() + at, stream.begin() + at + body, frame.begin() + kFrameHeaderSize);
    FinishFrame(frame.data(), number, static_cast<uint16_t>(frame.size()), 3);
    burst.insert(burst.end(), frame.begin(), frame.end());
  }
  endpoint.Feed(burst.data(), burst.size());
  endpoint.Poll();
  EXPECT_EQ(records, 30);
  EXPECT_EQ(acks_at_first, 3) << "acknowledgements on the line when the first record was handled";
  EXPECT_TRUE(endpoint.TakeOutput().empty()) << "bytes held back instead of going to the line";
}

}  // namespace
}  // namespace korvane
