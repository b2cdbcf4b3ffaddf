#include "frame/frame_exchange.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <numeric>
#include <sstream>
#include <vector>

#include "frame/frame_layout.h"
#include "log/log_time.h"
#include "platform/files.h"
#include "platform/thread_id.h"
#include "support/fixed_log_time.h"
#include "support/memory_port.h"
#include "support/temp_dir.h"

namespace korvane {
namespace {

using Bytes = std::vector<uint8_t>;
using test::MemoryPort;

Bytes MakeFrame(uint16_t number, uint8_t control, const Bytes& body = {}) {
  Bytes f(kFrameHeaderSize + body.size());
  std::copy(body.begin(), body.end(), f.begin() + kFrameHeaderSize);
  FinishFrame(f.data(), number, static_cast<uint16_t>(f.size()), control);
  return f;
}
Bytes Ack(uint16_t n) { return MakeFrame(n, kCtlAck); }
Bytes Nak(uint16_t n, uint8_t code) { return MakeFrame(n, kCtlNak, {code}); }
Bytes SynAnswer(uint16_t n, uint16_t version) {
  return MakeFrame(n, kCtlSyn, {static_cast<uint8_t>(version), static_cast<uint8_t>(version >> 8), 0x01, 0x00});
}
Bytes Data(uint16_t n, const Bytes& data) { return MakeFrame(n, kCtlData, data); }
Bytes Frag(uint16_t n, uint8_t count, uint8_t index, const Bytes& data) {
  Bytes body{count, index};
  body.insert(body.end(), data.begin(), data.end());
  return MakeFrame(n, kCtlFrag, body);
}
Bytes Pattern(size_t n, uint8_t seed = 0) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i * 7 + seed + (i >> 8));
  return b;
}
uint16_t NumberOf(const Bytes& f) { return FrameNumber(f.data()); }
uint8_t CodeOf(const Bytes& f) { return FrameControlCode(f.data()); }
bool CrcGood(Bytes f) { return VerifyFrameCrc(f.data(), static_cast<uint16_t>(f.size())); }

class V2Exchange : public ::testing::Test {
 protected:
  void SetUp() override { port = test::MakeMemoryTsPort(clock, dev); }
  void TearDown() override { tsClosePort(port); }

  // The terminal's version already learnt, as after an earlier SYN.
  void Synced(uint16_t version = kProtocolV2) {
    port->remote_version = version;
    port->remote_syn_block = kSynBlockVersion;
    port->max_frame_size = version == kProtocolV2Large ? kV2LargeFrameSize : kV2DefaultFrameSize;
  }
  // lastFrame as after an exchange that ended with frame `number`.
  void LastNumbered(uint16_t number) {
    Bytes f = Data(number, Pattern(20, 99));
    std::memcpy(last, f.data(), f.size());
  }
  // Each write gets the next scripted answer (an empty one: nothing comes back).
  void Script(std::deque<Bytes> answers) {
    script = std::move(answers);
    dev->SetPeer([this](const Bytes&, MemoryPort& p) {
      if (script.empty()) return;
      p.Answer(script.front());
      script.pop_front();
    });
  }
  // Every data frame is acknowledged under its own number; SYN answered with `version`.
  void AckEverything(uint16_t version = kProtocolV2) {
    dev->SetPeer([version](const Bytes& w, MemoryPort& p) {
      p.Answer(CodeOf(w) == kCtlSyn ? SynAnswer(NumberOf(w), version) : Ack(NumberOf(w)));
    });
  }
  bool LastZeroed() const {
    return std::all_of(std::begin(last), std::end(last), [](uint8_t b) { return b == 0; });
  }
  int32_t Send(const Bytes& data, uint32_t timeout = 15000) {
    return tsSend(port, last, data.data(), static_cast<uint32_t>(data.size()), timeout, err);
  }

  ManualClock clock{1000};
  MemoryPort* dev = nullptr;
  TsPort* port = nullptr;
  uint8_t last[kLastFrameSize] = {};
  uint32_t err = 0;
  std::deque<Bytes> script;
};

