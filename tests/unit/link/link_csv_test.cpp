// CSV files: one row per line, CR LF written, CR and LF dropped on reading, pieces of 32767 bytes.
#include <gtest/gtest.h>

#include "link/link_protocol.h"
#include "link_test_util.h"

namespace korvane::test {
namespace {

using Rows = std::vector<std::string>;

class LinkCsv : public ::testing::Test {
 protected:
  LinkCsv() : bench_(kV2) {}
  TerminalLink& link() { return bench_.Link(); }
  std::string File(const std::string& name) { return bench_.Dir().File(name); }
  Rows Read(const std::string& path) {
    StringRowList rows({"stale"});
    EXPECT_EQ(link().ReadCSV(path, rows), 0) << link().GetDiag().message;
    return rows.Rows();
  }
  LinkBench bench_;
};

TEST_F(LinkCsv, SaveWritesRowsWithCrLfAndAppends) {
  const std::string path = File("t.csv");
  StringRowList rows({"a;1", "b;2"});
  EXPECT_EQ(link().SaveCSV(path, rows, false), 0);
  EXPECT_EQ(ReadFileBytes(path), "a;1\r\nb;2\r\n");
  EXPECT_EQ(link().SaveCSV(path, rows, true), 0);
  EXPECT_EQ(ReadFileBytes(path), "a;1\r\nb;2\r\na;1\r\nb;2\r\n");
  EXPECT_EQ(link().SaveCSV(path, rows, false), 0);
  EXPECT_EQ(ReadFileBytes(path).size(), 10u);
  bench_.ExpectDiagClear();
}

TEST_F(LinkCsv, RoundTripKeepsBytes) {
  const std::string path = File("r.csv");
  const Rows rows{"Молоко;1;45,50", "", "x\ty", std::string("nul\0inside", 10), std::string(5000, 'z')};
  StringRowList source(rows);
  ASSERT_EQ(link().SaveCSV(path, source, false), 0);
  EXPECT_EQ(Read(path), rows);
}

TEST_F(LinkCsv, ReadingLineEnds) {
  const std::string path = File("l.csv");
  WriteFileBytes(path, "a\nb\r\nc");
  EXPECT_EQ(Read(path), (Rows{"a", "b", "c"}));
  WriteFileBytes(path, "a\nb\n");
  EXPECT_EQ(Read(path), (Rows{"a", "b"}));
  WriteFileBytes(path, "\r\n\r\nq\rr\n");
  EXPECT_EQ(Read(path), (Rows{"", "", "qr"}));
  WriteFileBytes(path, "");
  EXPECT_EQ(Read(path), Rows{});
}

TEST_F(LinkCsv, LongLinesComeInPiecesOf32767Bytes) {
  const std::string path = File("long.csv");
  std::string line;
  for (int i = 0; i < 40000; ++i) line += static_cast<char>('a' + i % 26);
  WriteFileBytes(path, line + "\r\nnext\r\n");
  const Rows rows = Read(path);
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0], line.substr(0, 32767));
  EXPECT_EQ(rows[1], line.substr(32767));
  EXPECT_EQ(rows[2], "next");
}

TEST_F(LinkCsv, MissingFileAndUnwritablePath) {
  const std::string missing = File("none.csv");
  StringRowList rows({"stale"});
  EXPECT_EQ(link().ReadCSV(missing, rows), E_BAD_REQUEST);
  bench_.ExpectDiag(E_BAD_REQUEST, "Файл \"" + missing + "\" не найден", "Чтение из CSV-файла");
  EXPECT_TRUE(rows.Rows().empty());

  const std::string bad = File("no-such-folder") + "/x.csv";
  EXPECT_EQ(link().SaveCSV(bad, rows, false), E_BAD_REQUEST);
  bench_.ExpectDiag(E_BAD_REQUEST, "Ошибка открытия файла \"" + bad + "\" для записи", "Сохранение в CSV-файл");

  // A folder opens but does not read.
  EXPECT_EQ(link().ReadCSV(bench_.Dir().Path(), rows), E_BAD_REQUEST);
  EXPECT_EQ(link().GetDiag().message.rfind("Ошибка открытия файла \"" + bench_.Dir().Path() + "\" для чтения (код ошибки ", 0), 0u);
}

TEST_F(LinkCsv, NonTextRowStopsTheSaveAndKeepsEarlierRows) {
  class ThirdIsNotText final : public RowSource {
   public:
    void Reset() override { pos_ = 0; }
    bool Skip(uint32_t n) override {
      pos_ += n;
      return pos_ <= 4;
    }
    Fetch Next(std::string& row) override {
      if (pos_ >= 4) return Fetch::kEnd;
      row = "row" + std::to_string(pos_);
      return pos_++ == 2 ? Fetch::kNotText : Fetch::kRow;
    }

   private:
    uint32_t pos_ = 0;
  } source;
  const std::string path = File("n.csv");
  EXPECT_EQ(link().SaveCSV(path, source, false), E_BAD_REQUEST);
  bench_.ExpectDiag(E_BAD_REQUEST, "Некорректный тип строки №2, должен быть BSTR.", "Сохранение в CSV-файл");
  EXPECT_EQ(ReadFileBytes(path), "row0\r\nrow1\r\n");
}

// A sink that keeps nothing: the rows go on as they come.
class CountingSink final : public RowSink {
 public:
  void Clear() override { count = 0; }
  void Append(std::string_view row) override {
    ++count;
    bytes += row.size();
  }
  size_t count = 0;
  size_t bytes = 0;
};

TEST_F(LinkCsv, ReadStreamsIntoASink) {
  const std::string path = File("s.csv");
  std::string content;
  for (int i = 0; i < 1000; ++i) content += "row;" + std::to_string(i) + "\r\n";
  WriteFileBytes(path, content);
  CountingSink sink;
  EXPECT_EQ(link().ReadCSV(path, sink), 0);
  EXPECT_EQ(sink.count, 1000u);
}

}  // namespace
}  // namespace korvane::test
