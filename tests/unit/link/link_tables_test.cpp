// Connecting, readiness, table download and upload over v2 and v3.
#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>
#include <thread>

#include "link/link_protocol.h"
#include "link_test_util.h"

namespace korvane::test {
namespace {

using Pairs = std::vector<std::pair<long, long>>;

class LinkTables : public LinkTest {};

TEST_P(LinkTables, ConnectReadsIdentityAndStoresTheConnectionText) {
  state().program_name = "Ostrel";
  state().program_version = "3.2.1.0";
  state().device_name = "MC3190";
  state().device_id = "A1B2";
  EXPECT_EQ(link().ConnectTerminal(), S_CONNECTED);
  bench_.ExpectDiag(S_CONNECTED,
                    "Подключен терминал MC3190 (DeviceID: A1B2), программа Ostrel (версия \"3.2.1.0\"). Порт PEER",
                    "Подключение");
  EXPECT_TRUE(link().IsConnected());
  EXPECT_EQ(peer().Side().Commands(), (std::vector<std::string>{"--p", "303", "--s", "--h"}));
  EXPECT_EQ(state().date_time.size(), 14u);
  EXPECT_TRUE(bench_.LogHas(
      "[Диагностика] Этап: Подключение, Код: 1, Сообщение: Подключен терминал MC3190 (DeviceID: A1B2), программа "
      "Ostrel (версия \"3.2.1.0\"). Порт PEER"));

  // Connected again: the port is reused, the checks run again.
  EXPECT_EQ(link().ConnectTerminal(), S_CONNECTED);
  EXPECT_EQ(peer().Opens(), 1);
  EXPECT_EQ(peer().Side().Commands().size(), 8u);

  link().Disconnect();
  EXPECT_FALSE(link().IsConnected());
  EXPECT_FALSE(link().IsPortOpen());
}

TEST_P(LinkTables, ConnectToASilentTerminalLeavesThePortOpen) {
  peer().SetSilent(true);
  const int32_t r = link().ConnectTerminal();
  EXPECT_EQ(r, E_NOT_CONNECTED);
  bench_.ExpectDiag(E_NOT_CONNECTED, "Терминал не подключен (PEER)", "Подключение");
  EXPECT_TRUE(link().IsPortOpen());
  EXPECT_FALSE(link().IsConnected());
  peer().SetSilent(false);
  EXPECT_EQ(link().ConnectTerminal(), S_CONNECTED);
  EXPECT_EQ(peer().Opens(), 2);
}

// A device lost while connected: the next connects open the port afresh instead of reusing the dead
// handle, so the first one after the device is back succeeds.
TEST_P(LinkTables, ConnectAfterTheDeviceCameBackReopensThePort) {
  ASSERT_EQ(link().ConnectTerminal(), S_CONNECTED);
  peer().Faults().vanished = true;
  EXPECT_EQ(link().MakeBeep(), E_EXCHANGE);
  EXPECT_EQ(link().ConnectTerminal(), E_PORT_OPEN);
  bench_.ExpectDiag(E_PORT_OPEN, "Ошибка открытия порта PEER - Порт не найден (PEER)", "Подключение");
  peer().Faults().vanished = false;
  EXPECT_EQ(link().ConnectTerminal(), S_CONNECTED);
  EXPECT_EQ(peer().Opens(), 2);
}

TEST_P(LinkTables, IdentityFailureLeavesTheLinkConnected) {
  peer().Side().SetIntercept([&](const std::string& message, TerminalSide&) {
    if (message != Cmd("--h")) return false;
    peer().SetSilent(true);
    return true;
  });
  EXPECT_EQ(link().ConnectTerminal(), E_EXCHANGE);
  EXPECT_EQ(link().GetDiag().context, "Подключение");
  EXPECT_EQ(link().GetDiag().message.rfind("Ошибка запроса серийного номера терминала - ", 0), 0u);
  EXPECT_TRUE(link().IsConnected());
}

TEST_P(LinkTables, RecvPrepareNeedsAJobAndReadiness) {
  bench_.Online();
  state().current_id[2] = 0;
  EXPECT_EQ(link().RecvPrepare(), E_NO_JOB);
  bench_.ExpectDiag(E_NO_JOB, "В терминале не загружено задание!", "Подготовка к выгрузке данных");
  EXPECT_EQ(peer().Side().Commands().back(), "880");

  state().current_id[2] = 17;
  state().readiness = 3;
  state().readiness_text = "Идет инвентаризация";
  const size_t before = peer().Side().Commands().size();
  EXPECT_EQ(link().RecvPrepare(), E_NOT_READY);
  bench_.ExpectDiag(E_NOT_READY, "Терминал не готов выгружать данные - Идет инвентаризация",
                    "Подготовка к выгрузке данных");
  EXPECT_TRUE(bench_.LogHas("Терминал не готов, код: 3"));
  EXPECT_EQ(link().LastMessage(), "Терминал не готов, код: 3");
  EXPECT_EQ(peer().Side().Commands().size(), before + 2);

  state().readiness = 1;
  peer().Side().ClearReceived();
  EXPECT_EQ(link().RecvPrepare(), 0);
  EXPECT_EQ(bench_.Received(), (std::vector<std::string>{Cmd("880"), Cmd("998"), Cmd("999"), Cmd("40R")}));
  bench_.ExpectDiagClear();
}

TEST_P(LinkTables, FinalStepsAndClearing) {
  bench_.Online();
  link().SetDiag(-6, "x", "y");
  EXPECT_EQ(link().RecvFinal(), 0);
  bench_.ExpectDiagClear();
  EXPECT_EQ(link().ClearFinal(false), 0);
  EXPECT_TRUE(bench_.Received().empty());
  state().current_id[2] = 9;
  EXPECT_EQ(link().ClearFinal(true), 0);
  EXPECT_EQ(bench_.Received(), (std::vector<std::string>{Cmd("881"), Rec("0")}));
  EXPECT_EQ(state().current_id[2], 0);
}

TEST_P(LinkTables, DownloadWithACount) {
  bench_.Online();
  state().tables[1] = {"1;молоко;2", "2;хлеб;1", "3;соль;5"};
  state().lines_count = 3;
  StringRowList rows;
  Events events;
  EXPECT_EQ(link().RecvTable(1, rows, &events), 0);
  EXPECT_EQ(rows.Rows(), state().tables[1]);
  EXPECT_EQ(events.received, (Pairs{{1, 3}, {2, 3}, {3, 3}}));
  EXPECT_EQ(bench_.Received(), (std::vector<std::string>{Cmd("020"), Cmd("031")}));
  EXPECT_TRUE(bench_.LogHas("[журнал] 2;хлеб;1"));
  EXPECT_TRUE(bench_.LogHas("[журнал] <EOT>"));
  bench_.ExpectDiagClear();
}

TEST_P(LinkTables, DownloadOfAnEmptyJournalSendsNoUnloadCommand) {
  bench_.Online();
  state().lines_count = 0;
  StringRowList rows;
  Events events;
  EXPECT_EQ(link().RecvTable(0, rows, &events), E_NO_DATA);
  bench_.ExpectDiag(E_NO_DATA, "В терминале нет данных для выгрузки.", "Выгрузка данных");
  EXPECT_EQ(bench_.Received(), std::vector<std::string>{Cmd("020")});
}

TEST_P(LinkTables, DownloadEndingEarlyIsInterrupted) {
  bench_.Online();
  state().tables[1] = {"a", "b"};
  state().lines_count = 3;
  StringRowList rows;
  Events events;
  EXPECT_EQ(link().RecvTable(1, rows, &events), E_EXCHANGE);
  bench_.ExpectDiag(E_EXCHANGE, "Выгрузка данных неожиданно прервалась - ожидали 3 строк, а получили 2 строк.",
                    "Выгрузка данных");
  EXPECT_EQ(rows.Rows(), (std::vector<std::string>{"a", "b"}));
}

TEST_P(LinkTables, EmptyRecordMidDownloadIsInterrupted) {
  bench_.Online();
  state().tables[0] = {"a", "", "b"};
  state().lines_count = 2;  // the count would match once the empty record is skipped
  StringRowList rows;
  EXPECT_EQ(link().RecvTable(0, rows, nullptr), E_EXCHANGE);
  bench_.ExpectDiag(E_EXCHANGE, "Выгрузка данных неожиданно прервалась - ожидали 2 строк, а получили 1 строк.",
                    "Выгрузка данных");
  EXPECT_EQ(rows.Rows(), std::vector<std::string>{"a"});
}

TEST_P(LinkTables, ServiceTableHasNoCount) {
  bench_.Online();
  for (int i = 0; i < 25; ++i) state().tables[9].push_back("svc" + std::to_string(i));
  StringRowList rows;
  Events events;
  EXPECT_EQ(link().RecvTable(9, rows, &events), 0);
  EXPECT_EQ(rows.Rows(), state().tables[9]);
  ASSERT_EQ(events.received.size(), 25u);
  EXPECT_EQ(events.received.back(), (std::pair<long, long>{25, 0}));
  EXPECT_EQ(bench_.Received(), std::vector<std::string>{Cmd("1F2")});

  EXPECT_EQ(link().RecvTable(2, rows, &events), E_BAD_REQUEST);
  bench_.ExpectDiag(E_BAD_REQUEST, "Таблица \"операции\" не поддерживает операцию выгрузки.",
                    "Получение параметров таблицы");
  EXPECT_EQ(bench_.Received().size(), 1u);
}

TEST_P(LinkTables, LostTerminalMidDownloadReportsTheRowsReceived) {
  bench_.Online();
  for (int i = 0; i < 400; ++i) state().tables[1].push_back(std::string(100, static_cast<char>('A' + i % 26)));
  state().lines_count = 400;
  struct Silencer final : _CAbsRecvSendEvents {
    TerminalPeer* peer;
    long last = 0;
    void RowReceived(long n, long) override {
      last = n;
      if (n == 2) peer->SetSilent(true);
    }
    void RowSent(long, long) override {}
  } events;
  events.peer = &peer();
  StringRowList rows;
  EXPECT_EQ(link().RecvTable(1, rows, &events), E_EXCHANGE);
  // Rows already on their way still arrive after the terminal went quiet.
  ASSERT_GE(events.last, 2);
  ASSERT_LT(events.last, 400);
  EXPECT_EQ(rows.Rows().size(), static_cast<size_t>(events.last));
  EXPECT_EQ(link().GetDiag().context, "Выгрузка таблицы");
  EXPECT_EQ(link().GetDiag().message, "Ошибка при получении строки таблицы \"журнал\" - " + link().LastMessage());
  std::string report = "Ошибка при получении таблицы, ожидали 400 строк, а получили " + std::to_string(events.last) +
                       " строк.\r\n--- Приняты данные ---\r\n";
  for (const std::string& row : rows.Rows()) report += row + "\r\n";
  report += "----------------------\r\n";
  EXPECT_NE(bench_.LogText().find(report), std::string::npos);
}

TEST_P(LinkTables, UploadCountsTheRowsAndEndsWithTheMarker) {
  bench_.Online();
  std::vector<std::string> table;
  for (int i = 1; i <= 12; ++i) table.push_back("товар;" + std::to_string(i));
  StringRowList source(table);
  Events events;
  EXPECT_EQ(link().SendTable(7, source, &events, -1), 0);
  Pairs expected;
  for (long i = 1; i <= 12; ++i) expected.emplace_back(i, 12);
  EXPECT_EQ(events.sent, expected);
  std::vector<std::string> messages{Cmd("151")};
  for (const std::string& row : table) messages.push_back(Rec(row));
  messages.push_back(Rec("\x04"));
  EXPECT_EQ(bench_.Received(), messages);
  EXPECT_TRUE(bench_.LogHas("[товары] товар;12"));
  EXPECT_TRUE(bench_.LogHas("[товары] <EOT>"));

  peer().Side().ClearReceived();
  StringRowList empty;
  EXPECT_EQ(link().SendTable(9, empty, &events, -1), 0);
  EXPECT_EQ(bench_.Received(), (std::vector<std::string>{Cmd("1F1"), Rec("\x04")}));

  // A given count is passed on as it is.
  events.sent.clear();
  StringRowList two({"x", "y"});
  EXPECT_EQ(link().SendTable(2, two, &events, 40), 0);
  EXPECT_EQ(events.sent, (Pairs{{1, 40}, {2, 40}}));
}

TEST_P(LinkTables, UploadRefusals) {
  bench_.Online();
  StringRowList source({"a"});
  EXPECT_EQ(link().SendTable(1, source, nullptr, -1), E_BAD_REQUEST);
  bench_.ExpectDiag(E_BAD_REQUEST, "Таблица \"журнал\" не поддерживает операцию загрузки данных.", "Загрузка таблицы");
  EXPECT_TRUE(bench_.Received().empty());

  class NotTextFirst final : public RowSource {
   public:
    void Reset() override { pos_ = 0; }
    bool Skip(uint32_t n) override {
      pos_ += n;
      return pos_ <= 2;
    }
    Fetch Next(std::string& row) override {
      if (pos_ >= 2) return Fetch::kEnd;
      row = "r";
      return pos_++ == 0 ? Fetch::kNotText : Fetch::kRow;
    }

   private:
    uint32_t pos_ = 0;
  } odd;
  Events events;
  EXPECT_EQ(link().SendTable(7, odd, &events, -1), E_BAD_REQUEST);
  bench_.ExpectDiag(E_BAD_REQUEST, "Некорректный тип строки №0 в таблице \"товары\", должен быть BSTR.",
                    "Загрузка таблицы");
  EXPECT_TRUE(events.sent.empty());

  // The terminal goes quiet after the upload command. v3 caches the rows, so only the final flush
  // can tell; v2 fails the row's own send.
  const bool v3 = GetParam() == kV3;
  peer().Side().SetIntercept([&](const std::string& message, TerminalSide&) {
    if (message == (v3 ? Cmd("151") : Rec("a"))) peer().SetSilent(true);
    return false;
  });
  StringRowList one({"a"});
  EXPECT_EQ(link().SendTable(7, one, nullptr, -1), E_EXCHANGE);
  if (v3) {
    EXPECT_EQ(link().LastMessage(), "Ошибка при отправке кэша (-1:0): превышен таймаут");
    bench_.ExpectDiag(E_EXCHANGE, "Ошибка при завершении загрузки таблицы \"товары\" - " + link().LastMessage(),
                      "Загрузка таблицы");
  } else {
    bench_.ExpectDiag(E_EXCHANGE, "Ошибка при отправке строки таблицы \"товары\" - " + link().LastMessage(),
                      "Загрузка таблицы");
  }
}

// An upload that stops at an element without text leaves its rows gathered, unsent: connecting
// again opens a new connection that starts clean, and none of them reaches the terminal.
TEST_P(LinkTables, ConnectingAgainAfterAnUploadStoppedStartsClean) {
  bench_.Online();
  ElementRows source({"a", std::nullopt});
  EXPECT_EQ(link().SendTable(7, source, nullptr, -1), E_BAD_REQUEST);
  EXPECT_EQ(link().ConnectTerminal(), S_CONNECTED) << link().GetDiag().message;
  EXPECT_EQ(peer().Opens(), 2);
  const std::vector<std::string>& received = bench_.Received();
  EXPECT_EQ(std::count(received.begin(), received.end(), Rec("a")), GetParam() == kV3 ? 0 : 1);
}

// A forward-only source of `size` elements that records how it was moved.
class CountingSource final : public RowSource {
 public:
  explicit CountingSource(uint32_t size) : size_(size) {}
  void Reset() override {
    pos_ = 0;
    ++resets;
  }
  bool Skip(uint32_t n) override {
    skips.push_back(n);
    if (size_ - pos_ < n) {
      pos_ = size_;
      ++failed;
      return false;
    }
    pos_ += n;
    return true;
  }
  Fetch Next(std::string& row) override {
    if (pos_ >= size_) return Fetch::kEnd;
    row = std::to_string(pos_++);
    return Fetch::kRow;
  }
  std::vector<uint32_t> skips;
  int failed = 0;
  int resets = 0;