TEST(V2Frames, SynAndReqMatchTheReferenceBytes) {
  uint8_t f[kLastFrameSize];
  ASSERT_EQ(tsMakeSyn(f, 1), 15u);
  EXPECT_EQ(Bytes(f, f + 15), (Bytes{0x55, 0xF8, 0x01, 0x00, 0x0F, 0x00, 0xC5, 0xD0, 0x00, 0xFF, 0x01, 0x00, 0x02, 0x01, 0x00}));
  ASSERT_EQ(tsMakeReq(f, 1, 0), 13u);
  EXPECT_EQ(Bytes(f, f + 13), (Bytes{0x55, 0xF8, 0x01, 0x00, 0x0D, 0x00, 0x34, 0x7F, 0x00, 0xFF, 0x02, 0x00, 0x00}));
}

TEST(V2Frames, BlocksBeyondOneByteOfFragmentsAreRefused) {
  TsPort p;  // 230-byte frames: 217 bytes a fragment, 255 fragments at most
  uint8_t f[kLastFrameSize];
  Bytes fits = Pattern(217 * 255), too_big = Pattern(217 * 255 + 1);
  TsBlockState ok{fits.data(), static_cast<uint32_t>(fits.size()), 1, 0, 0, 0, 0};
  EXPECT_EQ(tsMakeNextFrame(f, ok, &p), 217u);
  EXPECT_EQ(ok.count, 255);
  TsBlockState refused{too_big.data(), static_cast<uint32_t>(too_big.size()), 1, 0, 0, 0, 0};
  EXPECT_EQ(tsMakeNextFrame(f, refused, &p), 0u);
  TsBlockState empty{fits.data(), 0, 1, 0, 0, 0, 0};
  EXPECT_EQ(tsMakeNextFrame(f, empty, &p), 0u);
}

TEST_F(V2Exchange, FiveHundredBytesGoAsThreeFragmentsNumberedAfterLastFrame) {
  Synced();
  LastNumbered(10);
  AckEverything();
  const Bytes block = Pattern(500);
  ASSERT_EQ(Send(block), 1);
  ASSERT_EQ(dev->writes().size(), 3u);
  const size_t sizes[] = {217, 217, 66};
  Bytes joined;
  for (size_t i = 0; i < 3; ++i) {
    const Bytes& w = dev->writes()[i];
    EXPECT_EQ(w.size(), 13 + sizes[i]);
    EXPECT_EQ(FrameLength(w.data()), w.size());
    EXPECT_EQ(NumberOf(w), 11 + i);
    EXPECT_EQ(CodeOf(w), kCtlFrag);
    EXPECT_EQ(w[11], 3);
    EXPECT_EQ(w[12], i);
    EXPECT_TRUE(CrcGood(w));
    joined.insert(joined.end(), w.begin() + 13, w.end());
  }
  EXPECT_EQ(joined, block);
  EXPECT_EQ(Bytes(last, last + 79), dev->writes()[2]);
  EXPECT_EQ(err, 0u);
}

TEST_F(V2Exchange, DataFrameHoldsUpTo219BytesAtTheDefaultSize) {
  Synced();
  AckEverything();
  ASSERT_EQ(Send(Pattern(219)), 1);
  ASSERT_EQ(dev->writes().size(), 1u);
  EXPECT_EQ(dev->writes()[0].size(), 230u);
  EXPECT_EQ(CodeOf(dev->writes()[0]), kCtlData);
  EXPECT_EQ(NumberOf(dev->writes()[0]), 1);

  ASSERT_EQ(Send(Pattern(220)), 1);
  ASSERT_EQ(dev->writes().size(), 3u);
  EXPECT_EQ(CodeOf(dev->writes()[1]), kCtlFrag);
  EXPECT_EQ(dev->writes()[1].size(), 230u);
  EXPECT_EQ(dev->writes()[2].size(), 13u + 3u);
  EXPECT_EQ(NumberOf(dev->writes()[1]), 2);
  EXPECT_EQ(NumberOf(dev->writes()[2]), 3);
}

