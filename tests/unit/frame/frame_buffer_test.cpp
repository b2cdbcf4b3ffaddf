#include "frame/frame_buffer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <numeric>
#include <string>

#include "frame/frame_layout.h"
#include "support/memory_stream.h"

namespace korvane {
namespace {

using test::Bytes;
using test::MemoryPipe;
using test::ScriptedStream;

Bytes Frame(uint16_t number, uint8_t control, const Bytes& body) {
  Bytes f(kFrameHeaderSize + body.size());
  std::copy(body.begin(), body.end(), f.begin() + kFrameOffBody);
  FinishFrame(f.data(), number, static_cast<uint16_t>(f.size()), control);
  return f;
}
Bytes Data(uint16_t number, const std::string& text) {
  return Frame(number, kCtlData, Bytes(text.begin(), text.end()));
}
Bytes Control(uint8_t control, uint16_t number) { return Frame(number, control, {}); }
Bytes Syn(uint16_t number, uint16_t version) {
  return Frame(number, kCtlSyn, {static_cast<uint8_t>(version), static_cast<uint8_t>(version >> 8), 0x01, 0x00});
}
Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}
Bytes Pattern(size_t n) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i * 7 + i / 251);
  return b;
}

// The frames in recorded writes, one per element (the buffer writes every frame due, and every
// acknowledgement of one read, at once); a piece too short for its length stays as it is.
std::vector<Bytes> SplitFrames(const std::vector<Bytes>& writes) {
  std::vector<Bytes> out;
  for (const Bytes& w : writes) {
    for (size_t at = 0; at < w.size();) {
      size_t n = w.size() - at;
      if (n >= kFrameHeaderSize) {
        const size_t length = FrameLength(w.data() + at);
        if (length >= kFrameHeaderSize && length <= n) n = length;
      }
      out.emplace_back(w.begin() + at, w.begin() + at + n);
      at += n;
    }
  }
  return out;
}

// Control code and number of each frame written, as "ACK 5", "NAK 6", "DATA 1"...
std::vector<std::string> Summary(const std::vector<Bytes>& frames) {
  std::vector<std::string> out;
  for (const Bytes& w : frames) {
    if (w.size() < kFrameHeaderSize) {
      out.push_back("short");
      continue;
    }
    const char* name = "?";
    switch (w[kFrameOffControl]) {
      case kCtlSyn: name = "SYN"; break;
      case kCtlData: name = "DATA"; break;
      case kCtlAck: name = "ACK"; break;
      case kCtlNak: name = "NAK"; break;
    }
    out.push_back(std::string(name) + " " + std::to_string(FrameNumber(w.data())));
  }
  return out;
}
using Names = std::vector<std::string>;

class FrameBufferTest : public ::testing::Test {
 protected:
  FrameBufferTest() : line(&clock), fb(clock) {
    fb.Configure(kV3MaxFrameSize, kV3Window);
    fb.SetNextExpected(1);
    fb.SetInitiator(true);
    fb.SetLower(&line);
  }

  std::string ReadText(int32_t timeout_ms = 0, uint32_t size = 4096) {
    std::vector<uint8_t> buf(size);
    uint32_t count = 0;
    uint32_t err = 0;
    EXPECT_EQ(fb.Read(timeout_ms, buf.data(), size, count, err), 1);
    return std::string(buf.begin(), buf.begin() + count);
  }
  // A Write of nothing: pumps incoming frames and sends what is due, without adding data.
  int32_t Poll() {
    uint32_t err = 0;
    return fb.Write(0, nullptr, 0, err);
  }
  // Every later DATA frame is acknowledged by the peer as soon as it is written.
  void AckEveryData() {
    line.OnWrite([this](const Bytes& write) {
      for (const Bytes& w : SplitFrames({write}))
        if (w.size() >= kFrameHeaderSize && w[kFrameOffControl] == kCtlData)
          line.Feed(Control(kCtlAck, FrameNumber(w.data())));
    });
  }
  // As AckEveryData, and every SYN is answered as a v3 terminal does.
  void AnswerSynAndAckData() {
    line.OnWrite([this](const Bytes& write) {
      for (const Bytes& w : SplitFrames({write})) {
        if (w.size() < kFrameHeaderSize) continue;
        if (w[kFrameOffControl] == kCtlData) line.Feed(Control(kCtlAck, FrameNumber(w.data())));
        if (w[kFrameOffControl] == kCtlSyn) line.Feed(Syn(FrameNumber(w.data()), kProtocolV3));
      }
    });
  }

  std::vector<Bytes> Written() const { return SplitFrames(line.Writes()); }

  ManualClock clock;
  ScriptedStream line;
  CFrameBuffer fb;
};

TEST_F(FrameBufferTest, GapGetsPlaceholderAndPacedNaksUntilFilled) {
  fb.SetNextExpected(5);
  line.Feed(Concat({Data(5, "five"), Data(7, "seven"), Data(9, "nine")}));
  EXPECT_EQ(ReadText(), "five");
  // Both frames acknowledged at once; one NAK per pump, for the first gap.
  EXPECT_EQ(Summary(Written()), (Names{"ACK 5", "ACK 7", "ACK 9", "NAK 6"}));
  EXPECT_EQ(line.Writes().size(), 2u);   // the acknowledgements of one read leave together
  EXPECT_EQ(fb.ReceiveQueueSize(), 4u);  // 6 (gap), 7, 8 (gap), 9
  EXPECT_EQ(fb.NextExpected(), 10);

  line.ClearWrites();
  EXPECT_EQ(ReadText(), "");
  EXPECT_EQ(Summary(Written()), (Names{"NAK 8"}));  // the other gap, never asked yet

  line.ClearWrites();
  clock.Advance(kMinRetransmitMs);
  EXPECT_EQ(ReadText(), "");
  EXPECT_TRUE(Written().empty());  // not yet a whole time-out ago
  clock.Advance(1);
  EXPECT_EQ(ReadText(), "");
  EXPECT_EQ(Summary(Written()), (Names{"NAK 6"}));

  line.ClearWrites();
  line.Feed(Data(6, "six"));
  EXPECT_EQ(ReadText(), "sixseven");
  EXPECT_EQ(Summary(Written()), (Names{"ACK 6", "NAK 8"}));
  line.Feed(Data(8, "eight"));
  EXPECT_EQ(ReadText(), "eightnine");
  EXPECT_EQ(fb.ReceiveQueueSize(), 0u);
}

