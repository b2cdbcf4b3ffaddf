#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "platform/tcp_socket.h"
#include "platform/ticks.h"
#include "port/active_sync.h"
#include "port/connect_back_value.h"
#include "port/link_port.h"
#include "port/rapi_library.h"
#include "support/fake_rapi.h"
#include "support/fixed_log_time.h"
#include "support/temp_dir.h"

namespace korvane {
namespace {

using test::FakeRapi;

constexpr uint32_t kShortWaitMs = 300;
constexpr int32_t kPeerWaitMs = 2000;

// The docking link of the tests: a loopback address other than 127.0.0.1, so a listener bound to
// every address can be told apart from one bound to this.
std::string DockingLoopback() { return "127.0.0.2"; }

// The terminal's side: reads the value, connects back, keeps the connection.
class DockedTerminal {
 public:
  explicit DockedTerminal(FakeRapi& rapi, const std::string& host = "127.0.0.2") : host_(host) {
    rapi.on_value = [this](const std::string& value) { OnValue(value); };
  }
  ~DockedTerminal() {
    for (SocketHandle s : sockets_) SocketClose(s);
  }
  void OnValue(const std::string& value) {
    auto port = ParseConnectBackValue(value);
    if (!port) return;
    uint32_t err = 0;
    // The same port on 127.0.0.1 must be closed when the listener is bound to the docking link.
    const SocketHandle elsewhere = SocketConnect("127.0.0.1", *port, err, kPeerWaitMs);
    if (elsewhere != kInvalidSocket) {
      reached_other_address = true;
      SocketClose(elsewhere);
    }
    const SocketHandle s = SocketConnect(host_, *port, err, kPeerWaitMs);
    if (s != kInvalidSocket) sockets_.push_back(s);
  }
  SocketHandle Last() const { return sockets_.empty() ? kInvalidSocket : sockets_.back(); }
  bool reached_other_address = false;

 private:
  std::string host_;
  std::vector<SocketHandle> sockets_;
};

class ActiveSyncTest : public ::testing::Test {
 protected:
  ActiveSyncTest() : logs_(dir_.Path()) {
    StartSockets();
    SetDockingAddressSource(DockingLoopback);
  }
  ~ActiveSyncTest() override {
    SetDockingAddressSource(nullptr);
    SetActiveSyncConnectWaitMs(0);
  }
  std::string Log() { return test::ReadFileBytes(dir_.File("korvane.log")); }