TEST_F(V2Exchange, FreshPortSynchronisesFirstAndLargeFramesFollowVersion0201) {
  AckEverything(kProtocolV2Large);
  const Bytes block = Pattern(10000);
  ASSERT_EQ(Send(block), 1);
  ASSERT_EQ(dev->writes().size(), 3u);
  uint8_t syn[kLastFrameSize];
  tsMakeSyn(syn, 1);
  EXPECT_EQ(dev->writes()[0], Bytes(syn, syn + 15));
  EXPECT_EQ(dev->writes()[1].size(), 8096u);
  EXPECT_EQ(NumberOf(dev->writes()[1]), 2);
  EXPECT_EQ(dev->writes()[1][11], 2);
  EXPECT_EQ(dev->writes()[2].size(), 13u + 10000u - 8083u);
  EXPECT_EQ(NumberOf(dev->writes()[2]), 3);
  EXPECT_EQ(port->remote_version, kProtocolV2Large);
  EXPECT_EQ(port->max_frame_size, kV2LargeFrameSize);

  // A 0x0200 terminal keeps frames at 230 bytes.
  port->remote_version = 0;
  AckEverything(kProtocolV2);
  ASSERT_EQ(Send(Pattern(300)), 1);
  EXPECT_EQ(port->max_frame_size, kV2DefaultFrameSize);
  EXPECT_EQ(dev->writes()[4].size(), 230u);
}

TEST_F(V2Exchange, NakNumberFollowsTheNumberItNames) {
  Synced();
  LastNumbered(5);
  const Bytes previous(last, last + FrameLength(last));
  // Naming lastFrame: that frame goes again, its ACK brings back the pending one.
  Script({Nak(5, E_NAK_NUMBER), Ack(5), Ack(6)});
  ASSERT_EQ(Send(Pattern(100)), 1);
  ASSERT_EQ(dev->writes().size(), 3u);
  EXPECT_EQ(dev->writes()[1], previous);
  EXPECT_EQ(dev->writes()[2], dev->writes()[0]);
  EXPECT_EQ(NumberOf(dev->writes()[0]), 6);

  // Naming the pending frame: it goes again. Naming neither: SYN with the pending number, then the
  // block starts over numbered one higher.
  Script({Nak(7, E_NAK_NUMBER), Nak(300, E_NAK_NUMBER), SynAnswer(7, kProtocolV2), Ack(8)});
  ASSERT_EQ(Send(Pattern(50)), 1);
  ASSERT_EQ(dev->writes().size(), 7u);
  EXPECT_EQ(dev->writes()[4], dev->writes()[3]);
  EXPECT_EQ(CodeOf(dev->writes()[5]), kCtlSyn);
  EXPECT_EQ(NumberOf(dev->writes()[5]), 7);
  EXPECT_EQ(CodeOf(dev->writes()[6]), kCtlData);
  EXPECT_EQ(NumberOf(dev->writes()[6]), 8);
}

TEST_F(V2Exchange, NakNumberNamingAnEmptyLastFrameSynchronises) {
  Synced();
  // lastFrame is all zeros: there is no frame 0 to repeat.
  Script({Nak(0, E_NAK_NUMBER), SynAnswer(1, kProtocolV2), Ack(2)});
  ASSERT_EQ(Send(Pattern(10)), 1);
  ASSERT_EQ(dev->writes().size(), 3u);
  EXPECT_EQ(CodeOf(dev->writes()[1]), kCtlSyn);
  EXPECT_EQ(NumberOf(dev->writes()[1]), 1);
}

TEST_F(V2Exchange, TwoWrongControlCodesInARowCrashTheExchange) {
  Synced();
  LastNumbered(3);
  dev->SetPeer([](const Bytes& w, MemoryPort& p) { p.Answer(MakeFrame(NumberOf(w), 7)); });
  EXPECT_EQ(Send(Pattern(10)), E_ALG_CRASH);
  ASSERT_EQ(dev->writes().size(), 2u);
  EXPECT_EQ(CodeOf(dev->writes()[1]), kCtlSyn);
  EXPECT_EQ(NumberOf(dev->writes()[1]), 4);
  EXPECT_EQ(dev->purges(), 1);
  EXPECT_TRUE(LastZeroed());
}

TEST_F(V2Exchange, AValidAnswerBetweenWrongCodesClearsTheCount) {
  Synced();
  Script({MakeFrame(1, 7), Nak(1, E_NAK_CRC), MakeFrame(1, 7), SynAnswer(1, kProtocolV2), Ack(2)});
  EXPECT_EQ(Send(Pattern(10)), 1);
  EXPECT_EQ(dev->writes().size(), 5u);
  EXPECT_EQ(dev->purges(), 0);
}

