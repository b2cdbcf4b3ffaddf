// The link core against an in-process terminal: closed link, protocol choice, record and command
// framing on the wire, answer checks.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <thread>

#include "frame/frame_layout.h"
#include "link/link_protocol.h"
#include "link_test_util.h"
#include "support/memory_port.h"

namespace korvane::test {
namespace {

TEST(LinkClosed, EveryExchangeGivesNoPort) {
  LinkBench bench(kV2);
  TerminalLink& link = bench.Link();
  uint8_t buffer[16] = {};
  int32_t received = 7;
  EXPECT_EQ(link.TryToSend("x"), E_NO_PORT);
  EXPECT_EQ(link.LastMessage(), "Нет подключения к терминалу");
  EXPECT_EQ(link.TryToRecv(buffer, sizeof(buffer), received), E_NO_PORT);
  EXPECT_EQ(received, 7);
  EXPECT_EQ(link.SendCmd("004"), E_NO_PORT);
  EXPECT_EQ(link.FlushSendCache(), 0);
  std::vector<std::string> fields{"old"};
  EXPECT_EQ(link.GetPropByCmd("998", fields), E_NO_PORT);
  bench.ExpectDiagClear();  // GetPropByCmd leaves the record alone

  // A command operation turns it into its own record; the beep appends no last message.
  EXPECT_EQ(link.MakeBeep(), E_NO_PORT);
  bench.ExpectDiag(E_NO_PORT, "Ошибка при отправке звуковой команды", "Звуковая команда");
  EXPECT_EQ(link.CloseAllForms(), E_NO_PORT);
  bench.ExpectDiag(E_NO_PORT, "Ошибка при команде \"закрыть все окна\" - Нет подключения к терминалу",
                   "Переход в главную форму");
  EXPECT_EQ(link.IsTerminalOnline(100), E_NO_PORT);
  EXPECT_TRUE(bench.LogHas("Нет подключения к терминалу (-8)"));
  EXPECT_TRUE(bench.Peer().Writes().empty());
}

TEST(LinkOpen, FailuresNameThePort) {
  LinkBench bench(kV2);
  TerminalLink& link = bench.Link();
  link.SetPort("COM99");
  uint32_t next_error = 2;
  link.SetPortOpener([&](const std::string&, uint32_t, uint32_t* err) -> TsPort* {
    *err = next_error;
    return nullptr;
  });
  EXPECT_EQ(link.OpenPort(), E_PORT_OPEN);
  EXPECT_EQ(link.LastMessage(), "Порт не найден (COM99)");
  next_error = 5;
  EXPECT_EQ(link.OpenPort(), E_PORT_OPEN);
  EXPECT_EQ(link.LastMessage(), "Порт занят другим приложением (COM99)");
  EXPECT_TRUE(bench.LogHas("Порт занят другим приложением (COM99) (5)"));
  next_error = 0xDEAD;
  EXPECT_EQ(link.OpenPort(), E_PORT_OPEN);
  const std::string message = link.LastMessage();
  EXPECT_TRUE(message == "Неизвестная ошибка при открытии порта (COM99)" || message.rfind("(COM99) ", 0) == 0)
      << message;

  next_error = 2;
  EXPECT_EQ(link.ConnectTerminal(), E_PORT_OPEN);
  bench.ExpectDiag(E_PORT_OPEN, "Ошибка открытия порта COM99 - Порт не найден (COM99)", "Подключение");
  EXPECT_FALSE(link.IsConnected());
}

TEST(LinkOpen, OpenAndCloseAreLogged) {
  LinkBench bench(kV2);
  ASSERT_EQ(bench.Link().OpenPort(), 0);
  EXPECT_TRUE(bench.Link().IsPortOpen());
  EXPECT_EQ(bench.Link().RemoteVersion(), 0u);
  bench.Link().ClosePort();
  EXPECT_FALSE(bench.Link().IsPortOpen());
  EXPECT_TRUE(bench.LogHas("Открыт порт PEER (PEER) (тип порта 0)"));
  EXPECT_TRUE(bench.LogHas("Закрыт порт PEER"));
}

TEST(LinkVersion, SilentTerminalGivesNotConnectedThenV2) {
  LinkBench bench(kV2);
  TerminalLink& link = bench.Link();
  bench.Peer().SetSilent(true);
  ASSERT_EQ(link.OpenPort(), 0);
  const uint32_t start = bench.Clock().Now();
  EXPECT_EQ(link.IsTerminalOnline(2000), E_NOT_CONNECTED);
  EXPECT_GE(bench.Clock().Now() - start, 2000u);
  bench.ExpectDiag(E_NOT_CONNECTED, "Терминал не подключен (PEER)", "Подключение");
  EXPECT_EQ(link.RemoteVersion(), 200u);
  EXPECT_EQ(link.LocalVersion(), 200u);
  EXPECT_TRUE(bench.LogHas("[SyncRemoteVersion] Запрос версии протокола удаленного устройства"));
  EXPECT_TRUE(bench.LogHas("[SyncRemoteVersion] Нет ответа о версии, выбран протокол обмена: v2"));

  // The terminal wakes up: the next check goes straight to the v2 exchange, no second v3 query.
  bench.Peer().SetSilent(false);
  bench.Peer().Side().ClearReceived();
  EXPECT_EQ(link.IsTerminalOnline(2000), 0);
  bench.ExpectDiagClear();
  EXPECT_EQ(bench.Peer().Side().Received(), std::vector<std::string>{Cmd("--p")});
  EXPECT_EQ(bench.Peer().Endpoint()->Responder()->stats().blocks_received, 1u);
}

// A v3 terminal that slept through the version query answers a command's v2 handshake as v3: no
// v2 frame goes to it (it would take one's body for stream bytes), and the next exchange settles v3.
TEST(LinkVersion, V3AnswerToTheV2HandshakeSettlesV3) {
  LinkBench bench(kV3);
  TerminalLink& link = bench.Link();
  bench.Peer().SetSilent(true);
  ASSERT_EQ(link.OpenPort(), 0);
  ASSERT_EQ(link.IsTerminalOnline(2000), E_NOT_CONNECTED);
  bench.Peer().SetSilent(false);
  EXPECT_EQ(link.SendCmd("004"), E_EXCHANGE);
  EXPECT_EQ(link.LastMessage(),
            "Ошибка при отправке команды, протокол v2 (Код: -6, описание: неверный ответ протокола)");
  EXPECT_EQ(link.SendCmd("004"), 0);
  EXPECT_EQ(link.RemoteVersion(), 300u);
  EXPECT_EQ(bench.Received(), std::vector<std::string>{Cmd("004")});
}

TEST(LinkVersion, AnswersChooseTheProtocol) {
  for (uint16_t protocol : {kV2, kV3}) {
    LinkBench bench(protocol);
    bench.Online();
    const bool v3 = protocol == kV3;
    EXPECT_EQ(bench.Link().RemoteVersion(), v3 ? 300u : 200u);
    EXPECT_EQ(bench.Link().LocalVersion(), v3 ? 300u : 200u);
    EXPECT_TRUE(bench.LogHas(v3 ? "[SyncRemoteVersion] Получен ответ: версия протокола удаленного устройства 0x300"
                                : "[SyncRemoteVersion] Получен ответ: версия протокола удаленного устройства 0x200"));
    EXPECT_TRUE(bench.LogHas(v3 ? "[SyncRemoteVersion] Выбран протокол обмена: v3"
                                : "[SyncRemoteVersion] Выбран протокол обмена: v2"));
  }
}

// The body of every v3 DATA frame the link wrote, concatenated: the record stream.
std::vector<uint8_t> V3StreamWritten(const TerminalPeer& peer) {
  std::vector<uint8_t> stream;
  for (const auto& write : peer.Writes()) {
    // One write may carry several frames.
    for (size_t at = 0; at + kFrameHeaderSize <= write.size() && FrameMarkersAt(write.data() + at);) {
      const uint8_t* f = write.data() + at;
      const size_t length = FrameLength(f);
      if (length < kFrameHeaderSize || at + length > write.size()) break;
      if (FrameControlCode(f) == kCtlData) stream.insert(stream.end(), f + kFrameHeaderSize, f + length);
      at += length;
    }
  }
  return stream;
}

TEST(LinkVersion, V3LastsUntilThePortIsOpenedAgain) {
  LinkBench bench(kV3);
  TerminalLink& link = bench.Link();
  ASSERT_EQ(link.ConnectTerminal(), S_CONNECTED) << link.GetDiag().message;
  link.Disconnect();
  EXPECT_EQ(link.RemoteVersion(), 0u);
  EXPECT_EQ(link.LocalVersion(), 300u);

  // Terminals swapped in the cradle: the next connect asks afresh and speaks v2 to the new one.
  bench.Peer().SetProtocol(kV2);
  bench.Peer().Side().ClearReceived();
  ASSERT_EQ(link.ConnectTerminal(), S_CONNECTED) << link.GetDiag().message;
  EXPECT_EQ(bench.Peer().Opens(), 2);
  EXPECT_EQ(link.RemoteVersion(), 200u);
  EXPECT_EQ(link.LocalVersion(), 200u);
  ASSERT_FALSE(bench.Received().empty());
  EXPECT_EQ(bench.Received()[0], Cmd("--p"));
  EXPECT_EQ(link.SendCmd("004"), 0);
  EXPECT_EQ(bench.Received().back(), Cmd("004"));
}

TEST(LinkRecords, V3SendsTheWholeRecordWithItsLengthPrefix) {
  LinkBench bench(kV3);
  bench.Online();
  const size_t before = V3StreamWritten(bench.Peer()).size();
  const std::string row(10000, 'r');
  EXPECT_EQ(bench.Link().TryToSend(row), 0);
  EXPECT_EQ(bench.Link().FlushSendCache(), 0);
  ASSERT_EQ(bench.Received().size(), 1u);
  EXPECT_EQ(bench.Received()[0], Rec(row));
  const std::vector<uint8_t> stream = V3StreamWritten(bench.Peer());
  ASSERT_EQ(stream.size() - before, 10003u);
  EXPECT_EQ(stream[before], (10003 & 0xFF));
  EXPECT_EQ(stream[before + 1], (10003 >> 8));
  EXPECT_EQ(stream[before + 2], 0x1E);
}

// The terminal restarts the link while a frame of ours is unacknowledged, and numbers its side from
// its SYN on: the next command says so, once, and the one after it gets through without a reconnect.
TEST(LinkRecords, V3PeerRestartIsReportedOnceThenTheLinkWorks) {
  LinkBench bench(kV3);
  TerminalLink& link = bench.Link();
  bench.Online();
  EXPECT_EQ(link.SendCmd("004"), 0);
  bench.Peer().SetSilent(true);
  EXPECT_EQ(link.TryToSend("lost"), 0);
  EXPECT_EQ(link.FlushSendCache(), E_EXCHANGE);
  bench.Peer().SetSilent(false);
  CFrameBuffer& terminal = *bench.Peer().Endpoint()->FrameBuffer();
  uint16_t version = 0;
  uint32_t err = 0;
  terminal.SetNextExpected(2);
  terminal.Sync(0, version, err);
  bench.Peer().Side().ClearReceived();
  EXPECT_EQ(link.SendCmd("004"), E_EXCHANGE);
  EXPECT_EQ(link.LastMessage(),
            "Терминал перезапустил соединение, протокол v3 (Код: -8, описание: неподтвержденные данные потеряны)");
  EXPECT_EQ(link.SendCmd("005"), 0) << link.LastMessage();
  EXPECT_EQ(link.IsTerminalOnline(kConnectCheckTimeoutMs), 0) << link.GetDiag().message;
  EXPECT_EQ(bench.Received(), (std::vector<std::string>{Cmd("005"), Cmd("--p")}));
}

class LinkCore : public LinkTest {};

TEST_P(LinkCore, RecvWithoutRoomTakesNoRecord) {
  bench_.Online();
  peer().Side().EmitRecord("row");
  uint8_t buffer[8] = {};
  int32_t received = -1;
  EXPECT_EQ(link().TryToRecv(nullptr, sizeof(buffer), received), E_BAD_REQUEST);
  EXPECT_EQ(link().TryToRecv(buffer, 0, received), E_BAD_REQUEST);
  EXPECT_EQ(link().LastMessage(),
            "Неверные аргументы вызова - буфер для приема данных не задан или имеет нулевой размер.");
  EXPECT_EQ(received, -1);
  EXPECT_EQ(link().TryToRecv(buffer, sizeof(buffer), received), 0);
  EXPECT_STREQ(reinterpret_cast<char*>(buffer), "row");
}

TEST_P(LinkCore, CommandAndLinkCheckBytes) {
  bench_.Online();
  EXPECT_EQ(link().SendCmd("004"), 0);
  EXPECT_EQ(link().IsTerminalOnline(2000), 0);
  EXPECT_EQ(bench_.Received(), (std::vector<std::string>{Cmd("004"), Cmd("--p")}));
}

TEST_P(LinkCore, ReceivedRecordMustStartWithRs) {
  bench_.Online();
  peer().Side().Emit("A1;2");
  uint8_t buffer[64];
  int32_t received = 0;
  EXPECT_EQ(link().TryToRecv(buffer, sizeof(buffer), received), E_EXCHANGE);
  EXPECT_EQ(link().LastMessage(), "Неверный формат при приеме данных. Ожидали RS, а получили 0x41.");

  peer().Side().EmitRecord("row");
  EXPECT_EQ(link().TryToRecv(buffer, sizeof(buffer), received), 0);
  EXPECT_EQ(received, 3);
  EXPECT_STREQ(reinterpret_cast<char*>(buffer), "row");

  peer().Side().EmitRecord("");
  EXPECT_EQ(link().TryToRecv(buffer, sizeof(buffer), received), 0);
  EXPECT_EQ(received, 0);
  EXPECT_EQ(buffer[0], 0);
}

TEST_P(LinkCore, CommandAnswerIsChecked) {
  bench_.Online();
  std::string answer;
  peer().Side().SetIntercept([&](const std::string& message, TerminalSide& side) {
    if (message != Cmd("004") && message != Cmd("001")) return false;
    side.Emit(answer);
    return true;
  });
  answer = Echo("005");
  EXPECT_EQ(link().SendCmd("004"), E_EXCHANGE);
  EXPECT_EQ(link().LastMessage(), "Неверный формат ответа на команду");
  answer = "\x06"
           "004";
  EXPECT_EQ(link().SendCmd("004"), E_EXCHANGE);
  EXPECT_EQ(link().LastMessage(), "Неверный ответ на команду, ожидался ENQ, а принят 0x06");
  answer = Echo("00");
  EXPECT_EQ(link().SendCmd("004"), E_EXCHANGE);
  EXPECT_EQ(link().LastMessage(), "Неверный формат ответа на команду");

  answer = Echo("005");
  EXPECT_EQ(link().MakeBeep(), E_EXCHANGE);
  bench_.ExpectDiag(E_EXCHANGE, "Ошибка при отправке звуковой команды", "Звуковая команда");
  EXPECT_EQ(link().ClearTable(0), E_EXCHANGE);
  bench_.ExpectDiag(E_EXCHANGE,
                    "Ошибка при запросе очистки данных таблицы \"журнал\" - Неверный формат ответа на команду",
                    "Очистка таблицы");
}

TEST_P(LinkCore, LinkCheckAnswerIsChecked) {
  bench_.Online();
  std::string answer;
  peer().Side().SetIntercept([&](const std::string& message, TerminalSide& side) {
    if (message != Cmd("--p")) return false;
    if (!answer.empty()) side.Emit(answer);
    return true;
  });
  answer = Echo("--x");
  EXPECT_EQ(link().IsTerminalOnline(2000), E_EXCHANGE);
  bench_.ExpectDiag(E_EXCHANGE, "Неверный формат подтверждения связи", "Проверка связи");
  answer = "X--p";
  EXPECT_EQ(link().IsTerminalOnline(2000), E_EXCHANGE);
  bench_.ExpectDiag(E_EXCHANGE, "Неверный ответ подтверждения связи. Ожидали ENQ, а получили 0x58.", "Проверка связи");

  answer.clear();  // the program is there but does not answer
  const uint32_t start = bench_.Clock().Now();
  EXPECT_EQ(link().IsTerminalOnline(2000), E_EXCHANGE);
  if (GetParam() == kV3) {
    bench_.ExpectDiag(E_EXCHANGE,
                      "Превышен таймаут при ожидании подтверждения связи, протокол v3 - устройство отвечает, но "
                      "программа не готова к обмену",
                      "Проверка связи");
  } else {
    bench_.ExpectDiag(E_EXCHANGE, "Ошибка при проверке связи, протокол v2 (Код: -1, описание: превышен таймаут)",
                      "Проверка связи");
  }
  EXPECT_GE(bench_.Clock().Now() - start, 2000u);
}

TEST_P(LinkCore, SilentTerminalAfterOpenFailsExchanges) {
  bench_.Online();
  peer().SetSilent(true);
  EXPECT_EQ(link().SendCmd("004"), E_EXCHANGE);
  EXPECT_EQ(link().LastMessage(),
            GetParam() == kV3 ? "Ошибка при отправке команды, протокол v3 (Код: -1, описание: превышен таймаут)"
                              : "Ошибка при отправке команды, протокол v2 (Код: -1, описание: превышен таймаут)");
  uint8_t buffer[16];
  int32_t received = 0;
  EXPECT_EQ(link().TryToRecv(buffer, sizeof(buffer), received), E_EXCHANGE);
  EXPECT_EQ(link().LastMessage(), GetParam() == kV3
                                      ? "Превышен таймаут при ожидании данных, протокол v3"
                                      : "Ошибка при приеме данных, протокол v2 (Код: -1, описание: превышен таймаут)");
}

// Straight after the port opens the protocol is not known yet: a row or a receive asks for it first,
// so a v3 terminal is not sent a v2 frame it would acknowledge without taking the row.
TEST_P(LinkCore, RecordsBeforeTheProtocolIsKnownAskForItFirst) {
  ASSERT_EQ(link().OpenPort(), 0);
  EXPECT_EQ(link().TryToSend("row"), 0);
  EXPECT_EQ(link().FlushSendCache(), 0);
  EXPECT_EQ(bench_.Received(), std::vector<std::string>{Rec("row")});
  EXPECT_EQ(link().RemoteVersion(), GetParam() == kV3 ? 300u : 200u);

  link().ClosePort();
  ASSERT_EQ(link().OpenPort(), 0);
  uint8_t buffer[16];
  int32_t received = 0;
  EXPECT_EQ(link().TryToRecv(buffer, sizeof(buffer), received), E_EXCHANGE);  // nothing was sent
  EXPECT_EQ(link().RemoteVersion(), GetParam() == kV3 ? 300u : 200u);

  // v2 guessed because nothing answered the version query: a row asks again, and does not go while
  // the terminal stays silent (a v3 terminal waking later would drop a v2 frame it acknowledged).
  link().ClosePort();
  ASSERT_EQ(link().OpenPort(), 0);
  peer().SetSilent(true);
  EXPECT_EQ(link().IsTerminalOnline(100), E_NOT_CONNECTED);
  EXPECT_EQ(link().RemoteVersion(), 200u);
  EXPECT_EQ(link().TryToSend("lost?"), E_EXCHANGE);
  EXPECT_EQ(link().LastMessage(), "Ошибка при отправке данных, протокол v2 (Код: -1, описание: превышен таймаут)");
  peer().SetSilent(false);
  peer().Side().ClearReceived();
  EXPECT_EQ(link().TryToSend("row2"), 0);
  EXPECT_EQ(link().FlushSendCache(), 0);
  EXPECT_EQ(bench_.Received(), std::vector<std::string>{Rec("row2")});
  EXPECT_EQ(link().RemoteVersion(), GetParam() == kV3 ? 300u : 200u);
}

TEST_P(LinkCore, DiagnosticsAreLogged) {
  EXPECT_EQ(link().SetDiag(-42, "сообщение", "этап"), -42);
  EXPECT_TRUE(bench_.LogHas("[Диагностика] Этап: этап, Код: -42, Сообщение: сообщение"));
  link().ClearDiag();
  bench_.ExpectDiagClear();
  EXPECT_EQ(link().SetLastMessage("текст", 0), 0);
  EXPECT_EQ(link().LastMessage(), "текст");
  link().LogStr("строка приложения");
  EXPECT_TRUE(bench_.LogHas("строка приложения"));
}

INSTANTIATE_TEST_SUITE_P(Protocols, LinkCore, ::testing::Values(kV2, kV3), ProtocolName);

}  // namespace
}  // namespace korvane::test

