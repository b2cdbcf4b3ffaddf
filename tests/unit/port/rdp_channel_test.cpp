#include <gtest/gtest.h>

#include "port/link_port.h"
#include "port/rdp_channel.h"
#include "support/fake_rdp_channel.h"
#include "support/fixed_log_time.h"
#include "support/temp_dir.h"

namespace korvane {
namespace {

using test::Bytes;
using test::BytesOf;
using test::ControlMessage;

constexpr uint32_t kFirst = kRdpChannelFlagFirst;
constexpr uint32_t kLast = kRdpChannelFlagLast;

Bytes DataMessage(const Bytes& payload) {
  Bytes m(1 + payload.size(), kRdpDataMessage);
  std::copy(payload.begin(), payload.end(), m.begin() + 1);
  return m;
}

struct OpenCase {
  const char* what;
  std::string port_name;
  std::vector<std::pair<uint32_t, Bytes>> answers;  // flags, payload; a flag of ~0u marks raw bytes
  uint32_t result;
  uint32_t err;
  std::vector<Bytes> writes;
};

TEST(RdpChannel, OpenAsksTheClientAndJudgesItsAnswer) {
  const Bytes ask_com3 = {0x01, 0x4F, 0x50, 0x45, 0x4E, 0x3A, 0x43, 0x4F, 0x4D, 0x33};
  const Bytes close = {0x01, 0x43, 0x4C, 0x4F, 0x53, 0x45};
  const std::string longest(kRdpMaxPortName, 'P');
  const OpenCase cases[] = {
      {"ok", "TSCLIENT:COM3", {{kFirst | kLast, ControlMessage("OPEN-OK")}}, 0, 0, {ask_com3}},
      {"no name", "TSCLIENT", {{kFirst | kLast, ControlMessage("OPEN-OK")}}, 0, 0, {ControlMessage("OPEN:")}},
      {"client error", "TSCLIENT:COM3", {{kFirst | kLast, ControlMessage("ERROR:2")}}, 48, 2, {ask_com3, close}},
      {"not control", "TSCLIENT:COM3", {{kFirst | kLast, {0x02, 'x'}}}, 46, 0, {ask_com3, close}},
      {"other text", "TSCLIENT:COM3", {{kFirst | kLast, ControlMessage("HELLO")}}, 47, 0, {ask_com3, close}},
      {"silence", "TSCLIENT:COM3", {}, 45, 0, {ask_com3}},
      {"short chunk", "TSCLIENT:COM3", {{~0u, {1, 2, 3}}}, 46, 0, {ask_com3}},
      {"stale data skipped",
       "TSCLIENT:COM3",
       {{kFirst, DataMessage(Bytes(20, 7))}, {kLast, Bytes(5, 7)}, {kFirst | kLast, ControlMessage("OPEN-OK")}},
       0,
       0,
       {ask_com3}},
      {"longest name",
       "TSCLIENT:" + longest,
       {{kFirst | kLast, ControlMessage("OPEN-OK")}},
       0,
       0,
       {ControlMessage("OPEN:" + longest)}},
      {"name too long", "TSCLIENT:" + longest + "P", {}, 43, 87, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ManualClock clock;
    test::FakeRdpChannel fake(&clock);
    for (const auto& [flags, payload] : c.answers) {
      if (flags == ~0u)
        fake.RawToServer(payload);
      else
        fake.ChunkToServer(payload, flags);
    }
    RdpChannel channel(fake.ServerApi(), clock);
    channel.SetPortName(c.port_name);
    uint32_t err = 0;
    const uint32_t start = clock.Now();
    EXPECT_EQ(channel.Open(err), c.result);
    EXPECT_EQ(err, c.err);
    EXPECT_EQ(fake.ServerWrites(), c.writes);
    EXPECT_EQ(fake.ServerOpen(), c.result == 0);
    if (c.result == 45) {
      EXPECT_GE(clock.Now() - start, 5000u);
    }
  }
}

TEST(RdpChannel, ReadsServeChunksLeftoversAndClientErrors) {
  ManualClock clock;
  test::FakeRdpChannel fake(&clock);
  fake.ChunkToServer(ControlMessage("OPEN-OK"), kFirst | kLast);
  RdpChannel channel(fake.ServerApi(), clock);
  channel.SetPortName("TSCLIENT:COM3");
  uint32_t err = 0;
  ASSERT_EQ(channel.Open(err), 0u);

  // 4000 bytes (4001 with the type byte) in chunks of 1600, 1600 and 801.
  Bytes data(4000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);
  const Bytes message = DataMessage(data);
  fake.ChunkToServer(Bytes(message.begin(), message.begin() + 1600), kFirst, 4001);
  fake.ChunkToServer(Bytes(message.begin() + 1600, message.begin() + 3200), 0, 4001);
  fake.ChunkToServer(Bytes(message.begin() + 3200, message.end()), kLast, 4001);
  Bytes got;
  for (uint32_t expected : {1599u, 1600u, 801u}) {
    uint8_t buffer[4000];
    uint32_t received = 0;
    EXPECT_EQ(channel.Read(buffer, sizeof buffer, received, err), 0u);
    EXPECT_EQ(received, expected);
    got.insert(got.end(), buffer, buffer + received);
  }
  EXPECT_EQ(got, data);

  // 10 of a 100-byte chunk, then 89 from the leftover without touching the channel.
  fake.ChunkToServer(DataMessage(Bytes(99, 0x55)), kFirst | kLast);
  uint8_t small[100];
  uint32_t received = 0;
  EXPECT_EQ(channel.Read(small, 10, received, err), 0u);
  EXPECT_EQ(received, 10u);
  const int reads = fake.ServerReads();
  EXPECT_EQ(channel.Read(small, sizeof small, received, err), 0u);
  EXPECT_EQ(received, 89u);
  EXPECT_EQ(fake.ServerReads(), reads);

  // A first chunk with no payload, other controls, silence: nothing, no error.
  fake.ChunkToServer({}, kFirst | kLast);
  EXPECT_EQ(channel.Read(small, sizeof small, received, err), 0u);
  EXPECT_EQ(received, 0u);
  fake.ChunkToServer(ControlMessage("OPEN-OK"), kFirst | kLast);
  fake.ChunkToServer(DataMessage({1, 2}), kFirst | kLast);
  channel.SetReadTimeout(100);
  EXPECT_EQ(channel.Read(small, sizeof small, received, err), 0u);
  EXPECT_EQ(Bytes(small, small + received), Bytes({1, 2}));
  EXPECT_EQ(channel.Read(small, sizeof small, received, err), 0u);
  EXPECT_EQ(received, 0u);
  EXPECT_EQ(err, 0u);

  // The client's error ends the read.
  fake.ChunkToServer(ControlMessage("ERROR:1167"), kFirst | kLast);
  EXPECT_EQ(channel.Read(small, sizeof small, received, err), 48u);
  EXPECT_EQ(err, 1167u);

  // Writes: a type byte before the data; nothing at all for zero bytes.
  uint32_t written = 99;
  const size_t before = fake.ServerWrites().size();
  EXPECT_EQ(channel.Write(small, 0, written, err), 0u);
  EXPECT_EQ(written, 0u);
  EXPECT_EQ(fake.ServerWrites().size(), before);
  const uint8_t three[] = {0x01, 0x43, 0x00};
  EXPECT_EQ(channel.Write(three, 3, written, err), 0u);
  EXPECT_EQ(written, 3u);
  EXPECT_EQ(fake.ServerWrites().back(), Bytes({0x00, 0x01, 0x43, 0x00}));

  channel.Close();
  EXPECT_EQ(fake.ServerWrites().back(), ControlMessage("CLOSE"));
  EXPECT_FALSE(fake.ServerOpen());
}

// The port layer's kind-6 lines: a refused open, a client error during a read.
TEST(RdpChannel, PortLayerReportsChannelErrors) {
  test::TempDir dir;
  test::ScopedLogDir logs(dir.Path());
  test::FixedLogTime log_time;
  test::FakeRdpChannel fake;
  test::ScopedChannelServer server(fake);
  uint32_t err = 0;
  fake.ChunkToServer(ControlMessage("ERROR:2"), kFirst | kLast);
  EXPECT_EQ(LvlOpen("TSCLIENT:COM3", Rdp, err), nullptr);
  EXPECT_EQ(err, 2u);
  fake.SetServerOpenError(0);
  fake.ChunkToServer(ControlMessage("OPEN-OK"), kFirst | kLast);
  LinkPort* port = LvlOpen("tsclient:COM3", Rdp, err);
  ASSERT_NE(port, nullptr);
  fake.ChunkToServer(ControlMessage("ERROR:5"), kFirst | kLast);
  uint8_t buffer[16];
  uint32_t count = 3;
  EXPECT_EQ(LvlReadMore(port, buffer, count, sizeof buffer, 50, err), 3u);
  EXPECT_EQ(err, 5u);
  LvlClose(port);
  EXPECT_EQ(test::ReadFileBytes(dir.File("korvane.log")),
            "[05-03-2025 09:07:03]\t(RDP:Port->Open) Ошибка №48, не удалось открыть канал обмена через RDP (2)\r\n"
            "[05-03-2025 09:07:03]\t(RDP::Port->Read) Ошибка №48 (5)\r\n");
}

}  // namespace
}  // namespace korvane