TEST_F(FrameBufferTest, DuplicatesAndOldFramesAreAcknowledgedButNotDelivered) {
  line.Feed(Concat({Data(1, "one"), Data(1, "one")}));
  EXPECT_EQ(ReadText(), "one");
  line.Feed(Data(1, "one"));  // already delivered: before next expected
  EXPECT_EQ(ReadText(), "");
  EXPECT_EQ(Summary(Written()), (Names{"ACK 1", "ACK 1", "ACK 1"}));

  fb.SetNextExpected(2);
  line.ClearWrites();
  line.Feed(Data(65535, "old"));
  EXPECT_EQ(ReadText(), "");
  EXPECT_EQ(Summary(Written()), (Names{"ACK 65535"}));
  EXPECT_EQ(fb.ReceiveQueueSize(), 0u);
  EXPECT_EQ(fb.NextExpected(), 2);
}

TEST_F(FrameBufferTest, HeldFramesAreBoundedAndWhatDidNotFitComesAgain) {
  // A frame numbered far ahead would need thousands of gaps: dropped, and not acknowledged.
  line.Feed(Data(5001, "far"));
  EXPECT_EQ(Poll(), 1);
  EXPECT_TRUE(Written().empty());
  EXPECT_EQ(fb.ReceiveQueueSize(), 0u);
  EXPECT_EQ(fb.NextExpected(), 1);

  // A peer that sends on while the owner does not read fills the queue, and no further.
  Bytes flood;
  for (uint16_t n = 1; n <= 4100; ++n) {
    const Bytes d = Data(n, std::string(1, static_cast<char>('a' + n % 26)));
    flood.insert(flood.end(), d.begin(), d.end());
  }
  line.Feed(flood);
  for (int i = 0; i < 200 && line.Pending() > 0; ++i) Poll();
  EXPECT_EQ(fb.ReceiveQueueSize(), 4096u);
  const Names acks = Summary(Written());
  ASSERT_EQ(acks.size(), 4096u);
  EXPECT_EQ(acks.back(), "ACK 4096");

  std::string text;
  for (std::string piece; !(piece = ReadText(0, 1000)).empty();) text += piece;
  ASSERT_EQ(text.size(), 4096u);
  for (size_t i = 0; i < text.size(); ++i) ASSERT_EQ(text[i], 'a' + (i + 1) % 26) << i;
  // Sent again once there is room, the rest is taken in order.
  line.ClearWrites();
  line.Feed(Concat({Data(4097, "x"), Data(4098, "y")}));
  EXPECT_EQ(ReadText(), "xy");
  EXPECT_EQ(Summary(Written()), (Names{"ACK 4097", "ACK 4098"}));
}

TEST_F(FrameBufferTest, NumbersWrapFrom65535To0) {
  fb.SetNextExpected(65535);
  line.Feed(Concat({Data(0, "b"), Data(65535, "a")}));
  EXPECT_EQ(ReadText(), "ab");
  EXPECT_EQ(fb.NextExpected(), 1);
}

TEST_F(FrameBufferTest, ReadKeepsOneByteFreeAndResumesInsideAFrame) {
  line.Feed(Data(1, "abcdef"));
  EXPECT_EQ(ReadText(0, 4), "abc");
  EXPECT_EQ(ReadText(0, 4), "def");
  EXPECT_EQ(ReadText(0, 1), "");
  std::vector<uint8_t> buf(8);
  uint32_t count = 0, err = 0;
  EXPECT_EQ(fb.Read(0, nullptr, 8, count, err), 0);
  EXPECT_EQ(fb.Read(0, buf.data(), 0, count, err), 1);
  EXPECT_EQ(count, 0u);
}

TEST_F(FrameBufferTest, RetransmissionTimeOutAdaptsToAcknowledgementDelays) {
  const Bytes payload = Pattern(10);
  uint32_t err = 0;
  uint16_t number = 1;
  auto round_trip = [&](uint32_t delay_ms) {
    ASSERT_EQ(fb.Write(0, payload.data(), 10, err), 1);
    EXPECT_EQ(fb.Flush(0, err), -1);  // forced out, not waited for
    clock.Advance(delay_ms);
    line.Feed(Control(kCtlAck, number++));
    ASSERT_EQ(Poll(), 1);
    EXPECT_EQ(fb.SendQueueSize(), 0u);
  };
  for (int i = 0; i < 5; ++i) {
    round_trip(100);
    EXPECT_EQ(fb.RetransmitTimeout(), 400u);
  }

  CFrameBuffer slow(clock);
  slow.Configure(kV3MaxFrameSize, kV3Window);
  slow.SetLower(&line);
  ASSERT_EQ(slow.Write(0, payload.data(), 10, err), 1);
  EXPECT_EQ(slow.Flush(0, err), -1);
  clock.Advance(3000);
  line.Feed(Control(kCtlAck, 1));
  ASSERT_EQ(slow.Write(0, nullptr, 0, err), 1);
  EXPECT_EQ(slow.RetransmitTimeout(), 6000u);  // 9000 clamped
}

