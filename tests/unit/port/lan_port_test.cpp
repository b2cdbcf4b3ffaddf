#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "log/diag_log.h"
#include "platform/errors.h"
#include "platform/tcp_socket.h"
#include "platform/ticks.h"
#include "port/link_port.h"
#include "support/fixed_log_time.h"
#include "support/temp_dir.h"

namespace korvane {
namespace {

constexpr int32_t kWaitMs = 2000;

// A loopback listener on an ephemeral port standing in for the terminal.
class LoopbackPeer {
 public:
  LoopbackPeer() {
    StartSockets();
    uint32_t err = 0;
    listener_ = SocketListen("127.0.0.1", port_, 1, err);
  }
  ~LoopbackPeer() {
    SocketClose(peer_);
    SocketClose(listener_);
  }
  uint16_t Port() const { return port_; }
  bool Accept(int32_t wait_ms = kWaitMs) {
    uint32_t err = 0;
    peer_ = SocketAccept(listener_, wait_ms, err);
    return peer_ != kInvalidSocket;
  }
  void Send(const std::string& s) {
    uint32_t err = 0;
    SocketSend(peer_, reinterpret_cast<const uint8_t*>(s.data()), static_cast<uint32_t>(s.size()), err);
  }
  std::string Receive(size_t want) {
    std::string out;
    uint32_t start = TickCount();
    while (out.size() < want && TicksLeft(TickCount(), start + kWaitMs) > 0) {
      if (!SocketWaitReadable(peer_, 100)) continue;
      uint8_t buf[4096];
      uint32_t err = 0;
      int32_t n = SocketRecv(peer_, buf, sizeof buf, err);
      if (n > 0) out.append(reinterpret_cast<char*>(buf), static_cast<size_t>(n));
      if (n == 0) break;
    }
    return out;
  }
  void ClosePeer() {
    SocketClose(peer_);
    peer_ = kInvalidSocket;
  }

 private:
  SocketHandle listener_ = kInvalidSocket;
  SocketHandle peer_ = kInvalidSocket;
  uint16_t port_ = 0;
};

std::string ReadSome(LinkPort* port, uint32_t want, uint32_t& err) {
  std::vector<uint8_t> buf(want);
  uint32_t count = 0;
  uint32_t start = TickCount();
  while (count < want && TicksLeft(TickCount(), start + kWaitMs) > 0) LvlReadMore(port, buf.data(), count, want, 200, err);
  return std::string(buf.begin(), buf.begin() + count);
}

TEST(LanPort, ConnectsByHostAndPortAndMovesBytesBothWays) {
  LoopbackPeer peer;
  std::string name = "LAN:127.0.0.1:" + std::to_string(peer.Port());
  ASSERT_EQ(ResolvePortKind(name), Lan);
  uint32_t err = 99;
  LinkPort* port = LvlOpen(name, Lan, err);
  ASSERT_NE(port, nullptr);
  EXPECT_EQ(err, 0u);
  ASSERT_TRUE(peer.Accept());

  const std::string out = "\x01--p";
  EXPECT_EQ(LvlSend(port, reinterpret_cast<const uint8_t*>(out.data()), 4, 1000, err), 4u);
  EXPECT_EQ(peer.Receive(4), out);

  peer.Send("\x05--p");
  EXPECT_EQ(ReadSome(port, 4, err), "\x05--p");
  EXPECT_EQ(err, 0u);
  LvlClose(port);
}

TEST(LanPort, BarePortMeansLocalhost) {
  LoopbackPeer peer;
  uint32_t err = 0;
  LinkPort* port = LvlOpen(std::to_string(peer.Port()), Lan, err);
  ASSERT_NE(port, nullptr);
  EXPECT_TRUE(peer.Accept());
  LvlClose(port);
}

// A terminal switched off closes its end: what it sent before still arrives, then the device is
// lost (not a quiet line the caller would wait on), and every later call says so at once.
TEST(LanPort, PeerCloseIsALostDevice) {
  LoopbackPeer peer;
  uint32_t err = 0;
  LinkPort* port = LvlOpen("127.0.0.1:" + std::to_string(peer.Port()), Lan, err);
  ASSERT_NE(port, nullptr);
  ASSERT_TRUE(peer.Accept());
  peer.Send("tail");
  peer.ClosePeer();

  uint8_t buf[16];
  uint32_t count = 0;
  err = 77;
  const uint32_t before = TickCount();
  LvlReadMore(port, buf, count, sizeof buf, 1000, err);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), count), "tail");
  EXPECT_EQ(err, 0u);
  LvlReadMore(port, buf, count, sizeof buf, 1000, err);
  EXPECT_EQ(err, kErrDeviceLost);
  LvlReadMore(port, buf, count, sizeof buf, 1000, err);
  EXPECT_EQ(err, kErrInvalidHandle);
  EXPECT_EQ(count, 4u);
  EXPECT_LT(TickCount() - before, 500u);

  EXPECT_EQ(LvlSend(port, buf, 1, 1000, err), 0u);
  EXPECT_EQ(err, kErrInvalidHandle);
  LvlClose(port);
}

