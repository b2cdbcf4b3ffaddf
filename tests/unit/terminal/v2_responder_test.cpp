#include "terminal/v2_responder.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "frame/frame_exchange.h"
#include "frame/frame_layout.h"
#include "support/memory_port.h"

namespace korvane {
namespace {

using Bytes = std::vector<uint8_t>;
using test::MemoryPort;

Bytes RandomBlock(std::mt19937& rng, size_t n) {
  Bytes b(n);
  for (auto& x : b) x = static_cast<uint8_t>(rng());
  return b;
}

// The frames in a byte stream, in order (the stream is the responder's output: well formed).
std::vector<Bytes> SplitFrames(const Bytes& stream) {
  std::vector<Bytes> frames;
  size_t pos = 0;
  while (pos + kFrameHeaderSize <= stream.size()) {
    const uint16_t len = FrameLength(stream.data() + pos);
    frames.emplace_back(stream.begin() + pos, stream.begin() + pos + len);
    pos += len;
  }
  return frames;
}

Bytes Frame(uint16_t number, uint8_t control, const Bytes& body) {
  Bytes f(kFrameHeaderSize + body.size());
  std::copy(body.begin(), body.end(), f.begin() + kFrameHeaderSize);
  FinishFrame(f.data(), number, static_cast<uint16_t>(f.size()), control);
  return f;
}

class ResponderLink : public ::testing::Test {
 protected:
  void Start(uint16_t version) {
    responder = std::make_unique<V2Responder>(version);
    port = test::MakeMemoryTsPort(clock, dev);
    dev->SetPeer(test::ResponderPeer(*responder));
  }
  void TearDown() override { tsClosePort(port); }
  int32_t Send(const Bytes& b) { return tsSend(port, last, b.data(), static_cast<uint32_t>(b.size()), 15000, err); }
  int32_t Recv(Bytes& into) { return tsRecv(port, last, into.data(), static_cast<uint32_t>(into.size()), 15000, err); }

