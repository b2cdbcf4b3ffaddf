// The command catalogue over v2 and v3: what reaches the terminal, the texts on success and on
// failure, and the refusals that send nothing.
#include <gtest/gtest.h>

#include <functional>
#include <regex>

#include "link/link_protocol.h"
#include "link_test_util.h"

namespace korvane::test {
namespace {

class LinkCommands : public LinkTest {
 protected:
  void SetUp() override { bench_.Online(); }
  // The operation succeeded, sent exactly `messages`, logged `line` (when given), left no record.
  void ExpectSuccess(int32_t result, const std::vector<std::string>& messages, const std::string& line) {
    EXPECT_EQ(result, 0) << link().GetDiag().message;
    EXPECT_EQ(bench_.Received(), messages);
    if (!line.empty()) {
      EXPECT_TRUE(bench_.LogHas(line)) << line;
    }
    bench_.ExpectDiagClear();
    peer().Side().ClearReceived();
  }
  // Refused with -3, nothing sent.
  void ExpectRefusal(int32_t result, const std::string& message, const std::string& context) {
    EXPECT_EQ(result, E_BAD_REQUEST);
    bench_.ExpectDiag(E_BAD_REQUEST, message, context);
    EXPECT_TRUE(bench_.Received().empty());
  }
};

TEST_P(LinkCommands, PlainCommands) {
  ExpectSuccess(link().EnableRecvMode(), {Cmd("999")}, "Включен режим выгрузки таблиц");
  ExpectSuccess(link().ResetAllFilters(), {Cmd("40R")}, "Все фильтры в терминале сброшены");
  ExpectSuccess(link().ClearPrepare(), {Cmd("40R")}, "");
  ExpectSuccess(link().MakeBeep(), {Cmd("004")}, "Звуковая команда");
  ExpectSuccess(link().ClearTable(0), {Cmd("001")}, "Очищена таблица журнал");
  ExpectSuccess(link().ClearTable(1), {Cmd("001")}, "");
  ExpectSuccess(link().ActivateUploadingTables(), {Cmd("002")}, "Включен режим загрузки таблиц");
  ExpectSuccess(link().CloseAllForms(), {Cmd("000")}, "Передана команда закрытия всех форм");
  ExpectSuccess(link().Reboot(), {Cmd("HLT")}, "Передана команда перезагрузки терминала");
}

TEST_P(LinkCommands, TableStartCommands) {
  const char* upload[] = {nullptr, nullptr, "111", "121", "131", "141", "171", "151", "161", "1F1"};
  for (int32_t kind = 2; kind <= 9; ++kind) {
    ExpectSuccess(link().StartUploading(kind), {Cmd(upload[kind])}, "");
    // Close the terminal's upload; on v3 the record leaves with the flush.
    ASSERT_EQ(link().TryToSend("\x04"), 0);
    ExpectSuccess(link().FlushSendCache(), {Rec("\x04")}, "");
  }
  EXPECT_TRUE(bench_.LogHas("Начало загрузки таблицы документы2 (cmd 171)"));
  EXPECT_TRUE(bench_.LogHas("Начало загрузки таблицы товары (cmd 151)"));
  ExpectRefusal(link().StartUploading(1), "Таблица \"журнал\" не поддерживает операцию загрузки данных.",
                "Загрузка таблицы");
  ExpectRefusal(link().StartUploading(10), "Таблица \"<неизвестный тип таблицы>\" не поддерживает операцию загрузки данных.",
                "Загрузка таблицы");
  ExpectRefusal(link().StartDownload(2), "Таблица \"операции\" не поддерживает операцию выгрузки.", "Выгрузка таблицы");
  ExpectRefusal(link().ClearTable(2), "Таблица \"операции\" не поддерживает операцию очистки данных.",
                "Очистка таблицы");
}

TEST_P(LinkCommands, StartDownloadSendsTheKindsCode) {
  state().tables[9] = {};  // only the end marker follows
  ExpectSuccess(link().StartDownload(9), {Cmd("1F2")}, "Начало выгрузки таблицы служебная (cmd: 1F2)");
  std::string row;
  EXPECT_EQ(link().LineDownload(9, row), 0);
  EXPECT_EQ(row, "\x04");
  EXPECT_TRUE(bench_.LogHas("[служебная] <EOT>"));
  ExpectSuccess(link().StartDownload(1), {Cmd("031")}, "Начало выгрузки таблицы журнал (cmd: 031)");
  EXPECT_EQ(link().LineDownload(1, row), 0);
  ExpectSuccess(link().StartDownload(0), {Cmd("021")}, "Начало выгрузки таблицы журнал (cmd: 021)");
}

TEST_P(LinkCommands, CommandsWithAParameter) {
  ExpectSuccess(link().SetCurrentID(2, -1), {Cmd("881"), Rec("-1")}, "Установлен текущий ID для таблицы операции: ID=-1");
  EXPECT_EQ(state().current_id[2], -1);
  ExpectSuccess(link().SetCurrentID(3, 7), {Cmd("883"), Rec("7")}, "");
  ExpectSuccess(link().SetCurrentID(4, 0), {Cmd("885"), Rec("0")}, "");
  ExpectSuccess(link().SetCurrentID(5, 123456), {Cmd("887"), Rec("123456")}, "");
  ExpectSuccess(link().SetFilterID(2, 0), {Cmd("401"), Rec("0")}, "Установлен фильтр в таблице операции: ID=0");
  ExpectSuccess(link().SetFilterID(3, 9), {Cmd("403"), Rec("9")}, "");
  ExpectSuccess(link().SetFilterID(4, 9), {Cmd("405"), Rec("9")}, "");
  ExpectSuccess(link().SetFilterID(5, 2147483647), {Cmd("407"), Rec("2147483647")}, "");
  ExpectSuccess(link().SetFilterText(7, "4601234567890"), {Cmd("408"), Rec("4601234567890")},
                "Установлен фильтр в таблице товары: ш/к=4601234567890");
  ExpectSuccess(link().SetFilterText(0, "Склад;1"), {Cmd("409"), Rec("Склад;1")}, "");
  ExpectSuccess(link().SetFilterText(1, "x"), {Cmd("409"), Rec("x")}, "");
  EXPECT_EQ(state().filter_text[7], "4601234567890");

  EXPECT_EQ(link().SyncDateTime(), 0);
  // No flush of its own: on v3 the date leaves with the next command or flush.
  EXPECT_EQ(bench_.Received().size(), GetParam() == kV3 ? 1u : 2u);
  EXPECT_EQ(link().FlushSendCache(), 0);
  ASSERT_EQ(bench_.Received().size(), 2u);
  EXPECT_EQ(bench_.Received()[0], Cmd("303"));
  EXPECT_TRUE(std::regex_match(bench_.Received()[1], std::regex("\x1e(20[0-9]{2})(0[1-9]|1[0-2])[0-3][0-9][0-2][0-9][0-5][0-9][0-5][0-9]")))
      << bench_.Received()[1];
  EXPECT_TRUE(bench_.LogHas("Синхронизация даты/времени (cmd: 303)"));
}

TEST_P(LinkCommands, ParameterRefusalsComeBeforeTheKindCheck) {
  ExpectRefusal(link().SetCurrentID(9, -2), "Ошибка при команде установки ID таблицы \"служебная\" - ID должен быть больше нуля или '-1'.",
                "Установка текущего ID");
  ExpectRefusal(link().SetCurrentID(6, 1), "Таблица \"документы2\" не поддерживает операцию установки текущего ID.",
                "Установка текущего ID");
  ExpectRefusal(link().SetFilterID(9, -1), "Ошибка установки фильтра по ID в таблице \"служебная\" - ID не может быть меньше нуля.",
                "Установка фильтра по ID");
  ExpectRefusal(link().SetFilterID(7, 1), "Таблица \"товары\" не поддерживает операцию установки фильтра по ID.",
                "Установка фильтра по ID");
  ExpectRefusal(link().SetFilterText(2, ""), "Ошибка установки фильтра в таблице \"операции\" - фильтр не указан.",
                "Установка фильтра ш/к");
  ExpectRefusal(link().SetFilterText(2, "x"),
                "Таблица \"операции\" не поддерживает операцию установки фильтра по коду или ш/к.", "Установка фильтра ш/к");
  int32_t id = 5;
  ExpectRefusal(link().GetCurrentID(3, id), "Таблица \"исполнители\" не поддерживает операцию получения текущего ID.",
                "Получение текущего ID");
  EXPECT_EQ(id, 5);
  int32_t count = 5;
  ExpectRefusal(link().GetLinesCount(2, count), "Таблица \"операции\" не поддерживает операцию выгрузки.",
                "Получение параметров таблицы");
  EXPECT_EQ(count, 5);
}

TEST_P(LinkCommands, PropertyQueries) {
  state().current_id[2] = 42;
  state().current_id[5] = 7;
  int32_t id = 0;
  ExpectSuccess(link().GetCurrentID(2, id), {Cmd("880")}, "Получен текущий ID таблицы операции: ID=42");
  EXPECT_EQ(id, 42);
  ExpectSuccess(link().GetCurrentID(5, id), {Cmd("886")}, "");
  EXPECT_EQ(id, 7);

  state().lines_count = 12;
  int32_t count = 0;
  ExpectSuccess(link().GetLinesCount(1, count), {Cmd("020")},
                "[Параметры таблиц в терминале] Количество строк в таблице журнал: 12");
  EXPECT_EQ(count, 12);
  count = 99;
  ExpectSuccess(link().GetLinesCount(9, count), {}, "");
  EXPECT_EQ(count, 99);

  state().readiness = 1;
  state().readiness_text = "готов";
  int32_t ready = -1;
  std::string text;
  ExpectSuccess(link().IsReadyToCommunicate(ready, text), {Cmd("998")}, "");
  EXPECT_EQ(ready, 1);
  EXPECT_EQ(text, "готов");

  state().program_name = "Остр";
  state().program_version = "2.1.0.7";
  state().device_name = "CK3";
  state().device_id = "SN-77";
  ExpectSuccess(link().QuerySoftwareInfo(), {Cmd("--s")}, "Прошивка \"Остр\", версия \"2.1.0.7\"");
  ExpectSuccess(link().QueryHardwareInfo(), {Cmd("--h")}, "Модель \"CK3\", идентификатор \"SN-77\"");
  EXPECT_EQ(link().RemoteProgName(), "Остр");
  EXPECT_EQ(link().RemoteProgVersion(), "2.1.0.7");
  EXPECT_EQ(link().RemoteDevName(), "CK3");
  EXPECT_EQ(link().RemoteDevID(), "SN-77");
}

TEST_P(LinkCommands, AnswerFieldsAreTakenByPosition) {
  std::string answer;
  peer().Side().SetIntercept([&](const std::string& message, TerminalSide& side) {
    if (message.size() != 4 || message[0] != '\x01') return false;
    side.EmitEcho(message.substr(1));
    side.EmitRecord(answer);
    return true;
  });
  int32_t ready = -1;
  std::string text = "old";
  answer = "";
  EXPECT_EQ(link().IsReadyToCommunicate(ready, text), 0);
  EXPECT_EQ(ready, 0);
  EXPECT_EQ(text, "");
  answer = ";5;;ready;";
  EXPECT_EQ(link().IsReadyToCommunicate(ready, text), 0);
  EXPECT_EQ(ready, 5);
  EXPECT_EQ(text, "ready");

  int32_t id = 31;
  answer = "";
  EXPECT_EQ(link().GetCurrentID(2, id), 0);
  EXPECT_EQ(id, 31);  // a missing field leaves the value

  answer = "OnlyName";
  EXPECT_EQ(link().QuerySoftwareInfo(), 0);
  EXPECT_EQ(link().RemoteProgName(), "OnlyName");
  EXPECT_EQ(link().RemoteProgVersion(), "0.0.0.0");
  EXPECT_TRUE(bench_.LogHas("Прошивка \"OnlyName\", версия \"<неизвестно>\""));

  std::vector<std::string> fields;
  answer = "a;;b";
  EXPECT_EQ(link().GetPropByCmd("998", fields), 0);
  EXPECT_EQ(fields, (std::vector<std::string>{"a", "b"}));
}

TEST_P(LinkCommands, VerdictAfterUpload) {
  state().verdict = "SYNC;0";
  EXPECT_EQ(link().ActivateParsingUploadedTables(), 0);
  EXPECT_EQ(bench_.Received(), std::vector<std::string>{Cmd("003")});
  EXPECT_TRUE(bench_.LogHas("Обработка загруженных данных терминалом"));
  EXPECT_TRUE(bench_.LogHas("Обработка загруженных данных терминалом завершена"));
  bench_.ExpectDiagClear();

  state().verdict = "SYNC;-1;Нет места";
  EXPECT_EQ(link().ActivateParsingUploadedTables(), E_TERMINAL_PROCESSING);
  bench_.ExpectDiag(E_TERMINAL_PROCESSING, "Ошибка при обработке данных терминалом - \"SYNC;-1;Нет места\".",
                    "Обработка данных терминалом");
  EXPECT_TRUE(bench_.LogHas("Ошибка в терминале - SYNC;-1;Нет места"));

  state().verdict = "SYNC;0;текст ошибки";
  EXPECT_EQ(link().ActivateParsingUploadedTables(), E_TERMINAL_PROCESSING);

  state().verdict = "DONE;0";
  EXPECT_EQ(link().ActivateParsingUploadedTables(), E_TERMINAL_PROCESSING);
  bench_.ExpectDiag(E_TERMINAL_PROCESSING, "Неправильный ответ терминала, ожидали SYNC, а получили \"DONE;0\".",
                    "Обработка данных терминалом");

  // Empty records before the verdict are waited through.
  peer().Side().SetIntercept([](const std::string& message, TerminalSide& side) {
    if (message != Cmd("003")) return false;
    side.EmitEcho("003");
    side.EmitRecord("");
    side.EmitRecord("");
    side.EmitRecord("SYNC;3");
    return true;
  });
  EXPECT_EQ(link().ActivateParsingUploadedTables(), 0);
}

// Every command operation on a terminal that stopped answering: its own text, " - ", then exactly
// the last message of the step that failed; the code is the step's.
TEST_P(LinkCommands, FailureTextsEndWithTheLastMessage) {
  peer().SetSilent(true);
  struct Case {
    std::function<int32_t(TerminalLink&)> run;
    std::string text;
    std::string context;
  };
  int32_t n = 0;
  std::string s;
  const std::vector<Case> cases = {
      {[](TerminalLink& l) { return l.SyncDateTime(); }, "Ошибка установки даты/времени на терминале", "Подключение"},
      {[&](TerminalLink& l) { return l.IsReadyToCommunicate(n, s); }, "Ошибка проверки готовности терминала",
       "Проверка готовности"},
      {[](TerminalLink& l) { return l.EnableRecvMode(); }, "Ошибка при включении режима выгрузки", "Подготовка к выгрузке"},
      {[](TerminalLink& l) { return l.ResetAllFilters(); }, "Ошибка при сбросе фильтров", "Настройка Фильтров"},
      {[&](TerminalLink& l) { return l.GetLinesCount(0, n); }, "Ошибка запроса количества строк в таблице \"журнал\"",
       "Получение параметров таблицы"},
      {[](TerminalLink& l) { return l.StartDownload(9); }, "Ошибка при запросе данных таблицы \"служебная\"",
       "Выгрузка таблицы"},
      {[](TerminalLink& l) { return l.ClearTable(1); }, "Ошибка при запросе очистки данных таблицы \"журнал\"",
       "Очистка таблицы"},
      {[](TerminalLink& l) { return l.SetCurrentID(3, 1); }, "Ошибка при команде установки ID таблицы \"исполнители\"",
       "Установка текущего ID"},
      {[&](TerminalLink& l) { return l.GetCurrentID(5, n); }, "Ошибка запроса текущего ID таблицы \"документы\"",
       "Получение текущего ID"},
      {[](TerminalLink& l) { return l.ActivateUploadingTables(); }, "Ошибка при включении режима загрузки таблиц",
       "Включение режима загрузки"},
      {[](TerminalLink& l) { return l.StartUploading(8); }, "Ошибка при команде загрузки таблицы \"товары2\"",
       "Загрузка таблицы"},
      {[](TerminalLink& l) { return l.ActivateParsingUploadedTables(); },
       "Ошибка при включении режима обработки загруженных таблиц", "Обработка данных терминалом"},
      {[](TerminalLink& l) { return l.SetFilterID(4, 1); }, "Ошибка установки фильтра по ID в таблице \"адреса\"",
       "Установка фильтра по ID"},
      {[](TerminalLink& l) { return l.SetFilterText(7, "1"); }, "Ошибка установки фильтра ш/к в таблице \"товары\"",
       "Установка фильтра ш/к"},
      {[](TerminalLink& l) { return l.CloseAllForms(); }, "Ошибка при команде \"закрыть все окна\"",
       "Переход в главную форму"},
      {[](TerminalLink& l) { return l.Reboot(); }, "Ошибка при команде \"перезагрузка терминала\"",
       "Перезагрузка терминала"},
      {[](TerminalLink& l) { return l.QuerySoftwareInfo(); }, "Ошибка запроса версии программы в терминале", "Подключение"},
      {[](TerminalLink& l) { return l.QueryHardwareInfo(); }, "Ошибка запроса серийного номера терминала", "Подключение"},
  };
  const std::string expected_last = GetParam() == kV3
                                        ? "Ошибка при отправке команды, протокол v3 (Код: -1, описание: превышен таймаут)"
                                        : "Ошибка при отправке команды, протокол v2 (Код: -1, описание: превышен таймаут)";
  for (const Case& c : cases) {
    link().SetLastMessage("stale", 0);
    const int32_t r = c.run(link());
    EXPECT_EQ(r, E_EXCHANGE) << c.text;
    EXPECT_EQ(link().LastMessage(), expected_last);
    bench_.ExpectDiag(E_EXCHANGE, c.text + " - " + expected_last, c.context);
  }
}

TEST_P(LinkCommands, ParameterAndFlushFailures) {
  // v2 acknowledges each record on its own: losing the terminal after the command fails the
  // parameter. v3 caches the record: the loss shows at the flush.
  const bool v3 = GetParam() == kV3;
  peer().Side().SetIntercept([&](const std::string& message, TerminalSide&) {
    if (message == (v3 ? Cmd("881") : Rec("5"))) peer().SetSilent(true);
    return false;
  });
  EXPECT_EQ(link().SetCurrentID(2, 5), E_EXCHANGE);
  const DiagRecord d = link().GetDiag();
  EXPECT_EQ(d.context, "Установка текущего ID");
  if (v3) {
    EXPECT_EQ(link().LastMessage(), "Ошибка при отправке кэша (-1:0): превышен таймаут");
    EXPECT_EQ(d.message, "Ошибка при завершении установки ID таблицы \"операции\" - " + link().LastMessage());
  } else {
    EXPECT_EQ(d.message, "Ошибка при отправке ID таблицы \"операции\" - " + link().LastMessage());
    EXPECT_EQ(link().LastMessage(), "Ошибка при отправке данных, протокол v2 (Код: -1, описание: превышен таймаут)");
  }
}

// A terminal that answers twice, or answers a query after the PC stopped reading: the next
// exchange takes its own answer, not the one left over. A wrong answer alone still fails.
TEST_P(LinkCommands, AnAnswerLeftOverIsNotTakenForTheNext) {
  std::string beep_echo = "004";
  peer().Side().SetIntercept([&](const std::string& message, TerminalSide& side) {
    if (message == Cmd("004")) {
      side.EmitEcho(beep_echo);
      if (beep_echo == "004") side.EmitEcho("004");
      return true;
    }
    if (message == Cmd("777")) {
      side.EmitEcho("777");
      side.EmitRecord("a;b");
      side.EmitRecord("late");
      return true;
    }
    return false;
  });
  std::vector<std::string> fields;
  int32_t ready = 0;
  std::string text;
  EXPECT_EQ(link().MakeBeep(), 0);
  EXPECT_EQ(link().ResetAllFilters(), 0) << link().GetDiag().message;
  EXPECT_EQ(link().MakeBeep(), 0);
  EXPECT_EQ(link().IsTerminalOnline(1000), 0) << link().GetDiag().message;
  EXPECT_EQ(link().GetPropByCmd("777", fields), 0);
  EXPECT_EQ(fields, (std::vector<std::string>{"a", "b"}));
  state().readiness = 1;
  EXPECT_EQ(link().IsReadyToCommunicate(ready, text), 0) << link().GetDiag().message;
  EXPECT_EQ(ready, 1);

  // The echo of a command sent before is waited past; with nothing after it, it is the answer.
  for (const char* wrong : {"40R", "005"}) {
    beep_echo = wrong;
    const uint32_t before = bench_.Clock().Now();
    EXPECT_EQ(link().MakeBeep(), E_EXCHANGE);
    EXPECT_EQ(link().LastMessage(), "Неверный формат ответа на команду");
    EXPECT_EQ(bench_.Clock().Now() - before >= kLinkExchangeTimeoutMs, beep_echo == "40R") << wrong;
  }

  // A message that cannot be an answer (empty, or longer than one) is passed over too; alone, it
  // fails its command, and is taken whole so that the next command is answered.
  for (const std::string& odd : {std::string(), std::string(9000, 'z')}) {
    for (const bool echo : {true, false}) {
      peer().Side().SetIntercept([&](const std::string& message, TerminalSide& side) {
        if (message != Cmd("004")) return false;
        side.Emit(odd);
        if (echo) side.EmitEcho("004");
        return true;
      });
      EXPECT_EQ(link().MakeBeep(), echo ? 0 : E_EXCHANGE) << odd.size() << link().LastMessage();
      peer().Side().SetIntercept(nullptr);
      EXPECT_EQ(link().MakeBeep(), 0) << odd.size() << link().LastMessage();
    }
  }
  uint8_t row[8];
  int32_t received = 0;
  EXPECT_EQ(link().TryToRecv(row, sizeof row, received), E_EXCHANGE) << "nothing is left to read";
}

INSTANTIATE_TEST_SUITE_P(Protocols, LinkCommands, ::testing::Values(kV2, kV3), ProtocolName);

}  // namespace
}  // namespace korvane::test