namespace korvane::test {
namespace {

// A port error is reported with the port's own code; without one the exchange's result is shown.
TEST(LinkPortErrors, PortErrorsCarryTheirCode) {
  TempDir dir;
  ScopedLogDir log_dir(dir.Path());
  ManualClock clock;
  V2Responder responder(0x0200);
  MemoryPort* device = nullptr;
  TerminalLink link(clock);
  link.SetPort("MEM");
  link.SetPortOpener([&](const std::string&, uint32_t, uint32_t*) {
    TsPort* port = MakeMemoryTsPort(clock, device);
    device->SetPeer(ResponderPeer(responder));
    return port;
  });
  responder.SetBlockHandler([&](std::vector<uint8_t>&& block) {
    if (!block.empty() && block[0] == 0x01) {
      block[0] = 0x05;
      responder.QueueBlock(block.data(), block.size());
    }
  });
  ASSERT_EQ(link.OpenPort(), 0);
  ASSERT_EQ(link.IsTerminalOnline(2000), 0) << link.GetDiag().message;
  EXPECT_EQ(link.SendCmd("004"), 0);
  // The line damaged frames lately, yet the failure is the port's, not the line's.
  for (int i = 0; i < 4; ++i) {
    device->CorruptNextAnswer(kFrameOffNumber);
    ASSERT_EQ(link.SendCmd("004"), 0) << link.LastMessage();
  }

  device->FailSends(31);
  EXPECT_EQ(link.SendCmd("004"), E_EXCHANGE);
  EXPECT_EQ(
      link.LastMessage(),
      "Ошибка при отправке команды, протокол v2 (Код: 31, описание: устройство потеряно или ошибка драйвера связи)");

  // A fresh connection whose version query cannot even be written.
  link.ClosePort();
  ASSERT_EQ(link.OpenPort(), 0);
  device->FailSends(31);
  EXPECT_EQ(link.SendCmd("004"), E_EXCHANGE);
  EXPECT_EQ(link.LastMessage(),
            "Ошибка связи с устройством (Код: 31, описание: устройство потеряно или ошибка драйвера связи)");
  EXPECT_EQ(link.RemoteVersion(), 0u);
}

// Once lost, every read fails, after what was already on its way has been delivered.
class LosableDevice final : public PortDevice {
 public:
  static constexpr uint32_t kLostError = 31;
  LosableDevice(std::unique_ptr<PortDevice> inner, const bool& lost) : inner_(std::move(inner)), lost_(lost) {}
  bool HasHandle() const override { return inner_->HasHandle(); }
  uint32_t Send(const uint8_t* data, uint32_t length, int32_t timeout_ms, uint32_t& err) override {
    return inner_->Send(data, length, timeout_ms, err);
  }
  uint32_t ReadMore(uint8_t* buffer, uint32_t count, uint32_t capacity, int32_t timeout_ms, uint32_t& err) override {
    const uint32_t n = inner_->ReadMore(buffer, count, capacity, lost_ ? 0 : timeout_ms, err);
    if (lost_ && n == count) err = kLostError;
    return n;
  }
  void Purge() override { inner_->Purge(); }
  void Close() override { inner_->Close(); }