TEST_F(FrameBufferTest, RetransmissionTimeOutIsARunningAverageTruncated) {
  const Bytes payload = Pattern(10);
  uint32_t err = 0;
  const uint32_t delays[] = {100, 3000, 0};
  const uint32_t expected[] = {400, 4700, 3133};  // (400 + 9000) / 2; (2 * 4700 + 0) / 3
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(fb.Write(0, payload.data(), 10, err), 1);
    EXPECT_EQ(fb.Flush(0, err), -1);
    clock.Advance(delays[i]);
    line.Feed(Control(kCtlAck, static_cast<uint16_t>(i + 1)));
    ASSERT_EQ(Poll(), 1);
    EXPECT_EQ(fb.RetransmitTimeout(), expected[i]) << i;
  }
}

TEST_F(FrameBufferTest, WriteCutsFullFramesAndCoalescesTheRest) {
  const Bytes data = Pattern(2500);
  uint32_t err = 0;
  ASSERT_EQ(fb.Write(1000, data.data(), 2500, err), 1);
  EXPECT_EQ(line.Writes().size(), 1u);  // the frames due leave in one write
  ASSERT_EQ(Written().size(), 2u);
  EXPECT_EQ(fb.SendQueueSize(), 2u);
  EXPECT_EQ(fb.BuilderBodyBytes(), 474u);
  for (int i = 0; i < 2; ++i) {
    Bytes w = Written()[i];
    ASSERT_EQ(w.size(), kV3MaxFrameSize);
    EXPECT_TRUE(FrameMarkersAt(w.data()));
    EXPECT_EQ(FrameNumber(w.data()), i + 1);
    EXPECT_EQ(FrameLength(w.data()), 1024);
    EXPECT_EQ(FrameControlCode(w.data()), kCtlData);
    EXPECT_TRUE(VerifyFrameCrc(w.data(), static_cast<uint16_t>(w.size())));
    EXPECT_TRUE(std::equal(w.begin() + kFrameOffBody, w.end(), data.begin() + i * 1013));
  }

  // The rest waits up to 300 ms for more, then leaves on its own.
  line.Feed(Concat({Control(kCtlAck, 1), Control(kCtlAck, 2)}));
  line.ClearWrites();
  clock.Advance(kCoalesceMs);
  ASSERT_EQ(Poll(), 1);
  EXPECT_TRUE(Written().empty());
  clock.Advance(1);
  ASSERT_EQ(Poll(), 1);
  ASSERT_EQ(Summary(Written()), (Names{"DATA 3"}));
  const Bytes last = Written()[0];
  EXPECT_EQ(last.size(), 474u + kFrameHeaderSize);
  EXPECT_TRUE(std::equal(last.begin() + kFrameOffBody, last.end(), data.begin() + 2026));
  EXPECT_EQ(fb.BuilderBodyBytes(), 0u);
}

TEST_F(FrameBufferTest, ReadAndFlushForceTheBuilderOut) {
  uint32_t err = 0;
  ASSERT_EQ(fb.Write(0, reinterpret_cast<const uint8_t*>("hello"), 5, err), 1);
  EXPECT_TRUE(Written().empty());
  EXPECT_EQ(ReadText(), "");
  EXPECT_EQ(Summary(Written()), (Names{"DATA 1"}));

  ASSERT_EQ(fb.Write(0, reinterpret_cast<const uint8_t*>("again"), 5, err), 1);
  EXPECT_EQ(fb.Flush(0, err), -1);  // Flush(0) never waits, even with nothing to wait for afterwards
  EXPECT_EQ(Summary(Written()), (Names{"DATA 1", "DATA 2"}));
}

TEST_F(FrameBufferTest, FlushWaitsForAcknowledgementAndRetransmitsEveryTimeOut) {
  uint32_t err = 0;
  EXPECT_EQ(fb.Flush(0, err), -1);
  const uint32_t before = clock.Now();
  EXPECT_EQ(fb.Flush(100, err), 1);  // nothing pending: no waiting either
  EXPECT_EQ(clock.Now(), before);

  ASSERT_EQ(fb.Write(0, reinterpret_cast<const uint8_t*>("x"), 1, err), 1);
  const uint32_t start = clock.Now();
  EXPECT_EQ(fb.Flush(1000, err), -1);
  EXPECT_GE(clock.Now() - start, 1000u);
  // Sent at once, then again each time 400 ms have passed without an ACK.
  EXPECT_EQ(Summary(Written()), (Names{"DATA 1", "DATA 1", "DATA 1"}));

  AckEveryData();
  line.Feed(Control(kCtlAck, 1));
  EXPECT_EQ(fb.Flush(1000, err), 1);
  EXPECT_EQ(fb.SendQueueSize(), 0u);
}

// A record the owner has not read yet brings no acknowledgement: the wait still blocks on the line
// in slices instead of reading it without a pause until the deadline.
TEST_F(FrameBufferTest, WaitsForAcknowledgementsBlockOnTheLineWithDataUnread) {
  line.SetEmptyReadCost(1);
  line.Feed(Data(1, "unread"));
  uint32_t err = 0;
  const uint8_t x = 'x';
  ASSERT_EQ(fb.Write(0, &x, 1, err), 1);  // takes in the peer's frame, sends DATA 1
  ASSERT_TRUE(fb.DataReady());
  line.ClearWrites();
  const size_t reads_before = line.ReadWaits().size();
  const uint32_t start = clock.Now();
  EXPECT_EQ(fb.Flush(1000, err), -1);
  EXPECT_GE(clock.Now() - start, 1000u);
  const std::vector<int32_t> waits(line.ReadWaits().begin() + static_cast<std::ptrdiff_t>(reads_before),
                                   line.ReadWaits().end());
  EXPECT_LE(std::count(waits.begin(), waits.end(), 0), 2) << waits.size() << " reads";
  EXPECT_EQ(Summary(Written()), (Names{"DATA 1", "DATA 1", "DATA 1"}));  // and again every 400 ms all the same
  EXPECT_EQ(ReadText(), "unread");
}

