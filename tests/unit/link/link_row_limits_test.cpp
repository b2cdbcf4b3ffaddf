// Rows the wire cannot carry: refused whole before anything is sent, or failing the download that
// brings them, on every protocol; rows at the limit go through.
#include <gtest/gtest.h>

#include "link/link_protocol.h"
#include "link/record_channel.h"
#include "link_test_util.h"

namespace korvane::test {
namespace {

constexpr uint16_t kV2Large = 0x0201;

std::string LimitsName(const ::testing::TestParamInfo<uint16_t>& info) {
  return info.param == kV3 ? "v3" : info.param == kV2Large ? "v2x" : "v2";
}

class LinkRowLimits : public LinkTest {
 protected:
  uint32_t UploadLimit() const { return GetParam() == kV3 ? RecordChannel::kMaxWirePayload - 1 : kV2MaxRecordData; }
  std::string V() const { return GetParam() == kV3 ? "3" : "2"; }
};

TEST_P(LinkRowLimits, UploadsRefuseWhatCannotGoWhole) {
  bench_.Online();
  const uint32_t limit = UploadLimit();
  const std::string longest(limit, 'L');
  const std::string too_long(limit + 1, 'X');

  // The raw send: refused with its length, nothing on the wire; the longest row goes whole.
  EXPECT_EQ(link().TryToSend(too_long), E_BAD_REQUEST);
  EXPECT_EQ(link().LastMessage(), "Строка длиной " + std::to_string(limit + 1) +
                                      " байт не может быть передана по "
                                      "протоколу v" +
                                      V() + ": допустимо не более " + std::to_string(limit) + " байт");
  EXPECT_EQ(link().TryToSend(reinterpret_cast<const uint8_t*>(too_long.data()), 0xFFFFFFFFu), E_BAD_REQUEST);
  EXPECT_EQ(link().FlushSendCache(), 0);
  EXPECT_TRUE(bench_.Received().empty());

  struct Case {
    std::vector<std::string> rows;
    std::string message;  // empty: the table goes whole
  };
  const std::string name = "Строка №2 таблицы \"товары\" ";
  const std::vector<Case> cases = {
      {{"a",
        "\x04"
        "b",
        "c"},
       name + "начинается с символа EOT (0x04), который терминал принимает за конец данных. "
              "Таблица не загружена."},
      {{"a", too_long},
       name + "длиной " + std::to_string(limit + 1) + " байт не может быть передана по протоколу v" + V() +
           ": допустимо не более " + std::to_string(limit) + " байт. Таблица не загружена."},
      {{"b\x04", longest, ""}, ""},
  };
  for (int round = 0; round < 2; ++round) {
    for (const Case& c : cases) {
      SCOPED_TRACE(c.message);
      peer().Side().ClearReceived();
      StringRowList source(c.rows);
      Events events;
      const int32_t r = link().SendTable(kTableGoods, source, &events, -1);
      if (!c.message.empty()) {
        EXPECT_EQ(r, E_BAD_REQUEST);
        bench_.ExpectDiag(E_BAD_REQUEST, c.message, "Загрузка таблицы");
        EXPECT_TRUE(bench_.Received().empty());
        EXPECT_TRUE(events.sent.empty());
        continue;
      }
      EXPECT_EQ(r, 0) << link().GetDiag().message;
      std::vector<std::string> expected{Cmd("151")};
      for (const std::string& row : c.rows) expected.push_back(Rec(row));
      expected.push_back(Rec("\x04"));
      EXPECT_EQ(bench_.Received(), expected);
    }
  }
}

TEST_P(LinkRowLimits, DownloadsFailOnARowLongerThanTheirBuffer) {
  bench_.Online();
  const std::string longest(kMaxDownloadRow, 'L');
  for (int round = 0; round < 2; ++round) {
    state().tables[kTableJournal] = {"a", longest, "c"};
    StringRowList rows;
    EXPECT_EQ(link().RecvTable(kTableJournal, rows, nullptr), 0) << link().GetDiag().message;
    EXPECT_EQ(rows.Rows(), state().tables[kTableJournal]);
  }

  state().tables[kTableJournal] = {"a", "b", std::string(kMaxDownloadRow + 1, 'X'), "d"};
  StringRowList rows;
  EXPECT_EQ(link().RecvTable(kTableJournal, rows, nullptr), E_EXCHANGE);
  bench_.ExpectDiag(E_EXCHANGE,
                    "Строка №3 таблицы \"журнал\" длиннее 8191 байт и не может быть принята - выгрузка "
                    "прервана.",
                    "Выгрузка таблицы");
  EXPECT_EQ(link().LastMessage(), "Принятая строка длиннее 8191 байт не помещается в буфер приема");
  EXPECT_EQ(rows.Rows(), (std::vector<std::string>{"a", "b"}));

  // The long row was taken whole, so the terminal has moved on to the next.
  uint8_t next[8] = {};
  int32_t received = 0;
  EXPECT_EQ(link().TryToRecv(next, sizeof next, received), 0) << link().GetDiag().message;
  EXPECT_EQ(std::string(reinterpret_cast<char*>(next), static_cast<size_t>(received)), "d");
}

INSTANTIATE_TEST_SUITE_P(Protocols, LinkRowLimits, ::testing::Values(kV2, kV2Large, kV3), LimitsName);

}  // namespace
}  // namespace korvane::test
