#include "legacy/comport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/errors.h"
#include "support/memory_block_line.h"
#include "support/memory_port.h"
#include "support/temp_dir.h"
#include "support/terminal_peer.h"
#include "terminal/terminal_side.h"

namespace korvane {
namespace {

using Bytes = std::vector<uint8_t>;
using test::MemoryBlockLine;

struct Logs {
  test::TempDir dir;
  test::ScopedLogDir log_dir{dir.Path()};
  Logs() { test::WriteFileBytes(dir.File("korvane.log"), ""); }
  bool Has(const std::string& text) const {
    return test::ReadFileBytes(dir.File("korvane.log")).find(text) != std::string::npos;
  }
};

// Hands the object a line whose calls go to one the test keeps, so it outlives the object's close.
class Forwarding final : public BlockLine {
 public:
  explicit Forwarding(BlockLine& to) : to_(to) {}
  bool SetupQueues(uint32_t in, uint32_t out) override { return to_.SetupQueues(in, out); }
  bool SetTimeouts(const SerialTimeouts& t) override { return to_.SetTimeouts(t); }
  bool GetState(SerialLineState& s) override { return to_.GetState(s); }
  bool SetState(const SerialLineState& s) override { return to_.SetState(s); }
  bool Read(uint8_t* b, uint32_t n, uint32_t& d) override { return to_.Read(b, n, d); }
  bool Write(const uint8_t* b, uint32_t n, uint32_t& d) override { return to_.Write(b, n, d); }
  bool PurgeAll() override { return to_.PurgeAll(); }
  bool PurgeInput() override { return to_.PurgeInput(); }
  uint32_t ClearError() override { return to_.ClearError(); }
  bool SetDtr(bool on) override { return to_.SetDtr(on); }
  uint32_t LastError() const override { return to_.LastError(); }