TEST_F(V2Exchange, RecvCrashesOnTwoWrongCodesWithoutSynchronisingTwice) {
  Synced();
  dev->SetPeer([](const Bytes& w, MemoryPort& p) { p.Answer(Ack(NumberOf(w))); });
  uint8_t buf[100];
  EXPECT_EQ(tsRecv(port, last, buf, sizeof buf, 15000, err), E_ALG_CRASH);
  ASSERT_EQ(dev->writes().size(), 2u);
  EXPECT_EQ(CodeOf(dev->writes()[0]), kCtlReq);
  EXPECT_EQ(CodeOf(dev->writes()[1]), kCtlSyn);
  EXPECT_EQ(dev->purges(), 1);
}

TEST_F(V2Exchange, LostAnswersBackOffThenTimeOutAndReset) {
  Synced();
  LastNumbered(9);
  const uint32_t start = clock.Now();
  EXPECT_EQ(Send(Pattern(10), 6000), kTsTimeout);
  std::vector<uint32_t> offsets;
  for (uint32_t t : dev->write_times()) offsets.push_back(t - start);
  EXPECT_EQ(offsets, (std::vector<uint32_t>{0, 400, 1200, 2800, 4400, 6000}));
  for (const Bytes& w : dev->writes()) EXPECT_EQ(w, dev->writes()[0]);
  EXPECT_EQ(dev->purges(), 1);
  EXPECT_TRUE(LastZeroed());

  // The next call numbers from 1; a valid answer brings the frame time-out back to 400.
  EXPECT_EQ(port->frame_timeout, kV2MaxFrameTimeoutMs);
  AckEverything();
  EXPECT_EQ(Send(Pattern(10)), 1);
  EXPECT_EQ(NumberOf(dev->writes().back()), 1);
  EXPECT_EQ(port->frame_timeout, kV2InitialFrameTimeoutMs);
}

TEST_F(V2Exchange, PortErrorsEndTheExchangeAtOnceAndShortSendsBackOffWithinTheDeadline) {
  Synced();
  LastNumbered(9);
  const uint32_t start = clock.Now();
  dev->FailSends(31);
  EXPECT_EQ(Send(Pattern(10), 15000), kTsPortError);
  EXPECT_EQ(err, 31u);
  EXPECT_EQ(dev->writes().size(), 1u);
  EXPECT_EQ(clock.Now(), start);
  EXPECT_EQ(dev->purges(), 1);
  EXPECT_TRUE(LastZeroed());

  // A frame cut short (no error) costs its step time-out, but the last back-off ends at the deadline.
  dev->FailSends(0);
  dev->CutSends(5);
  uint8_t buf[16];
  const uint32_t second = clock.Now();
  EXPECT_EQ(tsRecv(port, last, buf, sizeof buf, 1000, err), kTsTimeout);
  EXPECT_EQ(err, 0u);
  std::vector<uint32_t> offsets;
  for (size_t i = 1; i < dev->writes().size(); ++i) offsets.push_back(dev->write_times()[i] - second);
  EXPECT_EQ(offsets, (std::vector<uint32_t>{0, 400, 1000}));
  EXPECT_EQ(clock.Now() - second, 1000u);
}

TEST_F(V2Exchange, GarbageBeforeTheAnswerIsDropped) {
  Synced();
  dev->LimitReads(3);
  dev->SetPeer([](const Bytes& w, MemoryPort& p) {
    // Noise, a lone start marker, markers with an impossible length, then the answer.
    Bytes noise{0x00, 0x13, 0x55, 0xF8, 0x77, 0x55, 0xF8, 0x01, 0x00, 0x05, 0x00, 0x00, 0x00, 0x00, 0xFF, 0x05};
    Bytes huge = Ack(NumberOf(w));
    PutU16(huge.data() + kFrameOffLength, 9000);
    noise.insert(noise.end(), huge.begin(), huge.end());
    Bytes ack = Ack(NumberOf(w));
    noise.insert(noise.end(), ack.begin(), ack.end());
    p.Answer(noise);
  });
  EXPECT_EQ(Send(Pattern(500)), 1);
  EXPECT_EQ(dev->writes().size(), 3u);
}

TEST_F(V2Exchange, BadCrcAnswerIsAFailedStep) {
  Synced();
  AckEverything();
  dev->CorruptNextAnswer(3);
  EXPECT_EQ(Send(Pattern(10)), 1);
  ASSERT_EQ(dev->writes().size(), 2u);
  EXPECT_EQ(dev->writes()[1], dev->writes()[0]);
  EXPECT_EQ(dev->write_times()[1], dev->write_times()[0]);  // the answer was there: no waiting
  EXPECT_EQ(port->frame_timeout, kV2InitialFrameTimeoutMs);
}