  ManualClock clock{5000};
  std::unique_ptr<V2Responder> responder;
  MemoryPort* dev = nullptr;
  TsPort* port = nullptr;
  uint8_t last[kLastFrameSize] = {};
  uint32_t err = 0;
};

class ResponderRoundTrip : public ResponderLink, public ::testing::WithParamInterface<uint16_t> {};

TEST_P(ResponderRoundTrip, RandomBlocksBothWays) {
  Start(GetParam());
  std::mt19937 rng(GetParam());
  std::uniform_int_distribution<size_t> size(1, 20000);
  std::vector<Bytes> sent;
  for (int i = 0; i < 60; ++i) {
    sent.push_back(RandomBlock(rng, size(rng)));
    ASSERT_EQ(Send(sent.back()), 1) << "block " << i;
    Bytes got;
    ASSERT_TRUE(responder->PopReceived(got));
    ASSERT_EQ(got, sent.back());
  }
  EXPECT_EQ(port->remote_version, GetParam());
  for (const Bytes& b : sent) ASSERT_TRUE(responder->QueueBlock(b.data(), b.size()));
  for (size_t i = 0; i < sent.size(); ++i) {
    Bytes buf(20000);
    ASSERT_EQ(Recv(buf), static_cast<int32_t>(sent[i].size())) << "block " << i;
    buf.resize(sent[i].size());
    ASSERT_EQ(buf, sent[i]);
  }
  EXPECT_EQ(responder->stats().bad_crc, 0u);
  EXPECT_EQ(responder->stats().naks, 0u);
  const size_t largest = GetParam() == kProtocolV2Large ? kV2LargeFrameSize : kV2DefaultFrameSize;
  for (const Bytes& w : dev->writes()) EXPECT_LE(w.size(), largest);
}

INSTANTIATE_TEST_SUITE_P(Versions, ResponderRoundTrip, ::testing::Values(kProtocolV2, kProtocolV2Large));

TEST_F(ResponderLink, LostAcknowledgementsAndAnswersAreRepairedWithoutDoubles) {
  Start(kProtocolV2);
  std::mt19937 rng(7);
  const Bytes block = RandomBlock(rng, 2000);
  ASSERT_EQ(Send(Bytes{1}), 1);  // settles the SYN
  Bytes got;
  ASSERT_TRUE(responder->PopReceived(got));
  // The ACK of the third fragment is lost: the PC sends it again, the responder acknowledges it
  // again and keeps it once.
  const size_t before = dev->writes().size();
  dev->SetPeer([this, n = 0](const Bytes& w, MemoryPort& p) mutable {
    responder->Feed(w.data(), w.size());
    Bytes out = responder->TakeOutput();
    if (++n != 3) p.Answer(out);
  });
  ASSERT_EQ(Send(block), 1);
  EXPECT_EQ(dev->writes()[before + 3], dev->writes()[before + 2]);
  EXPECT_EQ(responder->stats().duplicates, 1u);
  ASSERT_TRUE(responder->PopReceived(got));
  EXPECT_EQ(got, block);
  EXPECT_FALSE(responder->PopReceived(got));

  // The answer to the second request is lost: the repeated request gets the same fragment.
  ASSERT_TRUE(responder->QueueBlock(block.data(), block.size()));
  const Bytes other = RandomBlock(rng, 30);
  ASSERT_TRUE(responder->QueueBlock(other.data(), other.size()));
  dev->SetPeer([this, n = 0](const Bytes& w, MemoryPort& p) mutable {
    responder->Feed(w.data(), w.size());
    Bytes out = responder->TakeOutput();
    if (++n != 2) p.Answer(out);
  });
  Bytes buf(4000);
  ASSERT_EQ(Recv(buf), 2000);
  buf.resize(2000);
  EXPECT_EQ(buf, block);
  EXPECT_EQ(responder->stats().repeated_reqs, 1u);
  Bytes small(100);
  ASSERT_EQ(Recv(small), 30);
  small.resize(30);
  EXPECT_EQ(small, other);
  EXPECT_EQ(responder->BlocksToSend(), 1u);  // the last one is dropped on the next new request
}

TEST_F(ResponderLink, LossyLineStillDeliversEveryBlockOnce) {
  Start(kProtocolV2Large);
  std::mt19937 rng(11);
  std::bernoulli_distribution lose(0.1), damage(0.05);
  dev->SetPeer([this, &rng, &lose, &damage](const Bytes& w, MemoryPort& p) {
    Bytes in = w;
    if (damage(rng)) in[in.size() / 2] ^= 0x40;  // damaged on the way to the terminal
    responder->Feed(in.data(), in.size());
    Bytes out = responder->TakeOutput();
    if (!lose(rng)) p.Answer(out);
  });
  std::vector<Bytes> blocks;
  for (int i = 0; i < 40; ++i) {
    blocks.push_back(RandomBlock(rng, 1 + rng() % 20000));
    ASSERT_EQ(Send(blocks.back()), 1) << i;
  }
  std::vector<Bytes> got;
  Bytes b;
  while (responder->PopReceived(b)) got.push_back(b);
  EXPECT_EQ(got, blocks);
  EXPECT_GT(responder->stats().bad_crc + responder->stats().duplicates, 0u);
}

TEST_F(ResponderLink, ForcedNaksReachTheCaller) {
  Start(kProtocolV2);
  const Bytes block(100, 0x42);
  ASSERT_EQ(Send(block), 1);
  responder->ForceNakOnce(E_NAK_OVERFLOW);
  EXPECT_EQ(Send(block), kTsOverflow);
  responder->ForceNakOnce(E_NAK_SEND_ON_SEND);
  EXPECT_EQ(Send(block), kTsCrossedStreams);
  responder->ForceNakOnce(E_NAK_REQ_WHILE_RECV);
  Bytes buf(200);
  EXPECT_EQ(Recv(buf), kTsCrossedStreams);
  // E_NAK_CRC forced once: the frame simply goes again.
  responder->ForceNakOnce(E_NAK_CRC);
  ASSERT_EQ(Send(block), 1);
  Bytes got;
  int delivered = 0;
  while (responder->PopReceived(got)) ++delivered;
  EXPECT_EQ(delivered, 2);
}

TEST_F(ResponderLink, OversizedBlockIsRefusedWithOverflow) {
  Start(kProtocolV2);
  responder->SetMaxBlockSize(1000);
  EXPECT_EQ(Send(Bytes(1001, 1)), kTsOverflow);
  EXPECT_EQ(Send(Bytes(1000, 1)), 1);
}

TEST(V2ResponderFrames, AnswersFrameByFrame) {
  V2Responder r(kProtocolV2Large);
  uint8_t syn[kLastFrameSize];
  tsMakeSyn(syn, 9);
  r.Feed(syn, 15);
  auto out = SplitFrames(r.TakeOutput());
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0], Frame(9, kCtlSyn, {0x01, 0x02, 0x01, 0x00}));