 private:
  uint32_t size_;
  uint32_t pos_ = 0;
};

TEST(LinkUploadCounting, SkipsByPowersOfTen) {
  LinkBench bench(kV2);  // closed link: the count is taken before anything is sent
  CountingSource source(23456);
  Events events;
  EXPECT_EQ(bench.Link().SendTable(7, source, &events, -1), E_NO_PORT);
  std::vector<uint32_t> successful;
  int repositions = 0;
  const std::vector<uint32_t> steps{10000, 1000, 100, 10, 1};
  int counts[5] = {};
  for (uint32_t s : source.skips) {
    bool is_step = false;
    for (size_t i = 0; i < steps.size(); ++i) {
      if (s == steps[i]) {
        ++counts[i];
        is_step = true;
      }
    }
    if (!is_step) ++repositions;
  }
  // 2+3+4+5+6 good skips, one failed skip per step, and a return to the counted position before
  // each of the last four steps (20000, 23000, 23400, 23450).
  EXPECT_EQ(counts[0], 3);
  EXPECT_EQ(counts[1], 4);
  EXPECT_EQ(counts[2], 5);
  EXPECT_EQ(counts[3], 6);
  EXPECT_EQ(counts[4], 7);
  EXPECT_EQ(source.failed, 5);
  EXPECT_EQ(repositions, 4);
  EXPECT_EQ(source.skips[3], 20000u);
}

TEST_P(LinkTables, UploadOfManyRowsCountsThemExactly) {
  bench_.Online();
  CountingSource source(1234);
  peer().Side().KeepReceived(false);
  Events events;
  EXPECT_EQ(link().SendTable(9, source, &events, -1), 0);
  ASSERT_EQ(events.sent.size(), 1234u);
  EXPECT_EQ(events.sent.back(), (std::pair<long, long>{1234, 1234}));
  state().verdict = "SYNC;0";
  EXPECT_EQ(link().SendFinal(0), 0);
  ASSERT_EQ(state().tables[9].size(), 1234u);
  EXPECT_EQ(state().tables[9][1233], "1233");
}

// Rows are gathered into batches before they reach the frames: of any length (an empty one, one
// longer than a batch, many across frame and batch edges), they still arrive whole and in order.
TEST_P(LinkTables, UploadedRowsArriveWholeAndInOrderAcrossBatches) {
  bench_.Online();
  std::vector<std::string> table;
  for (int i = 0; i < 400; ++i)
    table.push_back(std::to_string(i) + std::string(static_cast<size_t>(i * 37 % 1200), 'a' + i % 26));
  table[7].clear();
  table[200] = std::string(kV2MaxRecordData, 'L');  // two batches' worth, v2's longest
  StringRowList source(table);
  peer().Side().KeepReceived(false);
  EXPECT_EQ(link().SendTable(9, source, nullptr, -1), 0);
  state().verdict = "SYNC;0";
  EXPECT_EQ(link().SendFinal(0), 0);
  ASSERT_EQ(state().tables[9].size(), table.size());
  for (size_t i = 0; i < table.size(); ++i) ASSERT_EQ(state().tables[9][i], table[i]) << "row " << i;
}

TEST_P(LinkTables, SendFinal) {
  bench_.Online();
  EXPECT_EQ(link().SendFinal(-1), E_BAD_REQUEST);
  bench_.ExpectDiag(E_BAD_REQUEST, "Неверные агрументы вызова - ID текущей операции не может быть меньше нуля.",
                    "Обработка загруженных данных");
  EXPECT_TRUE(bench_.Received().empty());

  state().current_id[2] = 3;
  EXPECT_EQ(link().SendFinal(0), 0);
  EXPECT_EQ(bench_.Received(), std::vector<std::string>{Cmd("003")});
  EXPECT_EQ(state().current_id[2], 3);

  peer().Side().ClearReceived();
  state().verdict = "SYNC;0";
  EXPECT_EQ(link().SendFinal(57), 0);
  EXPECT_EQ(bench_.Received(), (std::vector<std::string>{Cmd("003"), Cmd("881"), Rec("57")}));
  EXPECT_EQ(state().current_id[2], 57);
  bench_.ExpectDiagClear();

  peer().Side().ClearReceived();
  state().verdict = "SYNC;-3;ошибка разбора";
  EXPECT_EQ(link().SendFinal(58), E_TERMINAL_PROCESSING);
  EXPECT_EQ(bench_.Received(), std::vector<std::string>{Cmd("003")});
}

TEST_P(LinkTables, FullUploadSessionReplacesTheTerminalsTables) {
  EXPECT_EQ(link().ConnectTerminal(), S_CONNECTED);
  std::vector<std::pair<int32_t, size_t>> loaded;
  peer().Side().SetTableLoaded(
      [&](int32_t kind, const std::vector<std::string>& rows) { loaded.emplace_back(kind, rows.size()); });
  EXPECT_EQ(link().ActivateUploadingTables(), 0);
  StringRowList goods({"1;a", "2;b"});
  StringRowList docs({"d"});
  EXPECT_EQ(link().SendTable(7, goods, nullptr, -1), 0);
  EXPECT_EQ(link().SendTable(5, docs, nullptr, -1), 0);
  EXPECT_EQ(link().SendFinal(12), 0);
  EXPECT_EQ(state().tables[7], goods.Rows());
  EXPECT_EQ(state().tables[5], docs.Rows());
  EXPECT_EQ(loaded, (std::vector<std::pair<int32_t, size_t>>{{5, 1}, {7, 2}}));
  EXPECT_EQ(state().current_id[2], 12);
}

TEST_P(LinkTables, ExceptionsBecomeResultMinusFive) {
  bench_.Online();
  class Throwing final : public RowSource {
   public:
    void Reset() override {}
    bool Skip(uint32_t) override { return false; }
    Fetch Next(std::string&) override { throw std::runtime_error("source broke"); }
  } source;
  EXPECT_EQ(link().SendTable(7, source, nullptr, 3), E_EXCEPTION);
  EXPECT_TRUE(bench_.LogHas("(Exception) Исключение в SendTable"));

  class ThrowingSink final : public RowSink {
   public:
    void Clear() override {}
    void Append(std::string_view) override { throw std::bad_alloc(); }
  } sink;
  state().tables[9] = {"a"};
  EXPECT_EQ(link().RecvTable(9, sink, nullptr), E_EXCEPTION);
  EXPECT_TRUE(bench_.LogHas("(Exception) Исключение в RecvTable"));
  // The lock was released: another thread gets in.
  std::string port;
  std::thread other([&] { port = link().Port(); });
  other.join();
  EXPECT_EQ(port, "PEER");
}

INSTANTIATE_TEST_SUITE_P(Protocols, LinkTables, ::testing::Values(kV2, kV3), ProtocolName);

}  // namespace
}  // namespace korvane::test