TEST(LanPort, PurgeDrainsWhatArrived) {
  LoopbackPeer peer;
  uint32_t err = 0;
  LinkPort* port = LvlOpen("127.0.0.1:" + std::to_string(peer.Port()), Lan, err);
  ASSERT_NE(port, nullptr);
  ASSERT_TRUE(peer.Accept());
  peer.Send(std::string(3000, 'z'));
  SleepMs(100);
  LvlPurge(port);
  peer.Send("after");
  EXPECT_EQ(ReadSome(port, 5, err), "after");
  LvlClose(port);
}

TEST(LanPort, ReadEdgesNeedNoSocketCall) {
  LoopbackPeer peer;
  uint32_t err = 0;
  LinkPort* port = LvlOpen("127.0.0.1:" + std::to_string(peer.Port()), Lan, err);
  ASSERT_NE(port, nullptr);
  uint8_t buf[8];
  uint32_t count = 8;
  err = 0;
  uint32_t before = TickCount();
  EXPECT_EQ(LvlReadMore(port, buf, count, 8, 2000, err), 8u);  // full buffer
  count = 2;
  EXPECT_EQ(LvlReadMore(port, buf, count, 8, -5, err), 2u);    // negative time-out
  EXPECT_LT(TickCount() - before, 200u);
  EXPECT_EQ(err, 0u);
  EXPECT_EQ(LvlReadMore(nullptr, buf, count, 8, 10, err), 0u);
  EXPECT_EQ(LvlSend(nullptr, buf, 1, 10, err), 0u);
  LvlPurge(nullptr);
  LvlClose(nullptr);
  LvlClose(port);
}

TEST(LanPort, RefusedConnectLogsTheAddressAndTheSocketError) {
  test::TempDir dir;
  test::ScopedLogDir logs(dir.Path());
  test::FixedLogTime clock;
  uint16_t port_no = 0;
  {
    LoopbackPeer closed;  // take a free port, then free it again
    port_no = closed.Port();
  }
  uint32_t err = 0;
  const std::string address = "127.0.0.1:" + std::to_string(port_no);
  EXPECT_EQ(LvlOpen(address, Lan, err), nullptr);
  EXPECT_NE(err, 0u);
  EXPECT_EQ(test::ReadFileBytes(dir.File("korvane.log")),
            "[05-03-2025 09:07:03]\t(Port->Connect) Ошибка подключения к \"" + address + "\" (" +
                std::to_string(err) + ")\r\n");

  std::string unspecified = "LAN";
  ResolvePortKind(unspecified);
  EXPECT_EQ(LvlOpen(unspecified, Lan, err), nullptr);
  EXPECT_NE(err, 0u);
}

// A number that is not 1..65535 in digits is a bad name, refused before any connect: never a
// wrapped or truncated number that reaches another port.
TEST(LanPort, BadPortNumbersAreBadNamesAndConnectNowhere) {
  test::TempDir dir;
  test::ScopedLogDir logs(dir.Path());
  test::FixedLogTime clock;
  LoopbackPeer peer;
  const std::string p = std::to_string(peer.Port());
  std::string expected_log;
  for (const std::string& address : std::vector<std::string>{
           "127.0.0.1:" + std::to_string(peer.Port() + 65536), "127.0.0.1:" + p + "abc", "127.0.0.1: " + p,
           "127.0.0.1:+" + p, "127.0.0.1:abc", "127.0.0.1:-5", "127.0.0.1:99999", "127.0.0.1:0", "127.0.0.1:1:" + p,
           "0" + p + "0", std::string("<not specified>")}) {
    uint32_t err = 0;
    EXPECT_EQ(LvlOpen(address, Lan, err), nullptr) << address;
    EXPECT_EQ(err, kErrBadPortName) << address;
    expected_log += "[05-03-2025 09:07:03]\t(Port->Connect) Неверный номер TCP-порта в адресе \"" + address +
                    "\" (123)\r\n";
  }
  EXPECT_EQ(test::ReadFileBytes(dir.File("korvane.log")), expected_log);
  EXPECT_FALSE(peer.Accept(100)) << "a bad name reached the listener";
}

TEST(LanPort, UnresolvedHostSaysSo) {
  uint32_t err = 0;
  EXPECT_EQ(LvlOpen("nosuch.invalid:5000", Lan, err), nullptr);
  EXPECT_EQ(err, kErrSocketHostNotFound);
  EXPECT_FALSE(SystemErrorText(err).empty());
  EXPECT_NE(SystemErrorText(err), SystemErrorText(kErrSocketHostUnreachable));
}

}  // namespace
}  // namespace korvane