TEST_F(V2Exchange, MalformedAnswersAreRetriedNotObeyed) {
  Synced();
  LastNumbered(1);
  // A NAK without its code, a SYN with a short body: neither may steer the exchange.
  Script({MakeFrame(2, kCtlNak), MakeFrame(2, kCtlSyn, {0x01, 0x02}), Ack(2)});
  EXPECT_EQ(Send(Pattern(10)), 1);
  ASSERT_EQ(dev->writes().size(), 3u);
  for (const Bytes& w : dev->writes()) EXPECT_EQ(w, dev->writes()[0]);
  EXPECT_EQ(port->remote_version, kProtocolV2);
}

TEST_F(V2Exchange, SendNakCodesStopOrResetAsTheyMean) {
  Synced();
  LastNumbered(4);
  Script({Nak(5, E_NAK_OVERFLOW)});
  EXPECT_EQ(Send(Pattern(10)), kTsOverflow);
  EXPECT_EQ(dev->purges(), 0);
  EXPECT_EQ(FrameNumber(last), 4);

  Script({Nak(5, E_NAK_CRC), Nak(5, E_NAK_DROP), Nak(5, E_NAK_SEND_ON_SEND)});
  EXPECT_EQ(Send(Pattern(10)), kTsCrossedStreams);
  EXPECT_EQ(dev->writes().size(), 4u);
  EXPECT_EQ(dev->purges(), 1);
  EXPECT_TRUE(LastZeroed());

  // Codes it does not handle (here 5) make it synchronise.
  Script({Nak(1, E_NAK_REQ_WHILE_RECV), SynAnswer(1, kProtocolV2), Ack(2)});
  EXPECT_EQ(Send(Pattern(10)), 1);
  EXPECT_EQ(CodeOf(dev->writes()[5]), kCtlSyn);
}

TEST_F(V2Exchange, RecvReassemblesFragments) {
  Synced();
  const Bytes block = Pattern(500, 3);
  dev->SetPeer([&block](const Bytes& w, MemoryPort& p) {
    ASSERT_EQ(CodeOf(w), kCtlReq);
    const uint8_t i = w[12];
    const size_t from = i * 217u, n = std::min<size_t>(217, block.size() - from);
    p.Answer(Frag(NumberOf(w), 3, i, Bytes(block.begin() + from, block.begin() + from + n)));
  });
  uint8_t buf[600];
  ASSERT_EQ(tsRecv(port, last, buf, sizeof buf, 15000, err), 500);
  EXPECT_EQ(Bytes(buf, buf + 500), block);
  ASSERT_EQ(dev->writes().size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(NumberOf(dev->writes()[i]), 1 + i);
    EXPECT_EQ(dev->writes()[i][12], i);
  }
  EXPECT_EQ(Bytes(last, last + 13), dev->writes()[2]);
}

TEST_F(V2Exchange, RecvSynchronisesThenRequestsAfterTheAnswersNumber) {
  Script({SynAnswer(40, kProtocolV2Large), Data(41, Pattern(300))});
  uint8_t buf[400];
  ASSERT_EQ(tsRecv(port, last, buf, sizeof buf, 15000, err), 300);
  ASSERT_EQ(dev->writes().size(), 2u);
  EXPECT_EQ(CodeOf(dev->writes()[0]), kCtlSyn);
  EXPECT_EQ(NumberOf(dev->writes()[0]), 1);
  EXPECT_EQ(CodeOf(dev->writes()[1]), kCtlReq);
  EXPECT_EQ(NumberOf(dev->writes()[1]), 41);
  EXPECT_EQ(port->max_frame_size, kV2LargeFrameSize);
}

TEST_F(V2Exchange, RecvOverflowResetsNothing) {
  Synced(kProtocolV2Large);
  Script({Data(1, Pattern(300))});
  uint8_t buf[100];
  EXPECT_EQ(tsRecv(port, last, buf, sizeof buf, 15000, err), kTsOverflow);
  EXPECT_EQ(dev->purges(), 0);
  EXPECT_EQ(FrameNumber(last), 1);  // the answered request stays the base
  EXPECT_EQ(CodeOf(Bytes(last, last + 13)), kCtlReq);

  // Fragments that outgrow the buffer part way.
  Script({Frag(2, 2, 0, Pattern(60)), Frag(3, 2, 1, Pattern(60))});
  EXPECT_EQ(tsRecv(port, last, buf, sizeof buf, 15000, err), kTsOverflow);
  EXPECT_EQ(dev->purges(), 0);
}