TEST_F(FrameBufferTest, FlushWaitsForAnOpenGapToBeFilled) {
  line.Feed(Concat({Data(1, "a"), Data(3, "c")}));
  EXPECT_EQ(ReadText(), "a");
  uint32_t err = 0;
  EXPECT_EQ(fb.Flush(500, err), -1);
  line.Feed(Data(2, "b"));
  EXPECT_EQ(fb.Flush(500, err), 1);
  EXPECT_EQ(ReadText(), "bc");
}

TEST_F(FrameBufferTest, WindowBlocksWriteUntilAcknowledgementsArrive) {
  const Bytes data = Pattern(3 * 1013);
  uint32_t err = 0;
  const uint32_t start = clock.Now();
  EXPECT_EQ(fb.Write(1000, data.data(), static_cast<uint32_t>(data.size()), err), -1);
  EXPECT_GE(clock.Now() - start, 1000u);
  EXPECT_EQ(fb.SendQueueSize(), 3u);  // the data was taken; only the wait for room failed

  EXPECT_EQ(fb.Write(0, data.data(), 5, err), -1);  // still no room
  line.Feed(Control(kCtlAck, 2));                   // out of order: frame 1 still holds the window, and goes again
  line.ClearWrites();
  EXPECT_EQ(fb.Write(0, nullptr, 0, err), -1);
  EXPECT_EQ(Summary(line.Writes()), (Names{"DATA 1"}));
  EXPECT_EQ(fb.FrameLimit(), 512u);
  line.Feed(Control(kCtlAck, 1));
  EXPECT_EQ(fb.Write(0, nullptr, 0, err), 1);
  EXPECT_EQ(fb.SendQueueSize(), 1u);

  // A write of many frames: only the window's frames leave, and only they are retransmitted.
  line.Feed(Control(kCtlAck, 3));
  ASSERT_EQ(fb.Write(0, nullptr, 0, err), 1);
  line.ClearWrites();
  const Bytes six = Pattern(6 * (fb.FrameLimit() - kFrameHeaderSize));
  EXPECT_EQ(fb.Write(0, six.data(), static_cast<uint32_t>(six.size()), err), -1);
  EXPECT_EQ(fb.SendQueueSize(), 6u);
  EXPECT_EQ(fb.Flush(kMaxRetransmitMs, err), -1);
  const Names names = Summary(Written());
  EXPECT_GE(names.size(), 6u);
  for (const std::string& n : names) EXPECT_TRUE(n == "DATA 4" || n == "DATA 5" || n == "DATA 6") << n;
  line.ClearWrites();
  line.Feed(Control(kCtlAck, 4));
  EXPECT_EQ(fb.Write(0, nullptr, 0, err), -1);
  EXPECT_EQ(Summary(Written()), (Names{"DATA 7"}));

  AckEveryData();
  line.Feed(Concat({Control(kCtlAck, 5), Control(kCtlAck, 6), Control(kCtlAck, 7)}));
  EXPECT_EQ(fb.Flush(1000, err), 1);
  const Bytes big = Pattern(20000);
  EXPECT_EQ(fb.Write(1000, big.data(), static_cast<uint32_t>(big.size()), err), 1);
  EXPECT_EQ(fb.Flush(1000, err), 1);
}

// A table upload streams: a write returns with the window full and frames queued behind it, so
// the next rows are read while those frames travel; the next write waits for the window instead.
TEST_F(FrameBufferTest, StreamingWriteLeavesTheWindowFullAndTheNextWriteWaits) {
  fb.SetStreaming(true);
  const Bytes four = Pattern(4 * 1013);
  uint32_t err = 0;
  const uint32_t start = clock.Now();
  EXPECT_EQ(fb.Write(1000, four.data(), static_cast<uint32_t>(four.size()), err), 1);
  EXPECT_EQ(clock.Now(), start) << "a streaming write waited";
  EXPECT_EQ(Summary(Written()), (Names{"DATA 1", "DATA 2", "DATA 3"}));
  EXPECT_EQ(fb.SendQueueSize(), 4u);
  EXPECT_EQ(fb.Write(1000, four.data(), 5, err), -1);  // no room: the wait is here
  EXPECT_GE(clock.Now() - start, 1000u);

  line.ClearWrites();
  line.Feed(Control(kCtlAck, 1));
  line.Feed(Control(kCtlAck, 2));
  EXPECT_EQ(fb.Write(0, four.data(), 5, err), 1);
  EXPECT_EQ(Summary(Written()), (Names{"DATA 4"}));
  line.Feed(Concat({Control(kCtlAck, 3), Control(kCtlAck, 4)}));
  AckEveryData();
  EXPECT_EQ(fb.Flush(1000, err), 1);
  EXPECT_EQ(Summary(Written()), (Names{"DATA 4", "DATA 5"}));
  EXPECT_EQ(fb.SendQueueSize(), 0u);
}