 private:
  std::unique_ptr<PortDevice> inner_;
  const bool& lost_;
};

// A v3 wait for an answer ends as soon as the device is lost, not at its time-out.
TEST(LinkPortErrors, V3WaitsEndAtOnceOnALostDevice) {
  LinkBench bench(kV3);
  TerminalLink& link = bench.Link();
  bool lost = false;
  link.SetPortOpener([&, inner = bench.Peer().Opener()](const std::string& d, uint32_t k, uint32_t* e) {
    TsPort* port = inner(d, k, e);
    port->port->device = std::make_unique<LosableDevice>(std::move(port->port->device), lost);
    return port;
  });
  bench.Online();
  // The terminal takes the message, and the device is gone before any answer.
  bench.Peer().Side().SetIntercept([&](const std::string&, TerminalSide&) { return lost = true; });
  uint8_t buffer[16];
  int32_t received = 0;
  const std::string device_lost = "устройство потеряно или ошибка драйвера связи";
  struct Case {
    bool lost_first;  // a receive sends nothing the terminal could take first
    std::function<int32_t()> run;
    std::function<std::string()> text;
    std::string expected;
  };
  const Case cases[] = {
      {false, [&] { return link.IsTerminalOnline(2000); }, [&] { return link.GetDiag().message; },
       "Ошибка при проверке связи, протокол v3 (Код: -7, описание: " + device_lost + ")"},
      {false, [&] { return link.SendCmd("004"); }, [&] { return link.LastMessage(); },
       "Ошибка связи, протокол v3 (Код: 31, описание: " + device_lost + ")"},
      {true, [&] { return link.TryToRecv(buffer, sizeof(buffer), received); }, [&] { return link.LastMessage(); },
       "Ошибка при приеме данных, протокол v3 (Код: -7, описание: " + device_lost + ")"},
  };
  for (const Case& c : cases) {
    lost = c.lost_first;
    const uint32_t start = bench.Clock().Now();
    EXPECT_EQ(c.run(), E_EXCHANGE) << c.expected;
    EXPECT_EQ(c.text(), c.expected);
    EXPECT_LT(bench.Clock().Now() - start, 100u) << c.expected;
  }
}

}  // namespace
}  // namespace korvane::test

namespace korvane::test {
namespace {

class LinkThreads : public LinkTest {};

// Exchanges of one link from two threads are serialised by its lock: every command gets its own echo.
TEST_P(LinkThreads, ConcurrentCallersAreSerialised) {
  bench_.Online();
  peer().KeepWrites(false);
  link().SetupLogfile("", 0);
  constexpr int kEach = 150;
  int failures[2] = {0, 0};
  auto run = [&](int who, const char* code) {
    for (int i = 0; i < kEach; ++i) {
      if (link().SendCmd(code) != 0) ++failures[who];
      if (link().RemoteVersion() == 0) ++failures[who];
    }
  };
  std::thread a(run, 0, "004");
  std::thread b(run, 1, "000");
  a.join();
  b.join();
  EXPECT_EQ(failures[0] + failures[1], 0);
  EXPECT_EQ(bench_.Received().size(), static_cast<size_t>(2 * kEach));
}

INSTANTIATE_TEST_SUITE_P(Protocols, LinkThreads, ::testing::Values(kV2, kV3), ProtocolName);

}  // namespace
}  // namespace korvane::test