TEST_F(V2Exchange, RecvNakCodes) {
  Synced();
  // CRC, DROP and codes it does not handle resend; REQ_WHILE_RECV stops with a reset.
  Script({Nak(1, E_NAK_CRC), Nak(1, E_NAK_OVERFLOW), Nak(1, E_NAK_SEND_ON_SEND), Nak(1, E_NAK_REQ_WHILE_RECV)});
  uint8_t buf[100];
  EXPECT_EQ(tsRecv(port, last, buf, sizeof buf, 15000, err), kTsCrossedStreams);
  ASSERT_EQ(dev->writes().size(), 4u);
  for (const Bytes& w : dev->writes()) EXPECT_EQ(w, dev->writes()[0]);
  EXPECT_EQ(dev->purges(), 1);
}

TEST_F(V2Exchange, RecvNakNumberOnThePreviousRequestResendsItAndDiscardsItsAnswer) {
  Synced();
  uint8_t req[kLastFrameSize];
  tsMakeReq(req, 7, 0);
  std::memcpy(last, req, 13);
  Script({Nak(7, E_NAK_NUMBER), Data(7, Pattern(5, 1)), Data(8, Pattern(6, 2))});
  uint8_t buf[100];
  ASSERT_EQ(tsRecv(port, last, buf, sizeof buf, 15000, err), 6);
  EXPECT_EQ(Bytes(buf, buf + 6), Pattern(6, 2));
  ASSERT_EQ(dev->writes().size(), 3u);
  EXPECT_EQ(dev->writes()[1], Bytes(req, req + 13));
  EXPECT_EQ(dev->writes()[2], dev->writes()[0]);
}

TEST_F(V2Exchange, RecvRejectsFragmentsThatCannotBeRight) {
  Synced();
  // count 0, index past count, a fragment other than the one asked for: each is asked for again.
  Script({Frag(1, 0, 0, Pattern(5)), Frag(1, 2, 2, Pattern(5)), Frag(1, 2, 1, Pattern(5)), MakeFrame(1, kCtlFrag, {1}),
          Frag(1, 1, 0, Pattern(5, 9))});
  uint8_t buf[100];
  ASSERT_EQ(tsRecv(port, last, buf, sizeof buf, 15000, err), 5);
  EXPECT_EQ(Bytes(buf, buf + 5), Pattern(5, 9));
  EXPECT_EQ(dev->writes().size(), 5u);
}

TEST_F(V2Exchange, FragmentRequestTakesItsOwnIndexOrARestartAtZero) {
  Synced();
  // Fragment 2 answering a request for 1 is asked for again; fragment 0 restarts the block.
  Script({Frag(1, 3, 0, Pattern(8, 1)), Frag(2, 3, 2, Pattern(8, 2)), Frag(2, 3, 0, Pattern(8, 3)),
          Frag(3, 3, 1, Pattern(8, 4)), Frag(4, 3, 2, Pattern(5, 5))});
  uint8_t buf[100];
  ASSERT_EQ(tsRecv(port, last, buf, sizeof buf, 15000, err), 21);
  Bytes want = Pattern(8, 3);
  for (const Bytes& part : {Pattern(8, 4), Pattern(5, 5)}) want.insert(want.end(), part.begin(), part.end());
  EXPECT_EQ(Bytes(buf, buf + 21), want);
  ASSERT_EQ(dev->writes().size(), 5u);
  EXPECT_EQ(dev->writes()[2], dev->writes()[1]);
  std::vector<int> indexes;
  for (const Bytes& w : dev->writes()) indexes.push_back(w[kFragOffIndex]);
  EXPECT_EQ(indexes, (std::vector<int>{0, 1, 1, 1, 2}));
}