// On a lossy line a frame whose ACK is late goes again early; a second ACK of the same frame shows
// both copies arrived, so early copies must wait longer, or on a paced line every copy lengthens
// the queue and every frame goes twice.
TEST_F(FrameBufferTest, ASecondAcknowledgementMakesEarlyCopiesWaitTwiceAsLong) {
  uint32_t err = 0;
  const auto send = [&](uint16_t number) {
    const Bytes byte = Pattern(1);
    fb.Write(0, byte.data(), 1, err);
    fb.Flush(0, err);  // leaves now
    EXPECT_EQ(fb.NextOutgoing(), number + 1);
  };
  const auto copies = [&](uint16_t number) {
    const std::string name = "DATA " + std::to_string(number);
    const Names names = Summary(Written());
    return std::count(names.begin(), names.end(), name);
  };
  send(1);
  clock.Advance(20);
  line.Feed(Control(kCtlAck, 1));  // the longest delay: 20 ms
  Poll();
  send(2);
  line.Feed(Control(kCtlNak, 2));  // a loss: frames shrink, and late ACKs bring early copies
  Poll();
  line.Feed(Control(kCtlAck, 2));
  Poll();

  send(3);
  clock.Advance(kRepeatFloorMs + 1);  // 2 x 20 ms is below the floor
  Poll();
  EXPECT_EQ(copies(3), 2);
  line.Feed(Control(kCtlAck, 3));
  Poll();
  line.Feed(Control(kCtlAck, 3));  // the early copy was not needed
  Poll();

  send(4);
  clock.Advance(kRepeatFloorMs + 10);
  Poll();
  EXPECT_EQ(copies(4), 1) << "an early copy went at the old wait";
  clock.Advance(25);  // 2 x 40 ms
  Poll();
  EXPECT_EQ(copies(4), 2);
}

TEST_F(FrameBufferTest, SyncAgainstAVersion2Peer) {
  line.OnWrite([this](const Bytes& w) {
    if (w[kFrameOffControl] == kCtlSyn) line.Feed(Syn(1, kProtocolV2));
  });
  uint16_t version = 0;
  uint32_t err = 0;
  fb.SetNextExpected(40);
  EXPECT_EQ(fb.Sync(3000, version, err), 1);
  EXPECT_EQ(version, kProtocolV2);
  ASSERT_EQ(Written().size(), 1u);  // the initiator does not answer the peer's SYN
  EXPECT_EQ(Written()[0],
            (Bytes{0x55, 0xF8, 0x01, 0x00, 0x0F, 0x00, 0xE4, 0xC0, 0x00, 0xFF, 0x01, 0x00, 0x03, 0x01, 0x00}));
  EXPECT_EQ(fb.NextOutgoing(), 2);
  EXPECT_EQ(fb.NextExpected(), 2);
  EXPECT_EQ(fb.PeerSynBlockVersion(), 1);
}

TEST_F(FrameBufferTest, SyncAgainstSilenceTimesOutInSlices) {
  uint16_t version = 0x1234;
  uint32_t err = 0;
  const uint32_t start = clock.Now();
  EXPECT_EQ(fb.Sync(2500, version, err), 0);
  EXPECT_GE(clock.Now() - start, 2500u);
  EXPECT_LT(clock.Now() - start, 2600u);
  EXPECT_EQ(version, 0x1234);
  for (int32_t wait : line.ReadWaits()) EXPECT_LE(wait, static_cast<int32_t>(kSyncSliceMs));
  EXPECT_GE(line.ReadWaits().size(), 3u);
}

TEST_F(FrameBufferTest, SyncFailsOnLowerWriteError) {
  line.FailWrites(32);
  uint16_t version = 0;
  uint32_t err = 0;
  EXPECT_EQ(fb.Sync(2000, version, err), 0);
  EXPECT_EQ(err, 32u);
}

TEST_F(FrameBufferTest, NonInitiatorAnswersSynWithItsNumberAndResets) {
  fb.SetInitiator(false);
  uint32_t err = 0;
  ASSERT_EQ(fb.Write(0, reinterpret_cast<const uint8_t*>("stale"), 5, err), 1);
  ASSERT_EQ(fb.Flush(0, err), -1);
  line.ClearWrites();
  const uint32_t flushes = line.Flushes();
  line.Feed(Syn(7, kProtocolV3));
  EXPECT_EQ(ReadText(), "");
  ASSERT_EQ(Written().size(), 1u);
  EXPECT_EQ(Written()[0], Syn(7, kProtocolV3));
  EXPECT_EQ(fb.NextOutgoing(), 8);
  EXPECT_EQ(fb.NextExpected(), 8);
  EXPECT_EQ(fb.PeerProtocolVersion(), kProtocolV3);
  EXPECT_EQ(fb.SendQueueSize(), 0u);  // the reset dropped the unacknowledged frame
  EXPECT_EQ(line.Flushes(), flushes + 1);
}

// What a session leaves behind (a half-built frame, unacknowledged frames, a gap) never reaches
// the next one, whether a sync or a newly attached lower stream starts it.
TEST_F(FrameBufferTest, SyncAndANewLowerStreamStartFromNothing) {
  for (const bool by_sync : {true, false}) {
    SCOPED_TRACE(by_sync ? "sync" : "new lower stream");
    line.OnWrite(nullptr);
    uint32_t err = 0;
    const Bytes big = Pattern(1500);
    ASSERT_EQ(fb.Write(0, big.data(), static_cast<uint32_t>(big.size()), err), 1);
    line.Feed(Data(static_cast<uint16_t>(fb.NextExpected() + 1), "after a gap"));
    ASSERT_EQ(Poll(), 1);
    ASSERT_EQ(fb.SendQueueSize(), 1u);
    ASSERT_EQ(fb.BuilderBodyBytes(), 1500u - (kV3MaxFrameSize - kFrameHeaderSize));
    ASSERT_EQ(fb.ReceiveQueueSize(), 2u);
    const uint32_t session = fb.Session();

    AnswerSynAndAckData();
    if (by_sync) {
      uint16_t version = 0;
      ASSERT_EQ(fb.Sync(1000, version, err), 1);
    } else {
      fb.SetLower(nullptr);
      fb.SetLower(&line);
    }
    EXPECT_NE(fb.Session(), session);
    EXPECT_EQ(fb.SendQueueSize(), 0u);
    EXPECT_EQ(fb.BuilderBodyBytes(), 0u);
    EXPECT_EQ(fb.ReceiveQueueSize(), 0u);
    const uint16_t first = by_sync ? 2 : 1;
    EXPECT_EQ(fb.NextExpected(), first);
    line.ClearWrites();
    ASSERT_EQ(fb.Write(0, reinterpret_cast<const uint8_t*>("new"), 3, err), 1);
    ASSERT_EQ(fb.Flush(1000, err), 1);
    EXPECT_EQ(Written(), std::vector<Bytes>{Data(first, "new")});
  }
}

