#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "frame/frame_trace_tap.h"
#include "legacy/block_trace.h"
#include "log/frame_trace.h"
#include "support/fixed_log_time.h"
#include "support/memory_block_line.h"
#include "support/temp_dir.h"

namespace korvane {
namespace {

using Bytes = std::vector<uint8_t>;

class FrameTrace : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(OpenFrameTrace(path)); }
  void TearDown() override { CloseFrameTrace(); }
  // The lines after the opening comment, time stamps cut off.
  std::vector<std::string> Lines() {
    std::vector<std::string> lines;
    const std::string text = test::ReadFileBytes(path);
    size_t at = text.find('\n') + 1;
    for (size_t end; (end = text.find('\n', at)) != std::string::npos; at = end + 1)
      lines.push_back(text.substr(at + kStamp.size() + 1, end - at - kStamp.size() - 1));
    return lines;
  }

  const std::string kStamp = "2025-03-05 09:07:03.000";
  test::FixedLogTime clock;
  test::TempDir dir;
  std::string path = dir.File("trace.txt");
};

TEST_F(FrameTrace, FramesAreCutFromTheBytesAsTheyCome) {
  const Bytes syn = {0x55, 0xF8, 0x01, 0x00, 0x0F, 0x00, 0xE4, 0xC0, 0x00, 0xFF, 0x01, 0x00, 0x03, 0x01, 0x00};
  const Bytes ack5 = {0x55, 0xF8, 0x05, 0x00, 0x0B, 0x00, 0x6A, 0x05, 0x00, 0xFF, 0x05};
  Bytes damaged = ack5;
  damaged[10] = 0x06;  // a NAK by its code, but the CRC is the ACK's
  {
    auto tap = MakeFrameTraceTap("LAN 1");
    tap->Sent(syn.data(), 9);  // half a frame waits for the rest
    tap->Sent(syn.data() + 9, 6);
    const Bytes in = {0xAA, 0xBB};
    tap->Received(in.data(), 2);
    tap->Received(damaged.data(), 11);
    tap->Received(ack5.data(), 11);
    tap->Received(ack5.data(), 4);  // cut off by the close
  }
  EXPECT_EQ(Lines(), (std::vector<std::string>{
                         "LAN_1 > frame 1 SYN 15 crc-ok 55 F8 01 00 0F 00 E4 C0 00 FF 01 00 03 01 00",
                         "LAN_1 < bytes - noise 2 - AA BB",
                         "LAN_1 < frame 5 NAK 11 crc-bad 55 F8 05 00 0B 00 6A 05 00 FF 06",
                         "LAN_1 < frame 5 ACK 11 crc-ok 55 F8 05 00 0B 00 6A 05 00 FF 05",
                         "LAN_1 < bytes - partial 4 - 55 F8 05 00",
                     }));
}

TEST_F(FrameTrace, BlocksAreCutByTheirLeadingByte) {
  ManualClock line_clock;
  auto memory = std::make_unique<test::MemoryBlockLine>(line_clock);
  test::MemoryBlockLine& peer = *memory;
  auto line = TraceBlockLine(std::move(memory), "/dev/ttyS0");
  const Bytes cmd = {0x01, 0x33, 0x30, 0x33, 0x97};
  uint32_t done = 0;
  line->Write(cmd.data(), 5, done);
  uint8_t buffer[64];
  for (const Bytes& read : std::vector<Bytes>{{0x33, 0x05, 0x33, 0x30},
                                              {0x33, 0x9B, 0x1E, 0x41, 0x42, 0x43, 0x17, 0xFC},
                                              {0x1E, 0x04, 0x17, 0x39, 0x15, 0x15}}) {
    peer.Answer(read);
    line->Read(buffer, sizeof buffer, done);
  }
  line.reset();
  EXPECT_EQ(Lines(), (std::vector<std::string>{
                         "/dev/ttyS0 > block - CMD 5 sum-ok 01 33 30 33 97",
                         "/dev/ttyS0 < bytes - noise 1 - 33",
                         "/dev/ttyS0 < block - ANSWER 5 sum-ok 05 33 30 33 9B",
                         "/dev/ttyS0 < block - DATA 6 sum-bad 1E 41 42 43 17 FC",
                         "/dev/ttyS0 < block - EOD 4 sum-ok 1E 04 17 39",
                         "/dev/ttyS0 < block - NAK 2 sum-ok 15 15",
                     }));
}

TEST_F(FrameTrace, TheEnvironmentNamesTheFileOfALoadedLibrary) {
  CloseFrameTrace();
  const std::string from_environment = dir.File("env.txt");
  test::SetEnv(kFrameTraceEnvironment, from_environment);
  OpenFrameTraceFromEnvironment();
  test::UnsetEnv(kFrameTraceEnvironment);
  ASSERT_TRUE(FrameTraceOn());
  const Bytes ack5 = {0x55, 0xF8, 0x05, 0x00, 0x0B, 0x00, 0x6A, 0x05, 0x00, 0xFF, 0x05};
  MakeFrameTraceTap("COM9")->Received(ack5.data(), 11);
  EXPECT_EQ(test::ReadFileBytes(from_environment),
            kStamp + " COM9 < frame 5 ACK 11 crc-ok 55 F8 05 00 0B 00 6A 05 00 FF 05\n");
}

TEST_F(FrameTrace, NothingIsWrittenOnceClosedAndAnUnwritableFileIsRefused) {
  CloseFrameTrace();
  EXPECT_FALSE(FrameTraceOn());
  const Bytes ack5 = {0x55, 0xF8, 0x05, 0x00, 0x0B, 0x00, 0x6A, 0x05, 0x00, 0xFF, 0x05};
  MakeFrameTraceTap("x")->Sent(ack5.data(), 11);
  EXPECT_TRUE(Lines().empty());
  EXPECT_FALSE(OpenFrameTrace(dir.File("no-such-folder/trace.txt")));
  EXPECT_FALSE(FrameTraceOn());
}

}  // namespace
}  // namespace korvane