TEST_F(V2Exchange, BadArgumentsReturnZeroWithoutTouchingThePort) {
  uint8_t buf[10] = {};
  EXPECT_EQ(tsSend(nullptr, last, buf, 10, 100, err), 0);
  EXPECT_EQ(tsSend(port, nullptr, buf, 10, 100, err), 0);
  EXPECT_EQ(tsSend(port, last, buf, 0, 100, err), 0);
  EXPECT_EQ(tsRecv(port, last, nullptr, 10, 100, err), 0);
  EXPECT_EQ(tsRecv(port, last, buf, 0, 100, err), 0);
  EXPECT_TRUE(dev->writes().empty());
}

// ---- wire dump lines ----

class V2Dump : public V2Exchange {
 protected:
  void SetUp() override {
    V2Exchange::SetUp();
    test::WriteFileBytes(dump, "");
  }
  std::vector<std::string> Lines() const {
    std::vector<std::string> out;
    std::string all = test::ReadFileBytes(dump);
    size_t pos = 0;
    while (pos < all.size()) {
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
  std::string Id() const { return StrFormat("%8.8X", port->port->Identity()); }

  test::TempDir dir;
  test::ScopedLogDir log_dir{dir.Path()};
  test::FixedLogTime log_time;
  std::string dump = dir.File("korvdump.txt");
};

TEST_F(V2Dump, SendLinesAreExact) {
  // SYN lost once, then answered; the block's frame NAKed once with E_NAK_CRC.
  Script({Bytes{}, SynAnswer(1, kProtocolV2), Nak(2, E_NAK_CRC), Ack(2)});
  ASSERT_EQ(Send(Pattern(5)), 1);
  const std::string s = "tsSend(len=5)", step = "tsSend(len=5), tsSendRecvFrame()", id = Id();
  EXPECT_EQ(Lines(), (std::vector<std::string>{
                         Line(s, "[tsSend:" + id + "] Запрос версии протокола удаленного устройства."),
                         Line(step, "[tsSendRecvFrame:" + id + "] таймаут на приеме ответа"),
                         Line(s, "[tsSend:" + id + "] tsSendRecvFrame вернул ошибку, nResult=0. Пытаемся повторить попытку."),
                         Line(s, "[tsSend:" + id +
                                     "] Синхронизация прошла успешно. Версия протокола на клиенте: 0x0200, версия "
                                     "клиентского SYN-блока: 0x0001."),
                         Line(s, "[tsSend:" + id + "] Получен NAK, nNAKError=1"),
                         Line(s, "[tsSend:" + id + "] E_NAK_CRC (1) или E_NAK_DROP (2). Переповторяем фрейм."),
                     }));
}

TEST_F(V2Dump, CrashAndTimeoutLinesAreExact) {
  Synced();
  Script({MakeFrame(1, 9), MakeFrame(1, 9)});
  ASSERT_EQ(Send(Pattern(7)), E_ALG_CRASH);
  const std::string s = "tsSend(len=7)", id = Id();
  const std::string wrong = "[tsSend:" + id + "] неверные ответный контрольный код, nControlCode=9... сбой алгоритма? "
                                              "Пытаемся повторить попытку.";
  EXPECT_EQ(Lines(), (std::vector<std::string>{
                         Line(s, wrong),
                         Line(s, "[tsSend:" + id + "] Пытаемся произвести синхронизацию номеров фреймов."),
                         Line(s, wrong),
                         Line(s, "[tsSend:" + id +
                                     "] Повторный неверный код. Видимо, нарушена логика обмена. Прерываем обмен с "
                                     "ошибкой E_ALG_CRASH."),
                     }));

  test::WriteFileBytes(dump, "");
  uint8_t buf[10] = {};
  ASSERT_EQ(tsRecv(port, last, buf, sizeof buf, 0, err), kTsTimeout);
  const std::string r = "tsRecv(maxsize=10)";
  EXPECT_EQ(Lines(), (std::vector<std::string>{
                         Line(r + ", tsSendRecvFrame()", "[tsSendRecvFrame:" + id + "] таймаут на приеме ответа"),
                         Line(r, "[tsRecv:" + id + "] tsSendRecvFrame вернул ошибку, nResult=0. Пытаемся повторить попытку."),
                         Line(r, "[tsRecv:" + id + "] таймаут"),
                     }));
}

TEST_F(V2Dump, ClosingNothingWritesNothing) {
  tsClosePort(nullptr);
  EXPECT_EQ(test::ReadFileBytes(dump), "");
}

}  // namespace
}  // namespace korvane