TEST_F(FrameBufferTest, InitiatorDoesNotAnswerSyn) {
  line.Feed(Syn(3, kProtocolV3));
  EXPECT_EQ(ReadText(), "");
  EXPECT_TRUE(Written().empty());
  EXPECT_EQ(fb.NextExpected(), 4);
}

TEST_F(FrameBufferTest, StaleHalfFrameIsAbandonedAfterOneAndAHalfSeconds) {
  // A frame start that claims 1000 bytes and never gets them hides nothing once a whole frame
  // follows it, whether or not it has been abandoned as stale yet.
  Bytes half = Frame(1, kCtlData, Bytes(989, 'x'));
  half.resize(10);
  for (uint32_t quiet : {kStaleDataMs - 100, kStaleDataMs + 1}) {
    ScriptedStream wire(&clock);  // outlives the engine, whose destructor flushes it
    CFrameBuffer engine(clock);
    engine.Configure(kV3MaxFrameSize, kV3Window);
    engine.SetLower(&wire);
    wire.Feed(half);
    std::vector<uint8_t> buf(64);
    uint32_t count = 0, err = 0;
    ASSERT_EQ(engine.Read(0, buf.data(), 64, count, err), 1);
    clock.Advance(quiet);
    ASSERT_EQ(engine.Read(0, buf.data(), 64, count, err), 1);
    wire.Feed(Data(1, "fresh"));
    ASSERT_EQ(engine.Read(0, buf.data(), 64, count, err), 1);
    EXPECT_EQ(std::string(buf.begin(), buf.begin() + count), "fresh") << quiet;
  }
}

TEST_F(FrameBufferTest, FrameSplitAcrossReadsIsAssembled) {
  line.SetReadChunk(3);
  line.Feed(Concat({Data(1, "split"), Data(2, "parts")}));
  std::string got;
  for (int i = 0; i < 40 && got.size() < 10; ++i) got += ReadText(100);
  EXPECT_EQ(got, "splitparts");
}

TEST_F(FrameBufferTest, GarbageAndBogusFrameStartsAreSkipped) {
  Bytes bogus_short = Data(9, "zz");
  PutU16(bogus_short.data() + kFrameOffLength, 5);  // markers right, length below the header
  Bytes bogus_long = Data(9, "zz");
  PutU16(bogus_long.data() + kFrameOffLength, 0xFFFF);  // more than the receive buffer holds
  Bytes bad_crc = Data(2, "bad");
  bad_crc[kFrameOffBody] ^= 1;
  const Bytes unknown = Frame(3, 0x42, {1, 2, 3});
  line.Feed(Concat({{0x00, 0x55, 0xF8, 0x55, 0x13, 0xFF},
                    bogus_short,
                    Data(1, "one"),
                    bogus_long,
                    bad_crc,
                    unknown,
                    {0x55, 0xF8, 0x00},
                    Data(2, "two")}));
  std::string got;
  for (int i = 0; i < 10 && got.size() < 6; ++i) got += ReadText();
  EXPECT_EQ(got, "onetwo");
  EXPECT_EQ(Summary(Written()), (Names{"ACK 1", "ACK 2"}));
}

TEST_F(FrameBufferTest, CorruptedLengthDoesNotHoldBackLaterFrames) {
  // An acknowledgement whose length byte was hit now claims 523 bytes; the good frames behind it
  // are taken at once instead of after 523 bytes have come in.
  Bytes bad_ack = Control(kCtlAck, 7);
  bad_ack[kFrameOffLength + 1] = 0x02;
  line.Feed(Concat({bad_ack, Data(1, "one"), Data(2, "two")}));
  EXPECT_EQ(ReadText(), "onetwo");
  EXPECT_EQ(Summary(Written()), (Names{"ACK 1", "ACK 2"}));
  // A frame still arriving in pieces is waited for as before.
  line.ClearWrites();
  line.SetReadChunk(5);
  line.Feed(Data(3, "three"));
  std::string got;
  for (int i = 0; i < 10 && got.empty(); ++i) got = ReadText();
  EXPECT_EQ(got, "three");
}

TEST_F(FrameBufferTest, MalformedBodiesAreHandledSafely) {
  // An empty DATA frame is acknowledged and takes its number, but delivers nothing.
  line.Feed(Concat({Data(1, ""), Data(2, "x")}));
  EXPECT_EQ(ReadText(), "x");
  // A SYN without both version fields is not a handshake: no reset, no answer.
  fb.SetInitiator(false);
  line.ClearWrites();
  const uint32_t flushes = line.Flushes();
  line.Feed(Concat({Frame(9, kCtlSyn, {}), Frame(9, kCtlSyn, {0x00, 0x03}), Data(3, "y")}));
  EXPECT_EQ(ReadText(), "y");
  EXPECT_EQ(Summary(Written()), (Names{"ACK 3"}));
  EXPECT_EQ(line.Flushes(), flushes);
  EXPECT_EQ(fb.PeerSynBlockVersion(), 0);
  // NAK and ACK for frames never sent change nothing.
  line.Feed(Concat({Control(kCtlNak, 77), Control(kCtlAck, 78)}));
  EXPECT_EQ(Poll(), 1);
  EXPECT_EQ(fb.RetransmitTimeout(), kMinRetransmitMs);
}