  // A damaged frame gets E_NAK_CRC under its number; noise and split bytes are tolerated.
  Bytes data = Frame(10, kCtlData, {1, 2, 3});
  Bytes bad = data;
  bad[12] ^= 1;
  Bytes stream{0x55, 0x00, 0xF8};
  stream.insert(stream.end(), bad.begin(), bad.end());
  stream.insert(stream.end(), data.begin(), data.end());
  for (uint8_t b : stream) r.Feed(&b, 1);
  out = SplitFrames(r.TakeOutput());
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0], Frame(10, kCtlNak, {E_NAK_CRC}));
  EXPECT_EQ(out[1], Frame(10, kCtlAck, {}));
  Bytes got;
  ASSERT_TRUE(r.PopReceived(got));
  EXPECT_EQ(got, (Bytes{1, 2, 3}));

  // A fragment out of its place makes the PC resynchronise: E_NAK_NUMBER naming a foreign number.
  Bytes frag = Frame(11, kCtlFrag, {3, 1, 7, 7});
  r.Feed(frag.data(), frag.size());
  out = SplitFrames(r.TakeOutput());
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(FrameControlCode(out[0].data()), kCtlNak);
  EXPECT_EQ(out[0][11], E_NAK_NUMBER);
  EXPECT_NE(FrameNumber(out[0].data()), 11);
  EXPECT_NE(FrameNumber(out[0].data()), 10);

  // Impossible fragment headers are dropped, not trusted.
  for (const Bytes& f : {Frame(12, kCtlFrag, {0, 0, 5}), Frame(12, kCtlFrag, {2, 2, 5}), Frame(12, kCtlFrag, {1}),
                         Frame(12, kCtlReq, {0})}) {
    r.Feed(f.data(), f.size());
    out = SplitFrames(r.TakeOutput());
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0], Frame(12, kCtlNak, {E_NAK_DROP}));
  }
}

TEST(V2ResponderFrames, RequestWithNothingQueuedIsAnsweredWhenABlockArrives) {
  V2Responder r(kProtocolV2);
  uint8_t req[kLastFrameSize];
  tsMakeReq(req, 4, 0);
  r.Feed(req, 13);
  EXPECT_FALSE(r.HasOutput());
  const Bytes block{9, 8, 7};
  ASSERT_TRUE(r.QueueBlock(block.data(), block.size()));
  auto out = SplitFrames(r.TakeOutput());
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0], Frame(4, kCtlData, block));

  // A PC that gave up polling and sends again: the block queued next waits for its new request,
  // rather than going out under the number of the request it gave up.
  tsMakeReq(req, 5, 0);
  r.Feed(req, 13);
  const Bytes command = Frame(6, kCtlData, {1});
  r.Feed(command.data(), command.size());
  EXPECT_EQ(SplitFrames(r.TakeOutput()), std::vector<Bytes>{Frame(6, kCtlAck, {})});
  ASSERT_TRUE(r.QueueBlock(block.data(), block.size()));
  EXPECT_FALSE(r.HasOutput());
  tsMakeReq(req, 7, 0);
  r.Feed(req, 13);
  EXPECT_EQ(SplitFrames(r.TakeOutput()), std::vector<Bytes>{Frame(7, kCtlData, block)});
  // More than 255 fragments of 217 bytes cannot be offered.
  const Bytes huge(217 * 255 + 1, 0);
  EXPECT_FALSE(r.QueueBlock(huge.data(), huge.size()));
}

TEST(V2ResponderFrames, CorruptedLengthDoesNotHoldBackTheNextFrame) {
  V2Responder r(kProtocolV2);
  // A request whose length field says 200 (still a possible v2 frame) but carries 13 bytes.
  uint8_t bad[kLastFrameSize];
  tsMakeReq(bad, 4, 0);
  PutU16(bad + kFrameOffLength, 200);
  r.Feed(bad, 13);
  EXPECT_FALSE(r.HasOutput());
  const Bytes block{9, 8, 7};
  ASSERT_TRUE(r.QueueBlock(block.data(), block.size()));
  // The PC repeats the request: it is answered at once, not after 200 bytes have come in.
  uint8_t req[kLastFrameSize];
  tsMakeReq(req, 4, 0);
  r.Feed(req, 13);
  auto out = SplitFrames(r.TakeOutput());
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0], Frame(4, kCtlData, block));
  // A length beyond what a v2 terminal accepts (230) is not a frame at all.
  PutU16(bad + kFrameOffLength, 231);
  SealFrame(bad, 13);
  r.Feed(bad, 13);
  EXPECT_FALSE(r.HasOutput());
}

}  // namespace
}  // namespace korvane