  test::TempDir dir_;
  test::ScopedLogDir logs_;
  test::FixedLogTime log_time_;
};

std::string Utf16Value(const std::string& text) {
  std::string bytes;
  for (char c : text + '\0') bytes += std::string{c, '\0'};
  return bytes;
}

// What a docked terminal accepts as the value: complete UTF-16LE text, the prefix, a real port.
TEST(ConnectBackValue, ParsesOnlyACompleteValueWithARealPort) {
  EXPECT_EQ(ParseConnectBackValue(Utf16Value("ppp_peer:65535")), 65535);
  EXPECT_EQ(ParseConnectBackValue(Utf16Value("ppp_peer:7") + "garbage"), 7);
  for (const std::string& bad :
       {Utf16Value("ppp_peer:65535").substr(0, 28), Utf16Value("ppp_peer:0"), Utf16Value("ppp_peer:65536"),
        Utf16Value("ppp_peer:"), Utf16Value("ppp_peer:12a"), Utf16Value("PPP_PEER:5000"),
        Utf16Value("ppp_peer:000005000"), std::string("ppp_peer:5000\0", 14), std::string()})
    EXPECT_FALSE(ParseConnectBackValue(bad).has_value()) << bad;
}

// Every way the remote API can fail to start gives err 2 at once, stops what was started exactly
// once and leaves nothing loaded or listening.
TEST_F(ActiveSyncTest, StartFailuresGiveErr2AndGiveEverythingBack) {
  struct Case {
    const char* name;
    bool present;
    const char* missing;
    FakeRapi::Start start;
    int loads, uninits, events_closed;
  } cases[] = {
      {"no library", false, "", FakeRapi::Start::kOk, 0, 0, 0},
      {"incomplete library", true, "CeGetLastError", FakeRapi::Start::kOk, 1, 0, 0},
      {"start call fails", true, "", FakeRapi::Start::kCallFails, 1, 0, 0},
      {"start times out", true, "", FakeRapi::Start::kTimesOut, 1, 1, 1},
      {"start reports E_FAIL", true, "", FakeRapi::Start::kReportsEFail, 1, 1, 1},
      {"start reports another failure", true, "", FakeRapi::Start::kReportsOther, 1, 1, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeRapi rapi;
    rapi.library_present = c.present;
    rapi.missing_entry = c.missing;
    rapi.start = c.start;
    uint32_t err = 0;
    const uint32_t began = TickCount();
    EXPECT_EQ(LvlOpen("ACTIVESYNC", ActiveSync, err), nullptr);
    EXPECT_LT(TickCount() - began, 1000u);
    EXPECT_EQ(err, 2u);
    EXPECT_EQ(rapi.loads, c.loads);
    EXPECT_EQ(rapi.unloads, c.loads);
    EXPECT_EQ(rapi.uninits, c.uninits);
    EXPECT_EQ(rapi.events_closed, c.events_closed);
    EXPECT_FALSE(ProcessRapiLibrary().Loaded());
    EXPECT_TRUE(rapi.Values().empty());
    if (c.uninits) {
      EXPECT_EQ(rapi.start_wait_ms, 15000u);
      EXPECT_EQ(rapi.record_size, sizeof(void*) == 8 ? 24u : 12u);
      EXPECT_EQ(rapi.last_error_reads, 1);
    }
  }
  // The system's own library: none natively, none in a Wine prefix.
  uint32_t err = 0;
  const uint32_t began = TickCount();
  EXPECT_EQ(LvlOpen("ACTIVESYNC", ActiveSync, err), nullptr);
  EXPECT_EQ(err, 2u);
  EXPECT_LT(TickCount() - began, 1000u);
}

// A docked terminal connects back: the value on the device is exact, the connection is a working
// port, and the remote API is stopped and unloaded, to be loaded anew by the next open.
TEST_F(ActiveSyncTest, ConnectBackGivesAWorkingPortAndUnloadsTheLibrary) {
  FakeRapi rapi;
  DockedTerminal terminal(rapi);
  for (int open = 1; open <= 2; ++open) {
    SCOPED_TRACE(open);
    uint32_t err = 99;
    LinkPort* port = LvlOpen("ACTIVESYNC", ActiveSync, err);
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(err, 0u);
    EXPECT_EQ(port->kind, static_cast<uint32_t>(ActiveSync));
    EXPECT_EQ(rapi.loads, open);
    EXPECT_EQ(rapi.unloads, open);
    EXPECT_EQ(rapi.uninits, open);
    EXPECT_EQ(rapi.keys_closed, open);
    EXPECT_EQ(rapi.events_closed, 0);
    EXPECT_FALSE(ProcessRapiLibrary().Loaded());

    const auto values = rapi.Values();
    ASSERT_EQ(values.size(), static_cast<size_t>(open));
    const auto chosen = ParseConnectBackValue(values.back());
    ASSERT_TRUE(chosen.has_value());
    EXPECT_EQ(values.back(), Utf16Value("ppp_peer:" + std::to_string(*chosen)));
    EXPECT_EQ(rapi.value_name, u"RemoteConnection");
    EXPECT_EQ(rapi.value_type, 1u);
    EXPECT_EQ(rapi.key_path, u"SOFTWARE\\Qor\\Korvane");
    EXPECT_EQ(reinterpret_cast<intptr_t>(rapi.root), static_cast<intptr_t>(INT32_C(-2147483646)));
    EXPECT_EQ(rapi.key_options, 0u);
    EXPECT_EQ(rapi.key_access, 0u);
    EXPECT_FALSE(terminal.reached_other_address) << "listener bound to every address";

    const std::string ping = "\x55\xF8ping";
    EXPECT_EQ(LvlSend(port, reinterpret_cast<const uint8_t*>(ping.data()), 6, 1000, err), 6u);
    uint8_t got[16];
    ASSERT_TRUE(SocketWaitReadable(terminal.Last(), kPeerWaitMs));
    EXPECT_EQ(SocketRecv(terminal.Last(), got, sizeof got, err), 6);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(got), 6), ping);
    SocketSend(terminal.Last(), reinterpret_cast<const uint8_t*>("pong"), 4, err);
    uint32_t count = 0;
    EXPECT_EQ(LvlReadMore(port, got, count, sizeof got, kPeerWaitMs, err), 4u);
    LvlClose(port);
  }
  EXPECT_EQ(Log(), "");
}

// Nothing connects back: err 21 after the (shortened) wait, the value written at least once, the
// listener closed, the remote API stopped once and unloaded. The other 21s, a listener that cannot
// be bound, and the listener on every address when the docking link's address is unknown.
TEST_F(ActiveSyncTest, NoConnectBackAndDeviceKeyFailuresGiveErr21) {
  SetActiveSyncConnectWaitMs(kShortWaitMs);
  {
    FakeRapi rapi;
    uint32_t err = 0;
    const uint32_t began = TickCount();
    EXPECT_EQ(LvlOpen("ACTIVESYNC", ActiveSync, err), nullptr);
    const uint32_t took = TickCount() - began;
    EXPECT_EQ(err, 21u);
    EXPECT_GE(took, kShortWaitMs - 20);  // tick granularity
    EXPECT_LT(took, kShortWaitMs + 2000);
    ASSERT_FALSE(rapi.Values().empty());
    const auto port = ParseConnectBackValue(rapi.Values().front());
    ASSERT_TRUE(port.has_value());
    EXPECT_EQ(SocketConnect(DockingLoopback(), *port, err, kPeerWaitMs), kInvalidSocket) << "listener left open";
    EXPECT_EQ(rapi.uninits, 1);
    EXPECT_EQ(rapi.keys_closed, 1);
    EXPECT_EQ(rapi.unloads, 1);
  }
  for (bool key_fails : {true, false}) {
    SCOPED_TRACE(key_fails ? "key open fails" : "value write fails");
    FakeRapi rapi;
    rapi.key_open_fails = key_fails;
    rapi.value_write_fails = !key_fails;
    uint32_t err = 0;
    const uint32_t began = TickCount();
    EXPECT_EQ(LvlOpen("ACTIVESYNC", ActiveSync, err), nullptr);
    EXPECT_LT(TickCount() - began, kShortWaitMs);
    EXPECT_EQ(err, 21u);
    EXPECT_EQ(rapi.uninits, 1);
    EXPECT_EQ(rapi.keys_closed, key_fails ? 0 : 1);
    EXPECT_EQ(rapi.unloads, 1);
    EXPECT_FALSE(ProcessRapiLibrary().Loaded());
  }
  {
    SCOPED_TRACE("docking address not on this machine");
    SetDockingAddressSource([] { return std::string("192.0.2.1"); });
    FakeRapi rapi;
    uint32_t err = 0;
    EXPECT_EQ(LvlOpen("ACTIVESYNC", ActiveSync, err), nullptr);
    EXPECT_EQ(err, 10049u);  // the address is not available
    EXPECT_EQ(rapi.uninits, 1);
    EXPECT_EQ(rapi.unloads, 1);
    EXPECT_TRUE(rapi.Values().empty());
  }
  {
    SetDockingAddressSource(nullptr);
    FakeRapi rapi;
    DockedTerminal terminal(rapi, "127.0.0.1");
    uint32_t err = 0;
    LinkPort* port = LvlOpen("ACTIVESYNC", ActiveSync, err);
    EXPECT_NE(port, nullptr);
    EXPECT_TRUE(terminal.reached_other_address);
    LvlClose(port);
    EXPECT_EQ(Log(), "[05-03-2025 09:07:03]\t(ActiveSync) Адрес ПК в канале синхронизации неизвестен, ожидание "
                     "подключения на всех адресах\r\n");
  }
}

// Opens from two threads take turns: the remote API is never started twice at once.
TEST_F(ActiveSyncTest, OpensOnTwoThreadsTakeTurns) {
  FakeRapi rapi;
  rapi.start_delay_ms = 50;
  DockedTerminal terminal(rapi);
  LinkPort* ports[2] = {};
  uint32_t errs[2] = {};
  std::thread other([&] { ports[1] = LvlOpen("ACTIVESYNC", ActiveSync, errs[1]); });
  ports[0] = LvlOpen("ACTIVESYNC", ActiveSync, errs[0]);
  other.join();
  for (int i = 0; i < 2; ++i) {
    EXPECT_NE(ports[i], nullptr);
    EXPECT_EQ(errs[i], 0u);
    LvlClose(ports[i]);
  }
  EXPECT_EQ(rapi.most_inside, 1);
  EXPECT_EQ(rapi.uninits, 2);
}

}  // namespace
}  // namespace korvane