TEST_F(FrameBufferTest, NakResendsTheFrameAtOnce) {
  uint32_t err = 0;
  ASSERT_EQ(fb.Write(0, reinterpret_cast<const uint8_t*>("abc"), 3, err), 1);
  ASSERT_EQ(fb.Flush(0, err), -1);
  line.Feed(Control(kCtlNak, 1));
  ASSERT_EQ(Poll(), 1);
  ASSERT_EQ(Summary(Written()), (Names{"DATA 1", "DATA 1"}));
  EXPECT_EQ(Written()[0], Written()[1]);
}

TEST_F(FrameBufferTest, LowerErrorsEndCallsWithMinus7AndKeepFramesQueued) {
  uint32_t err = 0;
  line.FailNextRead(121);
  std::vector<uint8_t> buf(16);
  uint32_t count = 0;
  EXPECT_EQ(fb.Read(100, buf.data(), 16, count, err), kFbLowerError);
  EXPECT_EQ(err, 121u);

  ASSERT_EQ(fb.Write(0, reinterpret_cast<const uint8_t*>("keep"), 4, err), 1);
  line.FailWrites(5);
  EXPECT_EQ(fb.Flush(1000, err), kFbLowerError);
  EXPECT_EQ(err, 5u);
  EXPECT_EQ(fb.SendQueueSize(), 1u);

  line.FailWrites(0);
  AckEveryData();
  EXPECT_EQ(fb.Flush(1000, err), 1);
  EXPECT_EQ(err, 0u);
  EXPECT_EQ(Summary(Written()), (Names{"DATA 1"}));
  line.FailNextRead(7);
  EXPECT_EQ(fb.Write(0, nullptr, 0, err), kFbLowerError);
}

TEST_F(FrameBufferTest, OnlyWholeSentFramesCountAndAPeerRestartFailsTheNextCallOnce) {
  uint32_t err = 0;
  const auto* abc = reinterpret_cast<const uint8_t*>("abc");
  // Cut short: not sent, so it goes again at once rather than after the retransmission time-out.
  line.CutWrites(5);
  ASSERT_EQ(fb.Write(0, abc, 3, err), 1);
  EXPECT_EQ(fb.Flush(0, err), kFbTimeout);
  line.CutWrites(0);
  EXPECT_EQ(Poll(), 1);
  // Frame 2 fails to leave; an ACK naming it neither removes it nor feeds the time-out.
  line.FailWrites(9);
  ASSERT_EQ(fb.Write(0, abc, 3, err), 1);
  EXPECT_EQ(fb.Flush(0, err), kFbLowerError);
  line.FailWrites(0);
  line.Feed(Control(kCtlAck, 2));
  EXPECT_EQ(Poll(), 1);
  EXPECT_EQ(Summary(Written()), (Names{"short", "DATA 1", "DATA 2"}));
  EXPECT_EQ(fb.SendQueueSize(), 2u);
  EXPECT_EQ(fb.RetransmitTimeout(), kMinRetransmitMs);
  // The peer restarts and drops both: the next call says so, once, after a handshake of its own
  // (here unanswered, so the call after it tries again) renumbers our side.
  line.Feed(Syn(7, kProtocolV3));
  EXPECT_EQ(Poll(), 1);
  EXPECT_EQ(fb.SendQueueSize(), 0u);
  EXPECT_TRUE(fb.ResyncPending());
  line.ClearWrites();
  EXPECT_EQ(fb.Flush(0, err), kFbPeerRestarted);
  EXPECT_EQ(fb.Write(0, abc, 3, err), kFbTimeout);
  AnswerSynAndAckData();
  EXPECT_EQ(fb.Write(0, abc, 3, err), 1);
  EXPECT_FALSE(fb.ResyncPending());
  ASSERT_EQ(fb.Flush(1000, err), 1);
  // A restart with nothing outstanding loses nothing: the next call only renumbers first.
  line.Feed(Syn(20, kProtocolV3));
  EXPECT_EQ(Poll(), 1);
  ASSERT_EQ(fb.Write(0, abc, 3, err), 1);
  EXPECT_EQ(fb.Flush(1000, err), 1);
  EXPECT_EQ(Summary(Written()), (Names{"SYN 1", "SYN 1", "SYN 1", "DATA 2", "SYN 1", "DATA 2"}));
  // A restart that drops the frame a flush waits for fails that flush itself.
  ASSERT_EQ(fb.Write(0, abc, 3, err), 1);
  line.Feed(Syn(30, kProtocolV3));
  EXPECT_EQ(fb.Flush(1000, err), kFbPeerRestarted);
  // A restart first read while a write waits for the window: its data goes after the renumbering.
  EXPECT_EQ(Poll(), 1);
  line.ClearWrites();
  line.Feed(Syn(40, kProtocolV3));
  ASSERT_EQ(fb.Write(0, abc, 3, err), 1);
  EXPECT_EQ(fb.Flush(1000, err), 1);
  EXPECT_EQ(Summary(Written()), (Names{"SYN 1", "DATA 2"}));
}

TEST_F(FrameBufferTest, DetachedOrUnconfiguredEngineRefusesWork) {
  CFrameBuffer bare(clock);
  uint32_t err = 0, count = 0;
  uint8_t b[4];
  uint16_t version = 0;
  EXPECT_EQ(bare.Read(0, b, 4, count, err), 0);
  EXPECT_EQ(bare.Write(0, b, 4, err), 0);
  EXPECT_EQ(bare.Flush(0, err), 0);
  EXPECT_EQ(bare.Sync(0, version, err), 0);
  bare.SetLower(&line);
  EXPECT_EQ(bare.Write(0, b, 4, err), 0);  // no frame size yet
  EXPECT_EQ(fb.Write(0, nullptr, 4, err), 0);
}

