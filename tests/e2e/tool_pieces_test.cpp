// The pieces of the two tools that need no terminal: CSV streaming, argument parsing, charset
// conversion, the simulator's line faults and journal.
#include <gtest/gtest.h>

#include <clocale>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>

#include "cli_args.h"
#include "csv_stream.h"
#include "frame/frame_layout.h"
#include "line_filter.h"
#include "progress.h"
#include "sim_journal.h"
#include "sim_options.h"
#include "support/temp_dir.h"
#include "text_charset.h"

namespace korvane {
namespace {

using tools::CsvFileSink;
using tools::CsvFileSource;

std::string ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream f(path, std::ios::binary);
  f << bytes;
}

std::vector<std::string> AllRows(CsvFileSource& source) {
  std::vector<std::string> rows;
  std::string row;
  while (source.Next(row) == RowSource::Fetch::kRow) rows.push_back(row);
  return rows;
}

std::string Utf8(const char8_t* s) { return reinterpret_cast<const char*>(s); }

TEST(CsvStream, ReadsRowsAsTheLinkDoes) {
  test::TempDir dir;
  const std::string path = dir.Path() + "/t.csv";
  CsvFileSource source;

  WriteFile(path, "a;1\r\nb;2\ncd\n\r\nlast");
  ASSERT_TRUE(source.Open(path));
  EXPECT_EQ(AllRows(source), (std::vector<std::string>{"a;1", "b;2", "cd", "", "last"}));
  EXPECT_EQ(source.CountRows(), 5u);
  // Counting leaves the position at the start.
  std::string row;
  ASSERT_EQ(source.Next(row), RowSource::Fetch::kRow);
  EXPECT_EQ(row, "a;1");
  EXPECT_TRUE(source.Skip(3));
  ASSERT_EQ(source.Next(row), RowSource::Fetch::kRow);
  EXPECT_EQ(row, "last");
  EXPECT_FALSE(source.Skip(1));

  // Lines that cannot be taken as they stand are refused with their number, never split or joined.
  tools::TextConverter to_1251("UTF-8", "CP1251");
  const std::string cr = "a CR without LF after it (lines must end in LF or CR LF)";
  const std::string no_convert = "does not convert from UTF-8 to CP1251 (--csv-convert=replace writes '?' for what "
                                 "does not)";
  struct Case {
    std::string bytes;
    const tools::TextConverter* convert;
    tools::Unconvertible unconvertible;
    std::vector<std::string> rows;  // those before the refused one
    std::string problem;            // empty: every row is taken
  };
  const std::string long_line(40000, 'x');
  const std::vector<Case> cases = {
      {long_line + "\r\nend", nullptr, tools::Unconvertible::kRefuse, {long_line, "end"}, ""},
      {"a\rb\rc\r", nullptr, tools::Unconvertible::kRefuse, {}, "row 1: " + cr},
      {"a\r\nc\rd\r\n", nullptr, tools::Unconvertible::kRefuse, {"a"}, "row 2: " + cr},
      {"a\nlast\r", nullptr, tools::Unconvertible::kRefuse, {"a"}, "row 2: " + cr},
      {"a\n" + std::string(tools::kCsvMaxLine + 1, 'y') + "\nb\n",
       nullptr,
       tools::Unconvertible::kRefuse,
       {"a"},
       "row 2: longer than 1048576 bytes"},
      {Utf8(u8"Ёлка\nи 漢 ель\n"), &to_1251, tools::Unconvertible::kRefuse, {"Ёлка"}, "row 2: " + no_convert},
      {"\xC0\xE1\xE2\r\n", &to_1251, tools::Unconvertible::kRefuse, {}, "row 1: " + no_convert},
      {Utf8(u8"Ёлка\nи 漢 ель\n"), &to_1251, tools::Unconvertible::kReplace, {"Ёлка", "и ? ель"}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.problem);
    WriteFile(path, c.bytes);
    ASSERT_TRUE(source.Open(path, c.convert, c.unconvertible));
    source.SetCharsetNames("UTF-8", "CP1251");
    std::vector<std::string> rows;
    RowSource::Fetch fetch;
    while ((fetch = source.Next(row)) == RowSource::Fetch::kRow) rows.push_back(row);
    EXPECT_EQ(rows, c.rows);
    EXPECT_EQ(fetch, c.problem.empty() ? RowSource::Fetch::kEnd : RowSource::Fetch::kNotText);
    EXPECT_EQ(source.Problem(), c.problem);
    EXPECT_EQ(source.BadRow(), c.problem.empty() ? 0u : c.rows.size() + 1);
  }

  WriteFile(path, "");
  ASSERT_TRUE(source.Open(path));
  EXPECT_EQ(source.CountRows(), 0u);
  EXPECT_FALSE(source.Open(dir.Path() + "/missing.csv"));
}

TEST(CsvStream, WritesEachRowAsItArrivesAndConvertsOnlyWhenAsked) {
  test::TempDir dir;
  const std::string path = dir.Path() + "/out.csv";
  {
    CsvFileSink sink;
    ASSERT_TRUE(sink.Open(path));
    sink.Append("Молоко;1");
    sink.Append("");
    sink.Append(std::string("a\0b", 3));
    EXPECT_EQ(sink.Rows(), 3u);
    EXPECT_TRUE(sink.Commit());
  }
  EXPECT_EQ(ReadFile(path), std::string("Молоко;1\r\n\r\na\0b\r\n", 17));

  tools::TextConverter to_utf8("CP1251", "UTF-8");
  CsvFileSink sink;
  ASSERT_TRUE(sink.Open(path, &to_utf8));
  sink.Append("Молоко");
  sink.Clear();  // a download that starts over leaves no old rows behind
  sink.Append("Хлеб");
  EXPECT_TRUE(sink.Commit());
  EXPECT_EQ(ReadFile(path), Utf8(u8"Хлеб") + "\r\n");
  EXPECT_FALSE(sink.Open(dir.Path() + "/no/such/folder/x.csv"));
}

TEST(CliArgs, OptionsSubcommandAndArguments) {
  std::string error;
  auto o = tools::ParseCommandLine({"set-id", "--port=LAN:127.0.0.1:5", "operations", "-1", "--quiet"}, nullptr, error);
  ASSERT_TRUE(o) << error;
  EXPECT_EQ(o->command, "set-id");
  EXPECT_EQ(o->port, "LAN:127.0.0.1:5");
  EXPECT_EQ(o->args, (std::vector<std::string>{"operations", "-1"}));
  EXPECT_TRUE(o->quiet);

  o = tools::ParseCommandLine({"filter-text", "goods", "--", "--odd text"}, "/dev/ttyS3", error);
  ASSERT_TRUE(o) << error;
  EXPECT_EQ(o->port, "/dev/ttyS3");
  EXPECT_EQ(o->args[1], "--odd text");

  o = tools::ParseCommandLine({"send", "goods", "g.csv", "2", "o.csv", "--oper-id", "57"}, "p", error);
  ASSERT_TRUE(o) << error;
  EXPECT_EQ(o->operation_id.value_or(0), 57);

  struct Bad {
    std::vector<std::string> argv;
    const char* env;
    const char* error;
  };
  for (const Bad& b : std::vector<Bad>{
           {{"beep"}, nullptr, "no port: give --port NAME or set KORVANE_PORT"},
           {{}, "p", "no subcommand given"},
           {{"frobnicate"}, "p", "unknown subcommand 'frobnicate'"},
           {{"recv"}, "p", "usage: korvane recv KIND [-o FILE]"},
           {{"send", "goods", "a.csv", "goods"}, "p", "send takes pairs of KIND FILE"},
           {{"send", "goods", "a.csv", "--oper-id", "x"}, "p", "--oper-id needs a whole number of 0 or more, not 'x'"},
           {{"send", "goods", "a.csv", "--oper-id", "-5"},
            "p",
            "--oper-id needs a whole number of 0 or more, not '-5'"},
           {{"beep", "-o", "f"}, "p", "-o belongs to recv and collect"},
           {{"collect", "journal"}, nullptr, "collect needs -o DIR, the folder for the files"},
           {{"collect", "journal", "-o", "d", "--log", "l"}, nullptr, "--log takes one link's log; collect keeps none"},
           {{"info", "--port"}, nullptr, "option --port needs a value"},
           {{"info", "--bogus"}, "p", "unknown option --bogus"},
           {{"info", "--watch"}, "p", "--watch belongs to ports"},
           {{"ports", "--timeout", "2"}, nullptr, "--timeout belongs to ports --watch"},
           {{"ports", "--watch", "--timeout", "-1"}, nullptr, "--timeout needs a whole number of seconds, not '-1'"},
           {{"info", "--json"}, "p", "--json belongs to doctor"},
           {{"doctor", "x"}, nullptr, "usage: korvane doctor [--port NAME ...] [--irda NAME ...] [--json] [--quick]"},
           {{"info", "--irda", "/dev/ttyS0"}, "p", "--irda belongs to doctor"},
           {{"--trace"}, nullptr, "option --trace needs a value"},
       }) {
    EXPECT_FALSE(tools::ParseCommandLine(b.argv, b.env, error));
    EXPECT_EQ(error, b.error);
  }
  // ports and help need no port.
  EXPECT_TRUE(tools::ParseCommandLine({"ports"}, nullptr, error));
  o = tools::ParseCommandLine({"ports", "--watch", "--timeout=2"}, nullptr, error);
  ASSERT_TRUE(o) << error;
  EXPECT_TRUE(o->watch);
  EXPECT_EQ(o->watch_seconds, 2);
  EXPECT_TRUE(tools::ParseCommandLine({"--help"}, nullptr, error));
  // doctor keeps every --port given, in order; the environment's port it adds itself.
  o = tools::ParseCommandLine({"--port", "a", "doctor", "--port=LAN:h:1", "--json", "--quick"}, "env", error);
  ASSERT_TRUE(o) << error;
  EXPECT_EQ(o->ports, (std::vector<std::string>{"a", "LAN:h:1"}));
  EXPECT_TRUE(o->json && o->quick);
}

TEST(CliArgs, KindsNumbersAndExitStatus) {
  EXPECT_EQ(tools::ParseTableKind("0"), 0);
  EXPECT_EQ(tools::ParseTableKind("9"), 9);
  EXPECT_EQ(tools::ParseTableKind("Goods2"), 8);
  EXPECT_EQ(tools::ParseTableKind("documents2"), 6);
  EXPECT_EQ(tools::ParseTableKind("10"), -1);
  EXPECT_EQ(tools::ParseTableKind(""), -1);
  EXPECT_EQ(tools::ParseInt32("-2147483648").value_or(0), INT32_MIN);
  EXPECT_FALSE(tools::ParseInt32("2147483648"));
  EXPECT_FALSE(tools::ParseInt32("12x"));
  EXPECT_FALSE(tools::ParseInt32(" 1"));
  EXPECT_EQ(tools::ExitStatusFor(S_CONNECTED), 0);
  EXPECT_EQ(tools::ExitStatusFor(E_PORT_OPEN), 4);
  EXPECT_EQ(tools::ExitStatusFor(E_NO_PORT), 8);
  EXPECT_EQ(tools::ExitStatusFor(E_TERMINAL_PROCESSING), 104);
  EXPECT_EQ(tools::ExitStatusFor(-50), tools::kExitFailure);
  EXPECT_EQ(tools::ExitStatusFor(-2), tools::kExitFailure);
}

TEST(Progress, LineShowsDoneTotalRateAndElapsed) {
  EXPECT_EQ(tools::ProgressBar::Line("recv journal", 50, 200, 2.0),
            "recv journal [######..................] 50/200 rows  25 rows/s  0:02");
  EXPECT_EQ(tools::ProgressBar::Line("recv service", 7, 0, 61.5), "recv service 7 rows  0 rows/s  1:01");
}

std::vector<uint8_t> Frame(uint16_t number, uint16_t body) {
  std::vector<uint8_t> f(kFrameHeaderSize + body, 0x55);  // a body full of marker-like bytes
  FinishFrame(f.data(), number, static_cast<uint16_t>(f.size()), kCtlData);
  return f;
}

TEST(LineFaults, SilenceKeepsTheFirstFramesWhateverThePieces) {
  std::vector<uint8_t> stream;
  for (uint16_t n = 1; n <= 4; ++n) {
    auto f = Frame(n, n * 7);
    stream.insert(stream.end(), f.begin(), f.end());
  }
  const auto two = Frame(1, 7).size() + Frame(2, 14).size();
  for (size_t piece : {1u, 3u, 5u, 64u}) {
    sim::FrameCounter counter(2);
    std::vector<uint8_t> out;
    for (size_t off = 0; off < stream.size(); off += piece) {
      std::vector<uint8_t> part(stream.begin() + off, stream.begin() + std::min(stream.size(), off + piece));
      counter.Filter(part);
      out.insert(out.end(), part.begin(), part.end());
    }
    EXPECT_EQ(counter.Frames(), 4u) << piece;
    EXPECT_EQ(out, std::vector<uint8_t>(stream.begin(), stream.begin() + two)) << piece;
  }
  sim::FrameCounter none(0);
  std::vector<uint8_t> junk = {1, 2, 3};
  none.Filter(junk);
  EXPECT_EQ(junk, (std::vector<uint8_t>{1, 2, 3}));  // bytes outside frames pass
}

TEST(LineFaults, DropAndCorruptionAreSeededAndNearTheirRate) {
  sim::LineFaults f;
  f.drop = 0.001;
  f.corrupt = 0.001;
  f.seed = 42;
  const auto t0 = sim::FaultChannel::Clock::now();
  std::vector<uint8_t> data(1000000, 0xA5);
  auto run = [&](uint64_t seed) {
    sim::FaultChannel ch(f, seed, t0);
    std::deque<sim::FaultChannel::Piece> out;
    ch.Pass(data.data(), data.size(), t0, out);
    EXPECT_EQ(out.size(), 1u);
    EXPECT_NEAR(static_cast<double>(ch.Dropped()), 1000.0, 150.0);
    EXPECT_NEAR(static_cast<double>(ch.Corrupted()), 1000.0, 150.0);
    const auto& bytes = out.front().bytes;
    EXPECT_EQ(bytes.size(), data.size() - ch.Dropped());
    EXPECT_EQ(static_cast<uint64_t>(std::count_if(bytes.begin(), bytes.end(), [](uint8_t b) { return b != 0xA5; })),
              ch.Corrupted());
    return bytes;
  };
  EXPECT_EQ(run(42), run(42));
  EXPECT_NE(run(42), run(43));
}

TEST(LineFaults, PacingLatencyAndOutage) {
  using namespace std::chrono;
  sim::LineFaults f;
  f.baud = 115200;  // 11520 bytes a second at 10 bits a byte
  f.latency_ms = 20;
  const auto t0 = sim::FaultChannel::Clock::now();
  sim::FaultChannel ch(f, 1, t0);
  std::vector<uint8_t> second(11520, 1);
  std::deque<sim::FaultChannel::Piece> out;
  ch.Pass(second.data(), second.size(), t0, out);
  ASSERT_FALSE(out.empty());
  EXPECT_NEAR(duration<double>(out.back().due - t0).count(), 1.020, 0.001);
  EXPECT_NEAR(duration<double>(out.front().due - t0).count(), 16.0 / 11520 + 0.020, 0.001);
  // Bytes written while the line is busy queue behind the earlier ones.
  out.clear();
  ch.Pass(second.data(), 1, t0 + milliseconds(500), out);
  EXPECT_NEAR(duration<double>(out.back().due - t0).count(), 1.020 + 1.0 / 11520, 0.001);

  sim::LineFaults dead;
  dead.outage_at_ms = 100;
  dead.outage_len_ms = 50;
  sim::FaultChannel d(dead, 1, t0);
  out.clear();
  d.Pass(second.data(), 10, t0 + milliseconds(99), out);
  d.Pass(second.data(), 10, t0 + milliseconds(100), out);
  d.Pass(second.data(), 10, t0 + milliseconds(149), out);
  d.Pass(second.data(), 10, t0 + milliseconds(150), out);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(d.Dropped(), 20u);
}

TEST(SimOptions, ParsesStateFaultsAndRefusesContradictions) {
  std::string error;
  auto o = sim::ParseSimOptions({"--listen", "127.0.0.1:0", "--protocol", "v2x", "--ready", "3:Идёт работа", "--outage",
                                 "1500:2000", "--nak=4", "--corrupt", "0.001", "--job", "0"},
                                error);
  ASSERT_TRUE(o) << error;
  EXPECT_EQ(sim::SynVersion(o->protocol), kProtocolV2Large);
  EXPECT_EQ(o->ready_state.value_or(0), 3);
  EXPECT_EQ(o->ready_text.value_or(""), "Идёт работа");
  EXPECT_EQ(o->faults.outage_at_ms, 1500);
  EXPECT_EQ(o->faults.outage_len_ms, 2000u);
  EXPECT_EQ(o->nak_code, 4);
  EXPECT_EQ(o->job.value_or(-1), 0);
  EXPECT_TRUE(o->faults.Active());

  for (const auto& argv : std::vector<std::vector<std::string>>{
           {"--protocol", "v3"},
           {"--listen", "127.0.0.1:0", "--pty"},
           {"--listen", "127.0.0.1:0", "--nak", "1"},
           {"--listen", "127.0.0.1:0", "--protocol", "v2", "--nak", "7"},
           {"--listen", "127.0.0.1:0", "--drop", "1.5"},
           {"--listen", "127.0.0.1:0", "--outage", "100"},
           {"--listen", "127.0.0.1:0", "--link", "x"},
           {"--pty", "--serial", "/dev/ttyS0"},
           {"--connect-back", "value.bin", "--listen", "127.0.0.1:0"},
           {"--device", "МЕ-300;SN 0042"},  // the identity moved to --model
       }) {
    EXPECT_FALSE(sim::ParseSimOptions(argv, error)) << argv.back();
    EXPECT_FALSE(error.empty());
  }
}

// The row-count query names no table: journals that disagree are named at start, with the one whose
// download would fail.
TEST(SimOptions, JournalsOfDifferentLengthAreReported) {
  EXPECT_EQ(sim::JournalCountWarning(5, 5), "");
  EXPECT_EQ(sim::JournalCountWarning(0, 0), "");
  EXPECT_EQ(sim::JournalCountWarning(5, 2),
            "journal has 5 rows and journal2 2: the row-count query names no table and is answered with 5, so a "
            "download of journal2 fails its count check");
  EXPECT_EQ(sim::JournalCountWarning(0, 3),
            "journal has 0 rows and journal2 3: the row-count query names no table and is answered with 3, so a "
            "download of journal fails its count check");
}

TEST(SimJournal, TellsParametersFromRowsAndEscapesControlBytes) {
  test::TempDir dir;
  const std::string path = dir.Path() + "/journal.txt";
  {
    sim::SimJournal j;
    ASSERT_TRUE(j.Open(path));
    j.Session(1);
    auto cmd = [&](const std::string& code) { j.OnMessage(std::string(1, static_cast<char>(kSOH)) + code); };
    auto rec = [&](const std::string& text) { j.OnMessage(std::string(1, static_cast<char>(kRS)) + text); };
    cmd("881");
    rec("57");
    cmd("151");
    rec("row 1");
    rec("row 2");
    rec(std::string(1, static_cast<char>(kEOT)));
    rec("a\tb\\");
    cmd("121");
    rec("cut");
    cmd("004");
  }
  EXPECT_EQ(ReadFile(path),
            "SESSION 1\nCMD 881\nPARAM 881 57\nCMD 151\nUPLOAD goods 2\nREC a\\x09b\\x5C\nCMD 121\nCMD 004\n"
            "UPLOAD-CUT performers 1\n");
}

}  // namespace
}  // namespace korvane