 private:
  BlockLine& to_;
};

// A CComport whose 1.00 opens land on in-memory lines the rig keeps (`line` is the latest).
struct SerialRig {
  Logs logs;
  ManualClock clock;
  std::vector<std::unique_ptr<MemoryBlockLine>> lines;
  MemoryBlockLine* line = nullptr;
  CComport port{clock};
  // `fail`: a call of the line to fail, and which one of its kind (from 1).
  explicit SerialRig(std::function<void(const Bytes&, MemoryBlockLine&)> peer = nullptr,
                     std::pair<MemoryBlockLine::Call, int> fail = {MemoryBlockLine::Call::kCount, 0}) {
    port.SetBlockLineOpener([this, peer, fail](const std::string& name, uint32_t& err) -> std::unique_ptr<BlockLine> {
      if (name == "COM9") {
        err = kErrFileNotFound;
        return nullptr;
      }
      lines.push_back(std::make_unique<MemoryBlockLine>(clock));
      line = lines.back().get();
      SerialLineState device;
      line->GetState(device);
      device.xon_xoff_in = true;  // a flag Open must leave as the device had it
      line->SetDeviceState(device);
      if (fail.second > 0) line->FailCall(fail.first, fail.second);
      line->SetPeer(peer);
      return std::make_unique<Forwarding>(*line);
    });
  }
};

TEST(Comport, OpensTheSerialLineAtOneHundred) {
  SerialRig r;
  EXPECT_EQ(r.port.GetProtocolVersion(), 100u);
  EXPECT_EQ(r.port.RemoteVersion(), 0u);
  EXPECT_EQ(r.port.Open("COM9"), 0);
  EXPECT_TRUE(r.logs.Has("Open() Error. CreateFile() Error (2)"));
  ASSERT_EQ(r.port.Open("COM3"), 1);
  MemoryBlockLine& l = *r.line;
  EXPECT_EQ(l.QueueIn(), 4096u);
  const SerialTimeouts& t = l.TimeoutHistory().at(0);
  EXPECT_EQ((std::vector<uint32_t>{t.read_interval, t.read_multiplier, t.read_constant, t.write_multiplier,
                                   t.write_constant}),
            (std::vector<uint32_t>{50, 0, 5000, 0, 3000}));
  const SerialLineState& s = l.State();
  EXPECT_EQ(s.baud_rate, 115200u);
  EXPECT_EQ(s.byte_size, 8);
  EXPECT_EQ(s.parity, 0);
  EXPECT_EQ(s.stop_bits, 0);
  EXPECT_TRUE(s.binary && s.cts_flow && s.abort_on_error && s.xon_xoff_in && !s.dsr_flow && !s.from_zero);
  EXPECT_EQ(s.dtr_control, LineControl::kEnable);
  EXPECT_EQ(s.rts_control, LineControl::kHandshake);
  EXPECT_TRUE(l.Dtr());
  EXPECT_EQ(l.Purges(), 1);
  // At 1.00 there is no link check; refusals send nothing.
  EXPECT_EQ(r.port.IsTerminalOnline(1000), 0);
  EXPECT_EQ(r.port.SendCmd("ab"), 0);
  EXPECT_TRUE(l.Writes().empty());
  EXPECT_EQ(r.port.TryToSendFinalize(), 1);

  EXPECT_EQ(r.port.Close(), 0);
  EXPECT_FALSE(r.port.IsOpen());
  EXPECT_EQ(l.StateHistory().back().rts_control, LineControl::kEnable);
  EXPECT_EQ(r.port.Close(), 0);
}

// The adapter echoes the probe byte only at 19200 bit/s.
void AdapterAt19200(const Bytes& w, MemoryBlockLine& l) {
  if (w == Bytes{0x0F} && l.State().baud_rate == 19200) l.Answer({0x0F});
}

TEST(Comport, FindsTheInfraredAdapterAndClosesWhenThereIsNone) {
  // The line refuses a state as a driver does, so every state the set-up applies must be sound.
  SerialRig r(AdapterAt19200);
  ASSERT_EQ(r.port.OpenIRDA("COM4"), 1);
  MemoryBlockLine& l = *r.line;
  std::vector<uint32_t> rates;
  for (const SerialLineState& s : l.StateHistory())
    if (s.rts_control == LineControl::kDisable) rates.push_back(s.baud_rate);
  // Probes down to the rate that answered, then the adapter is commanded at that rate.
  EXPECT_EQ(rates, (std::vector<uint32_t>{115200, 57600, 38400, 19200, 19200}));
  EXPECT_EQ(l.StateHistory().at(0).baud_rate, 38400u);  // the first state, before any probe
  EXPECT_EQ(l.Writes(), (std::vector<Bytes>{{0x0F}, {0x0F}, {0x0F}, {0x0F}, {0x07}, {0x35}, {0x51}}));
  const SerialLineState& s = l.State();
  EXPECT_EQ(s.baud_rate, 57600u);
  EXPECT_EQ(s.rts_control, LineControl::kEnable);
  EXPECT_TRUE(!s.cts_flow && s.abort_on_error && s.from_zero && s.binary && !s.xon_xoff_in && !s.xon_xoff_out);
  EXPECT_EQ(s.xon_char, 0x11);
  EXPECT_EQ(s.xoff_char, 0x13);
  EXPECT_EQ(l.TimeoutHistory().back().read_constant, 2500u);
  EXPECT_EQ(l.TimeoutHistory().back().read_multiplier, kMaxDword);

  SerialRig none;
  EXPECT_EQ(none.port.OpenIRDA("COM4"), 0);
  EXPECT_FALSE(none.port.IsOpen());
  EXPECT_TRUE(none.logs.Has("OpenIRDA() Error. IR-передатчик не найден"));
}

TEST(Comport, InfraredOpenFailsOnEveryRefusedCall) {
  using Call = MemoryBlockLine::Call;
  struct Case {
    Call call;
    int nth;  // of its kind: states 1 first, 2..9 probes (8 disables RTS at 19200), 10 command, 11 57600
    const char* text;
  };
  const Case cases[] = {
      {Call::kSetupQueues, 1, "OpenIRDA() Error. SetupComm() Error (87)"},
      {Call::kSetTimeouts, 1, "OpenIRDA() Error. SetCommTimeouts() Error (87)"},
      {Call::kSetState, 1, "OpenIRDA() Error. SetCommState() Error (87)"},
      {Call::kSetState, 8, "OpenIRDA() Error. SetCommState() Error (87)"},
      {Call::kSetState, 11, "OpenIRDA() Error. SetCommState() Error (87)"},
      {Call::kWrite, 2, "OpenIRDA() Error. WriteFile() Error (87)"},
      {Call::kWrite, 5, "OpenIRDA() Error. WriteFile() Error (87)"},
      {Call::kRead, 3, "OpenIRDA() Error. ReadFile() Error (87)"},
      {Call::kSetTimeouts, 2, "OpenIRDA() Error. SetCommTimeouts() Error (87)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text + std::string(" #") + std::to_string(c.nth));
    SerialRig r(AdapterAt19200, {c.call, c.nth});
    EXPECT_EQ(r.port.OpenIRDA("COM4"), 0);
    EXPECT_FALSE(r.port.IsOpen());
    EXPECT_TRUE(r.logs.Has(c.text));
    EXPECT_FALSE(r.logs.Has("IR-передатчик не найден"));
  }
}

TEST(Comport, VersionChoiceAndPortKind) {
  SerialRig r;
  const std::pair<uint32_t, uint32_t> steps[] = {{0, 100},   {150, 100},  {200, 200}, {250, 200},
                                                 {300, 300}, {9000, 300}, {200, 200}, {100, 100}};
  for (auto [asked, got] : steps) EXPECT_EQ(r.port.SetProtocolVersion(asked), got) << asked;

  // A serial handle of 1.00 is closed before the object moves to the frame protocols.
  ASSERT_EQ(r.port.Open("COM3"), 1);
  r.port.SetProtocolVersion(200);
  EXPECT_FALSE(r.port.IsOpen());
  EXPECT_TRUE(r.logs.Has("SetProtocolVersion() порт закрыт при смене версии 100 на 200"));

  test::TerminalPeer peer(0x0200, r.clock);
  r.port.SetPortOpener(peer.Opener());
  ASSERT_EQ(r.port.Open("PEER"), 1);
  r.port.SetProtocolVersion(300);  // 2.00 to 3.00 keeps the port
  EXPECT_TRUE(r.port.IsOpen());
  r.port.SetProtocolVersion(100);
  EXPECT_FALSE(r.port.IsOpen());
}

struct PeerRig {
  Logs logs;
  ManualClock clock;
  test::TerminalPeer peer;
  CComport port{clock};
  PeerRig(uint16_t protocol, uint32_t version) : peer(protocol, clock) {
    port.SetPortOpener(peer.Opener());
    port.SetProtocolVersion(version);
    EXPECT_EQ(port.Open("PEER"), 1);
  }
  std::string Recv(int32_t& result, int32_t capacity = 64) {
    std::vector<char> b(static_cast<size_t>(capacity) + 1, 'x');
    int32_t size = capacity;
    result = port.TryToRecv(b.data(), size);
    return result > 0 ? std::string(b.data(), static_cast<size_t>(size)) + (b[size] == 0 ? "" : "<no NUL>") : "";
  }
};

TEST(Comport, FramedExchangesAndTheirResults) {
  for (uint16_t protocol : {uint16_t{0x0200}, uint16_t{0x0300}}) {
    SCOPED_TRACE(protocol);
    PeerRig r(protocol, 200);
    EXPECT_EQ(r.port.SendCmd("004"), 1);
    // A terminal that answers 0x0300 moves the object to 3.00 for good.
    EXPECT_EQ(r.port.RemoteVersion(), protocol == 0x0300 ? 300u : 200u);
    EXPECT_EQ(r.port.GetProtocolVersion(), protocol == 0x0300 ? 300u : 200u);
    // The count of the answer's bytes: ENQ and "--p".
    EXPECT_EQ(r.port.IsTerminalOnline(2000), 4);

    int32_t result = 0;
    r.peer.Side().EmitRecord("abc");
    EXPECT_EQ(r.Recv(result), "abc");
    EXPECT_EQ(result, 3);
    r.peer.Side().EmitRecord("");
    EXPECT_EQ(r.Recv(result), "");
    EXPECT_EQ(result, 1);
    r.peer.Side().Emit("\x80z");
    r.Recv(result);
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(r.logs.Has("Ожидали в начале 0x1E, а получили 0xFFFFFF80."));

    // Wrong answers to a command: another code, or no answer at all.
    r.peer.Side().SetIntercept([](const std::string& m, TerminalSide& side) {
      if (m == "\x01"
               "005")
        side.EmitEcho("006");
      if (m == "\x01"
               "007")
        side.EmitRecord("x");
      return m == "\x01"
                  "005" ||
             m == "\x01"
                  "007";
    });
    EXPECT_EQ(r.port.SendCmd("005"), -6);
    EXPECT_EQ(r.port.SendCmd("007"), -5);
    EXPECT_TRUE(r.logs.Has("SendCmd() Error, wrong answer!"));
    EXPECT_TRUE(r.logs.Has("SendCmd() Error, wrong dataflow!"));

    // Rows too long for one record are refused unsent; the longest that fits goes out whole, and
    // an empty row goes too.
    r.peer.Side().ClearReceived();
    EXPECT_GT(r.port.TryToSend(""), 0);
    EXPECT_EQ(r.port.TryToSend(std::string(8082, 'a')), 0);
    EXPECT_GT(r.port.TryToSend(std::string(8081, 'b')), 0);
    EXPECT_GT(r.port.TryToSendFinalize(), 0);
    EXPECT_EQ(r.port.IsTerminalOnline(2000), 4);
    ASSERT_EQ(r.peer.Side().Received().size(), 3u);
    EXPECT_EQ(r.peer.Side().Received()[0], "\x1E");
    EXPECT_EQ(r.peer.Side().Received()[1], "\x1E" + std::string(8081, 'b'));
    EXPECT_EQ(r.port.SendCmd("0"), 0);

    r.port.Close();
    EXPECT_EQ(r.port.RemoteVersion(), 0u);
    EXPECT_EQ(r.port.SendCmd("004"), 0);
    EXPECT_EQ(r.port.TryToSend("a"), 0);
    EXPECT_EQ(r.port.IsTerminalOnline(100), 0);
    r.Recv(result);
    EXPECT_EQ(result, 0);
  }
}

TEST(Comport, SilenceLostDevicesAndALocalThreeHundred) {
  {
    PeerRig r(0x0200, 200);
    r.peer.SetSilent(true);
    EXPECT_EQ(r.port.IsTerminalOnline(2000), -1);  // the version query goes unanswered
    EXPECT_EQ(r.port.RemoteVersion(), 200u);
    EXPECT_EQ(r.port.IsTerminalOnline(2000), -1);  // then the v2 link check times out
  }
  {
    Logs logs;
    ManualClock clock;
    CComport port(clock);
    test::MemoryPort* device = nullptr;
    port.SetPortOpener([&](const std::string&, uint32_t, uint32_t*) { return test::MakeMemoryTsPort(clock, device); });
    port.SetProtocolVersion(200);
    ASSERT_EQ(port.Open("X"), 1);
    device->FailSends(kErrDeviceLost);
    EXPECT_EQ(port.SendCmd("004"), -7);
  }
  {
    // A local 3.00 towards a terminal that answers 2.00 would queue v3 records that finalising
    // never flushes (and a flush would hand the terminal a length prefix as its row): refused.
    PeerRig r(0x0200, 300);
    uint32_t err = 0;
    EXPECT_EQ(r.port.SyncRemoteVersion(err, 2000), 1);
    EXPECT_EQ(r.port.RemoteVersion(), 200u);
    const size_t writes = r.peer.Writes().size();
    EXPECT_EQ(r.port.TryToSend("row"), 0);
    EXPECT_TRUE(r.logs.Has("TryToSend() Error [v3]. Терминал говорит на версии 2.00, строка не отправлена"));
    EXPECT_EQ(r.port.TryToSendFinalize(), 1);
    EXPECT_EQ(r.peer.Writes().size(), writes);
  }
}

// A v3 terminal acknowledges a v2 frame and drops the row in it: a row waits for the terminal's
// protocol, asked again while 2.00 was only guessed from silence, and does not go while it stays so.
TEST(Comport, RowsWaitForTheTerminalsProtocol) {
  PeerRig r(0x0300, 200);
  EXPECT_GT(r.port.TryToSend("first"), 0);
  EXPECT_GT(r.port.TryToSendFinalize(), 0);
  EXPECT_EQ(r.port.RemoteVersion(), 300u);
  EXPECT_EQ(r.peer.Side().Received(), std::vector<std::string>{"\x1E"
                                                               "first"});

  r.port.Close();
  ASSERT_EQ(r.port.Open("PEER"), 1);
  r.peer.SetSilent(true);
  EXPECT_EQ(r.port.IsTerminalOnline(100), -1);
  EXPECT_EQ(r.port.RemoteVersion(), 200u);
  EXPECT_EQ(r.port.TryToSend("lost?"), -1);
  EXPECT_TRUE(r.logs.Has("TryToSend() Error. Терминал не ответил на запрос версии протокола, строка не отправлена"));
  int32_t result = 0;
  r.Recv(result);
  EXPECT_EQ(result, -1);
  EXPECT_TRUE(r.logs.Has("TryToRecv() Error. Терминал не ответил на запрос версии протокола, строка не принята"));
  // Awake, it answers a v2 request with its handshake: a receive asks again too.
  r.peer.SetSilent(false);
  r.peer.Endpoint()->SetSessionStart([&] { r.peer.Side().EmitRecord("in"); });
  EXPECT_EQ(r.Recv(result), "in");
  r.peer.Side().ClearReceived();
  EXPECT_GT(r.port.TryToSend("second"), 0);
  EXPECT_GT(r.port.TryToSendFinalize(), 0);
  EXPECT_EQ(r.peer.Side().Received(), std::vector<std::string>{"\x1E"
                                                               "second"});

  // Commands too: after a silence, 3.00 asks again before it sends v3 frames without a session,
  // and 2.00 answered by a v3 handshake fails once, then asks again and goes v3.
  for (const uint32_t local : {300u, 200u}) {
    PeerRig c(0x0300, local);
    c.peer.SetSilent(true);
    EXPECT_EQ(c.port.IsTerminalOnline(100), -1);
    c.peer.SetSilent(false);
    if (local == 200) {
      EXPECT_EQ(c.port.SendCmd("004"), -6);
    }
    EXPECT_EQ(c.port.SendCmd("004"), 1) << local;
    EXPECT_GT(c.port.IsTerminalOnline(1000), 0) << local;
    EXPECT_EQ(c.port.RemoteVersion(), 300u);
  }
}

// A receive on a new connection asks for the terminal's protocol first, as a send does; a 3.00
// object that a 2.00 terminal answered fails at once, sending nothing, not after a time-out each.
TEST(Comport, AReceiveFirstSettlesTheProtocol) {
  struct Case {
    uint16_t protocol;
    uint32_t local;
    int32_t result;
    uint32_t remote;
  };
  const Case cases[] = {{0x0200, 200, 3, 200},
                        {0x0201, 200, 3, 200},
                        {0x0300, 200, 3, 300},
                        {0x0300, 300, 3, 300},
                        {0x0200, 300, -6, 200}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.protocol) + " at " + std::to_string(c.local));
    PeerRig r(c.protocol, c.local);
    // The version query starts a new session, in which the terminal offers its row again.
    r.peer.Side().EmitRecord("abc");
    r.peer.Endpoint()->SetSessionStart([&] { r.peer.Side().EmitRecord("abc"); });
    const uint32_t before = r.clock.Now();
    int32_t result = 0;
    EXPECT_EQ(r.Recv(result), c.result > 0 ? "abc" : "");
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(r.port.RemoteVersion(), c.remote);
    if (c.result > 0) continue;
    const size_t writes = r.peer.Writes().size();
    EXPECT_EQ(r.port.SendCmd("004"), -6);
    EXPECT_EQ(r.port.IsTerminalOnline(2000), -6);
    r.Recv(result);
    EXPECT_EQ(result, -6);
    EXPECT_EQ(r.port.GetProtocolVersion(), 300u);
    EXPECT_EQ(r.peer.Writes().size(), writes);
    EXPECT_LT(r.clock.Now() - before, 1000u);
    for (const char* text : {"TryToRecv() Error [v3]. Терминал говорит на версии 2.00, строка не принята",
                             "SendCmd() Error [v3]. Терминал говорит на версии 2.00, команда не отправлена",
                             "IsTerminalOnline() Error [v3]. Терминал говорит на версии 2.00, команда не отправлена"})
      EXPECT_TRUE(r.logs.Has(text)) << text;
  }
}

// A v2 block that is empty, or longer than the buffer, fails at most the operation it came to:
// the next row and command get their own. An answer's echo after such a block still counts.
TEST(Comport, AnOddBlockFailsOnlyItsOwnOperation) {
  const std::string echo = "\x05"
                           "004";
  const std::string long_row = "\x1E" + std::string(9000, 'y');
  struct Case {
    std::vector<std::string> answer;  // to "004"
    int32_t cmd;
    std::string row;  // sent for a receive of 64 bytes
    int32_t recv;
  };
  const Case cases[] = {
      {{"", echo}, 1, "", 0},
      {{""}, 0, "\x1E" + std::string(64, 'x'), -2},               // an empty answer alone stands; one row byte too many
      {{long_row, echo}, 1, "\x1E" + std::string(300, 'x'), -2},  // a row cut in fragments
      {{std::string(300, 'z'), echo}, 1, long_row, -2},
      {{std::string(300, 'z')}, -2, "\x1E" + std::string(63, 'x'), 63},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(&c - cases);
    PeerRig r(0x0200, 200);
    ASSERT_EQ(r.port.SendCmd("111"), 1);
    r.peer.Side().SetIntercept([&](const std::string& m, TerminalSide& side) {
      if (m != "\x01"
               "004")
        return false;
      for (const std::string& block : c.answer) side.Emit(block);
      return true;
    });
    EXPECT_EQ(r.port.SendCmd("004"), c.cmd);
    r.peer.Side().SetIntercept(nullptr);
    r.peer.Side().Emit(c.row);
    int32_t result = 0;
    r.Recv(result);
    EXPECT_EQ(result, c.recv);
    r.peer.Side().EmitRecord("next");
    EXPECT_EQ(r.Recv(result), "next");
    EXPECT_EQ(r.port.SendCmd("111"), 1);
    EXPECT_EQ(r.Recv(result), "");  // nothing was left behind: the wait runs out
    EXPECT_EQ(result, -1);
  }
}

// An answer doubled, or a row after the echo, stays on the line: the next command and link check
// take their own answer, and a wrong one with nothing after it still fails once the wait is over.
TEST(Comport, AnAnswerLeftOverIsNotTakenForTheNext) {
  for (uint16_t protocol : {uint16_t{0x0200}, uint16_t{0x0300}}) {
    SCOPED_TRACE(protocol);
    PeerRig r(protocol, 200);
    std::string beep_echo = "004";
    r.peer.Side().SetIntercept([&](const std::string& m, TerminalSide& side) {
      if (m != "\x01"
               "004")
        return false;
      side.EmitEcho(beep_echo);
      if (beep_echo == "004") side.EmitEcho("004");
      return true;
    });
    r.peer.State().lines_count = 7;
    EXPECT_EQ(r.port.SendCmd("004"), 1);
    EXPECT_EQ(r.port.SendCmd("111"), 1);
    EXPECT_EQ(r.port.SendCmd("020"), 1);  // its echo, then the count as a row
    EXPECT_EQ(r.port.IsTerminalOnline(2000), 4);
    EXPECT_EQ(r.port.SendCmd("020"), 1);
    EXPECT_EQ(r.port.SendCmd("111"), 1);
    for (const char* wrong : {"111", "40R"}) {
      beep_echo = wrong;
      const uint32_t before = r.clock.Now();
      EXPECT_EQ(r.port.SendCmd("004"), -6) << wrong;
      EXPECT_EQ(r.clock.Now() - before >= kComportTimeoutMs, beep_echo == std::string("111")) << wrong;
    }
  }
}

// The terminal's side of 1.00 in process: echoes, ACKs, a forced NAK, rows out one at a time.
TEST(Comport, BlockTerminalInProcess) {
  Logs logs;
  ManualClock clock;
  TerminalState state;
  state.tables[0] = {"r1", "r2;x", ""};
  TerminalSide side(state);
  std::shared_ptr<InProcessLine> line;
  CComport port(clock);
  port.SetBlockLineOpener([&](const std::string&, uint32_t&) {
    line = std::make_shared<InProcessLine>(side, kProtocolBlocks, clock);
    line->Endpoint().Blocks()->NakFirstDataBlockOnce();
    return MakePortBlockLine(std::unique_ptr<LinkPort>(LvlAdopt(InProcessLine::MakePort(line), Serial)));
  });
  ASSERT_EQ(port.Open("COM1"), 1);
  EXPECT_EQ(port.SendCmd("002"), 1);
  EXPECT_EQ(port.SendCmd("111"), 1);
  EXPECT_EQ(port.TryToSend("first"), 1);  // NAKed once, then taken
  EXPECT_EQ(port.TryToSend("second"), 1);
  EXPECT_EQ(port.TryToSend("\x04"), 1);
  EXPECT_EQ((std::vector<std::string>(side.Received().end() - 3, side.Received().end())),
            (std::vector<std::string>{"\x1E"
                                      "first",
                                      "\x1E"
                                      "second",
                                      "\x1E\x04"}));

  EXPECT_EQ(port.SendCmd("021"), 1);
  std::vector<std::string> rows;
  char b[32];
  for (int i = 0; i < 4; ++i) {
    int32_t size = sizeof b;
    ASSERT_EQ(port.TryToRecv(b, size), 1) << i;
    rows.emplace_back(b, static_cast<size_t>(size));
  }
  EXPECT_EQ(rows, (std::vector<std::string>{"r1", "r2;x", "", "\x04"}));

  // The program restarts while it takes a row or a command: the row's ACK, the command's echo and
  // the download under way are lost with it, and no echo counts as sent.
  std::vector<std::string> sent;
  side.SetSentTap([&](const std::string& message) { sent.push_back(message); });
  const std::string lost = "\x1Elost", set_time = std::string("\x01") + kCmdSyncDateTime;
  side.SetIntercept([&](const std::string& message, TerminalSide&) {
    if (message == lost || message == set_time) line->Endpoint().Restart();
    return false;
  });
  EXPECT_EQ(port.SendCmd("021"), 1);
  EXPECT_EQ(port.TryToSend("lost"), 0);
  EXPECT_EQ(side.Received().back(), lost);
  int32_t size = sizeof b;
  EXPECT_EQ(port.TryToRecv(b, size), 0);
  sent.clear();
  EXPECT_EQ(port.SendCmd(kCmdSyncDateTime), 0);
  EXPECT_EQ(sent, std::vector<std::string>{});
  // A restart between exchanges is over before the next command comes.
  line->Endpoint().Restart();
  EXPECT_EQ(port.SendCmd("021"), 1);
  size = sizeof b;
  ASSERT_EQ(port.TryToRecv(b, size), 1);
  EXPECT_EQ(std::string(b, static_cast<size_t>(size)), "r1");
}

}  // namespace
}  // namespace korvane