// Configures both engines as the library and the terminal do and puts them at the pipe's ends.
void Connect(CFrameBuffer& a, CFrameBuffer& b, MemoryPipe& pipe) {
  for (CFrameBuffer* e : {&a, &b}) e->Configure(kV3MaxFrameSize, kV3Window);
  a.SetInitiator(true);
  a.SetLower(&pipe.End(0));
  b.SetLower(&pipe.End(1));
}

// Two engines over an in-memory line that damages chosen frames once: data still arrives whole,
// through the receiver's NAK when a later frame shows the gap and through the sender's time-out
// when the damaged frame was the last.
TEST(FrameBufferPair, CorruptedFramesAreRecovered) {
  ManualClock clock;
  MemoryPipe pipe(&clock);
  std::vector<int> damaged;
  pipe.SetTransform([&](int side, const Bytes& bytes) {
    Bytes out = bytes;
    if (side == 0 && out.size() > kFrameHeaderSize && out[kFrameOffControl] == kCtlData) {
      const int number = FrameNumber(out.data());
      if ((number == 1 || number == 3) && std::find(damaged.begin(), damaged.end(), number) == damaged.end()) {
        damaged.push_back(number);
        out[out.size() / 2] ^= 0x5A;
      }
    }
    return out;
  });
  CFrameBuffer a(clock), b(clock);
  Connect(a, b, pipe);

  const Bytes data = Pattern(2500);
  uint32_t err = 0;
  ASSERT_EQ(a.Write(0, data.data(), 2500, err), 1);
  Bytes got;
  std::vector<uint8_t> buf(4096);
  for (int i = 0; i < 200 && got.size() < data.size(); ++i) {
    uint32_t count = 0;
    ASSERT_EQ(b.Read(0, buf.data(), 4096, count, err), 1);
    got.insert(got.end(), buf.begin(), buf.begin() + count);
    ASSERT_EQ(a.Write(0, nullptr, 0, err), 1);
    clock.Advance(50);
  }
  EXPECT_EQ(damaged, (std::vector<int>{1, 3}));
  EXPECT_EQ(got, data);
  EXPECT_EQ(a.Flush(1000, err), 1);
}

// A line that damages the first copy of every third DATA frame and the ACK of every fifth frame
// that went once, then nothing: the sender's frames shrink to the smallest size while it loses
// them and grow back to the maximum once the line is clean, every loss goes again on the peer's
// NAK or on the next frame's ACK, once, and both ends count what happened.
TEST(FrameBufferPair, FramesShrinkUnderLossGrowBackAndLossesGoAgainWithoutTimeOuts) {
  ManualClock clock;
  MemoryPipe pipe(&clock);
  bool lossy = true;
  std::map<uint16_t, int> copies;  // DATA frames written, by number
  int acks = 0;
  uint32_t damaged[2] = {0, 0};  // by the writing side
  std::vector<size_t> sizes;     // every DATA frame written, repeats included
  pipe.SetTransform([&](int side, const Bytes& bytes) {
    Bytes out = bytes;
    if (out.size() < kFrameHeaderSize) return out;
    const uint8_t code = out[kFrameOffControl];
    const uint16_t number = FrameNumber(out.data());
    bool hit = false;
    if (side == 0 && code == kCtlData) {
      sizes.push_back(out.size());
      hit = ++copies[number] == 1 && number % 3 == 1;
    } else if (side == 1 && code == kCtlAck) {
      hit = copies[number] == 1 && ++acks % 5 == 0;
    }
    if (lossy && hit) {
      out[code == kCtlAck ? kFrameOffControl : out.size() / 2] ^= 0x5A;
      ++damaged[side];
    }
    return out;
  });
  CFrameBuffer a(clock), b(clock);
  Connect(a, b, pipe);

  const Bytes data = Pattern(45000);
  const uint32_t row = 100, lossy_part = 10000;
  uint32_t sent = 0, err = 0;
  Bytes got;
  std::vector<uint8_t> buf(4096);
  size_t lossy_frames = 0;
  for (int i = 0; i < 5000 && got.size() < data.size(); ++i) {
    if (lossy && sent >= lossy_part) {
      EXPECT_EQ(a.FrameLimit(), kV3SmallestFrame);
      lossy = false;
      lossy_frames = sizes.size();
    }
    if (sent < data.size() && a.WindowOpen()) {
      // -1: taken, but the frame it completed closed the window.
      ASSERT_NE(a.Write(0, data.data() + sent, row, err), kFbLowerError);
      sent += row;
    } else if (sent < data.size()) {
      ASSERT_NE(a.Write(0, nullptr, 0, err), kFbLowerError);
    } else {
      a.Flush(0, err);  // the last partial frame leaves now
      ASSERT_NE(a.Write(0, nullptr, 0, err), kFbLowerError);
    }
    uint32_t count = 0;
    ASSERT_EQ(b.Read(0, buf.data(), 4096, count, err), 1);
    got.insert(got.end(), buf.begin(), buf.begin() + count);
  }
  EXPECT_EQ(got, data);
  EXPECT_EQ(a.FrameLimit(), kV3MaxFrameSize);
  ASSERT_GT(lossy_frames, 0u);
  EXPECT_EQ(sizes.front(), kV3MaxFrameSize);
  EXPECT_EQ(*std::max_element(sizes.begin() + lossy_frames - 10, sizes.begin() + lossy_frames), kV3SmallestFrame);
  EXPECT_EQ(*std::max_element(sizes.end() - 10, sizes.end() - 1), kV3MaxFrameSize);
  // Each loss went again once: never on a time-out, never for both the NAK and the next ACK.
  EXPECT_EQ(a.Retransmissions(), damaged[0] + damaged[1]);
  EXPECT_EQ(b.CrcFailures(), damaged[0]);
  EXPECT_EQ(a.CrcFailures(), damaged[1]);
  EXPECT_EQ(a.Flush(1000, err), 1);
}

}  // namespace
}  // namespace korvane
