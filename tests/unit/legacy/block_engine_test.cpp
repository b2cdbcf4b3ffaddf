#include "legacy/block_engine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "support/memory_block_line.h"
#include "support/temp_dir.h"
#include "terminal/block_terminal.h"

namespace korvane {
namespace {

using Bytes = std::vector<uint8_t>;
using test::MemoryBlockLine;

const Bytes kAck{0x06, 0x06};
const Bytes kNak{0x15, 0x15};

// An engine over an in-memory line, with the diagnostic log and the wire dump switched on.
struct Rig {
  test::TempDir dir;
  test::ScopedLogDir log_dir{dir.Path()};
  ManualClock clock;
  MemoryBlockLine line{clock};
  ElapsedCounter counter;
  BlockEngine engine{line, clock, counter};
  Rig() {
    test::WriteFileBytes(dir.File("korvane.log"), "");
    test::WriteFileBytes(dir.File("korvdump.txt"), "");
  }
  std::string Log() const { return test::ReadFileBytes(dir.File("korvane.log")); }
  std::string Dump() const { return test::ReadFileBytes(dir.File("korvdump.txt")); }
  // The peer answers its n-th write (from 0) with answers[n]; later writes go unanswered.
  void Script(std::vector<Bytes> answers) {
    line.SetPeer([answers, n = size_t{0}](const Bytes&, MemoryBlockLine& l) mutable {
      if (n < answers.size()) l.Answer(answers[n]);
      ++n;
    });
  }
};

TEST(BlockEngine, BlocksOnTheWireByteForByte) {
  {
    Rig r;
    r.Script({kAck});
    EXPECT_EQ(r.engine.TryToSend("ABC"), 1);
    EXPECT_EQ(r.line.Writes(), (std::vector<Bytes>{{0x1E, 0x41, 0x42, 0x43, 0x17, 0xFB}}));
    // Every read waits for the first byte and returns with what is queued; writes get 2000 ms.
    const SerialTimeouts& t = r.line.TimeoutHistory().at(0);
    EXPECT_EQ(t.read_interval, kMaxDword);
    EXPECT_EQ(t.read_multiplier, kMaxDword);
    EXPECT_EQ(t.read_constant, 5000u);
    EXPECT_EQ(t.write_constant, 2000u);
  }
  {
    Rig r;
    r.Script({kAck});
    EXPECT_EQ(r.engine.TryToSend(std::string(1, '\x04')), 1);
    EXPECT_EQ(r.line.Writes().at(0), (Bytes{0x1E, 0x04, 0x17, 0x39}));
  }
  {
    Rig r;
    r.Script({{0x05, 0x33, 0x30, 0x33, 0x9B}});
    EXPECT_EQ(r.engine.SendCmd("303"), 1);
    EXPECT_EQ(r.line.Writes(), (std::vector<Bytes>{{0x01, 0x33, 0x30, 0x33, 0x97}, kAck}));
    EXPECT_EQ(r.line.Purges(), 1);  // input dropped before the ACK
  }
  {
    // An echo of another command is acknowledged and fails at once.
    Rig r;
    r.Script({{0x05, 0x33, 0x30, 0x34, 0x9C}});
    EXPECT_EQ(r.engine.SendCmd("303"), 0);
    EXPECT_EQ(r.line.Writes().size(), 2u);
    EXPECT_EQ(r.line.Writes().at(1), kAck);
  }
  {
    // What is queued before the command goes, or again before it goes after a NAK, is dropped
    // unread: a late echo of an earlier command, a row the terminal sent on our NAK.
    const Bytes echo{0x05, 0x33, 0x30, 0x33, 0x9B};
    const Bytes damaged{0x05, 0x33, 0x30, 0x33, 0x00};
    const Bytes row{0x1E, 0x33, 0x17, 0x68};
    const std::vector<std::pair<Bytes, std::vector<Bytes>>> cases = {{{0x05, 0x33, 0x30, 0x34, 0x9C}, {echo}},
                                                                     {{}, {damaged, row, echo}}};
    for (const auto& [queued, answers] : cases) {
      Rig r;
      r.line.Answer(queued);
      r.Script(answers);
      EXPECT_EQ(r.engine.SendCmd("303"), 1) << answers.size();
      EXPECT_EQ(r.line.Writes().back(), kAck) << answers.size();
    }
  }
}

TEST(BlockEngine, ReceivesBlocksAndDropsNoise) {
  Rig r;
  r.line.Answer({0x1E, 0x17, 0x35});
  char text[64] = "x";
  int32_t size = sizeof text;
  EXPECT_EQ(r.engine.TryToRecv(text, size), 1);
  EXPECT_EQ(size, 0);
  EXPECT_STREQ(text, "");
  EXPECT_EQ(r.line.Writes(), (std::vector<Bytes>{kAck}));

  r.line.Answer({0xAA, 0xBB, 0x1E, 0x41, 0x42, 0x17, 0xB8});
  size = sizeof text;
  EXPECT_EQ(r.engine.TryToRecv(text, size), 1);
  EXPECT_EQ(std::string(text), "AB");
  EXPECT_EQ(size, 2);
  EXPECT_NE(r.Dump().find("[ReadETBAnd1] Cut wrong read: : AA BB "), std::string::npos);
  EXPECT_NE(r.Log().find("[ReadETBAnd1] Cut wrong read! (korvdump.txt)"), std::string::npos);

  // A bad checksum is NAKed (the message shows the received byte first); the resent block is taken.
  r.Script({{0x1E, 0x41, 0x17, 0x76}});
  r.line.Answer({0x1E, 0x41, 0x17, 0x00});
  size = sizeof text;
  EXPECT_EQ(r.engine.TryToRecv(text, size), 1);
  EXPECT_EQ(std::string(text), "A");
  EXPECT_NE(r.Log().find("TryToRecv() Error. CRC Error. Ожидалось 00, а получили 76"), std::string::npos);
  EXPECT_EQ(r.line.Writes().back(), kAck);
  EXPECT_EQ(r.line.Writes().at(r.line.Writes().size() - 2), kNak);

  // A read held for its whole time-out still delivers the block it brought, and the echo too.
  r.line.HoldReadsForTimeout(true);
  r.line.Answer({0x1E, 0x41, 0x17, 0x76});
  size = sizeof text;
  EXPECT_EQ(r.engine.TryToRecv(text, size), 1);
  EXPECT_EQ(std::string(text), "A");
  r.Script({{0x05, 0x33, 0x30, 0x33, 0x9B}});
  EXPECT_EQ(r.engine.SendCmd("303"), 1);
}

TEST(BlockEngine, SilenceEndsEachOperationAfterOneAttempt) {
  struct Case {
    const char* name;
    std::function<int32_t(BlockEngine&)> run;
    size_t writes;
  };
  const Case cases[] = {
      {"SendCmd", [](BlockEngine& e) { return e.SendCmd("303"); }, 1},
      {"TryToSend", [](BlockEngine& e) { return e.TryToSend("ABC"); }, 1},
      {"TryToRecv",
       [](BlockEngine& e) {
         char b[16];
         int32_t s = sizeof b;
         return e.TryToRecv(b, s);
       },
       0},
  };
  for (const Case& c : cases) {
    Rig r;
    const uint32_t start = r.clock.Now();
    EXPECT_EQ(c.run(r.engine), 0) << c.name;
    EXPECT_EQ(r.clock.Now() - start, 5000u) << c.name;
    EXPECT_EQ(r.line.Writes().size(), c.writes) << c.name;  // no NAK, no retry
  }
}

TEST(BlockEngine, RetriesAndGivesUp) {
  {
    Rig r;
    r.Script({kNak, kNak, kNak, kNak});
    EXPECT_EQ(r.engine.TryToSend("ABC"), 0);
    EXPECT_EQ(r.line.Writes().size(), 3u);
    EXPECT_NE(r.Log().find("TryToSend() Error. nTry=3"), std::string::npos);
  }
  {
    Rig r;
    const Bytes bad_echo{0x05, 0x33, 0x30, 0x33, 0x00};
    r.line.SetPeer([&](const Bytes& w, MemoryBlockLine& l) {
      if (w.at(0) == 0x01) l.Answer(bad_echo);
    });
    EXPECT_EQ(r.engine.SendCmd("303"), 0);
    ASSERT_EQ(r.line.Writes().size(), 8u);
    for (size_t i = 0; i < 8; i += 2) EXPECT_EQ(r.line.Writes()[i + 1], kNak);
    EXPECT_NE(r.Log().find("SendCMD() Error. Неверный CRC"), std::string::npos);
    EXPECT_NE(r.Log().find("SendCMD() Error. nTry=4"), std::string::npos);
  }
  {
    // Line errors are NAKed and retried, five times at most.
    Rig r;
    r.line.FailReads(100, 0x0008);
    char b[16];
    int32_t s = sizeof b;
    EXPECT_EQ(r.engine.TryToRecv(b, s), 0);
    EXPECT_EQ(r.line.Writes(), std::vector<Bytes>(5, kNak));
    EXPECT_NE(r.Log().find("[ReadMore::ClearCommError] dwErrorFlag = 0x0008"), std::string::npos);
    EXPECT_NE(r.Log().find("TryToRecv() Retry > 3, Error."), std::string::npos);
  }
  {
    // A damaged first byte of an answer: the second still tells.
    Rig r;
    r.Script({{0x42, 0x15}, {0x06, 0x42}});
    EXPECT_EQ(r.engine.TryToSend("ABC"), 1);
    EXPECT_EQ(r.line.Writes().size(), 2u);
  }
  {
    Rig r;
    r.Script({{0x42, 0x42}});
    EXPECT_EQ(r.engine.TryToSend("ABC"), 0);
    EXPECT_EQ(r.line.Writes().size(), 1u);
    EXPECT_NE(r.Dump().find("WaitACK err: : 42 42 "), std::string::npos);
  }
}

// Upload to the terminal's own side. A stray byte lands before one answer and after another, and
// one row is damaged on its way so that its answer is a NAK: every row still arrives exactly once.
TEST(BlockEngine, StrayBytesAroundAnswersNeitherLoseNorRepeatARow) {
  Rig r;
  std::vector<std::string> received;
  BlockTerminal terminal([&](const uint8_t* d, size_t n) { received.emplace_back(d + 1, d + n); },
                         [](std::string&) { return false; }, r.clock);
  bool damaged = false;
  r.line.SetPeer([&](const Bytes& w, MemoryBlockLine& l) {
    const std::string text(w.begin() + 1, w.end() - 2);
    Bytes in = w;
    if (text == "r3" && !damaged) {
      in[1] ^= 0x40;
      damaged = true;
    }
    terminal.Feed(in.data(), in.size());
    terminal.Poll();
    Bytes answer = terminal.TakeOutput();
    if (text == "r2") answer.insert(answer.begin(), 0x33);
    if (text == "r4") answer.push_back(kNak[0]);
    l.Answer(answer);
  });
  const std::vector<std::string> rows = {"r1", "r2", "r3", "r4", "r5", "r6"};
  for (const std::string& row : rows) EXPECT_EQ(r.engine.TryToSend(row), 1) << row;
  EXPECT_EQ(received, rows);
  EXPECT_EQ(r.line.Writes().size(), rows.size() + 1);  // r3 once more after its NAK
}

// The terminal's side bounds its input like the PC: a buffer's worth without a block end is
// dropped whole. The block that meets the rest is refused, and taken when sent again.
TEST(BlockTerminal, FloodWithoutBlockEndStaysBounded) {
  ManualClock clock;
  std::vector<std::string> received;
  BlockTerminal terminal([&](const uint8_t* d, size_t n) { received.emplace_back(d + 1, d + n); },
                         [](std::string&) { return false; }, clock);
  Bytes flood(4096, 'a');
  for (size_t i = 0; i < flood.size(); i += 64) flood[i] = 0x1E;  // block starts, never an end
  size_t most = 0;
  for (int i = 0; i < 65; ++i) {  // 32.5 buffers: half a buffer is left
    terminal.Feed(flood.data(), flood.size());
    terminal.Poll();
    most = std::max(most, terminal.InputBytes());
  }
  EXPECT_LT(most, size_t{kBlockBufferSize});
  const Bytes block = MakeDataBlock("ok");
  for (const Bytes& answer : {kNak, kAck}) {
    terminal.Feed(block.data(), block.size());
    terminal.Poll();
    EXPECT_EQ(terminal.TakeOutput(), answer);
  }
  EXPECT_EQ(received, std::vector<std::string>{"ok"});
}

TEST(BlockEngine, RefusesWhatDoesNotFit) {
  Rig r;
  r.Script({kAck});
  EXPECT_EQ(r.engine.TryToSend(std::string(8190, 'a')), 0);
  EXPECT_EQ(r.engine.TryToSend("a\x17"
                               "b"),
            0);
  EXPECT_EQ(r.engine.SendCmd("30"), 0);
  EXPECT_TRUE(r.line.Writes().empty());
  EXPECT_EQ(r.engine.TryToSend(std::string(8189, 'a')), 1);
  EXPECT_EQ(r.line.Writes().at(0).size(), 8192u);

  // A row longer than the caller's buffer is left unacknowledged.
  r.line.SetPeer(nullptr);
  r.line.Answer(Bytes{0x1E, 'a', 'b', 'c', 0x17, static_cast<uint8_t>(0x1E + 'a' + 'b' + 'c' + 0x17)});
  char small[3];
  int32_t size = sizeof small;
  EXPECT_EQ(r.engine.TryToRecv(small, size), 0);
  EXPECT_EQ(r.line.Writes().size(), 1u);
  EXPECT_NE(r.Log().find("не помещается в буфер (3)"), std::string::npos);
}

}  // namespace
}  // namespace korvane
