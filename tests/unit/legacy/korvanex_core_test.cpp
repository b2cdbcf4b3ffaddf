#include "legacy/korvanex_core.h"

#include <gtest/gtest.h>

#include "port/link_port.h"
#include "support/temp_dir.h"
#include "support/terminal_peer.h"

namespace korvane {
namespace {

TEST(KorvaneXCore, FirstClassTakesItsVersionFromTheProfile) {
  struct Case {
    const char* stored;  // nullptr: no key
    const char* version;
    const char* written;
  };
  const Case cases[] = {
      {nullptr, "1.00", "1.00"}, {"3", "3.00", "3.00"},    {"2.5", "1.00", "2.50"},         {"2", "2.00", "2.00"},
      {"-5", "1.00", "0.00"},    {"junk", "1.00", "0.00"}, {"1e30", "3.00", "42949672.95"},
  };
  for (const Case& c : cases) {
    KorvaneXDefaultVersion() = kComportVersion100;
    MemoryProfile profile;
    if (c.stored) profile.Write("Settings", "X1ProtocolVersion", c.stored);
    KorvaneXCore x(KorvaneXCore::Flavor::kX1, profile);
    EXPECT_EQ(x.ProtocolVersion(), c.version) << (c.stored ? c.stored : "none");
    EXPECT_EQ(profile.Get("Settings", "X1ProtocolVersion"), c.written) << (c.stored ? c.stored : "none");
  }
  // The last value read is the default of the next object whose profile has none.
  KorvaneXDefaultVersion() = kComportVersion300;
  MemoryProfile empty;
  KorvaneXCore x(KorvaneXCore::Flavor::kX1, empty);
  EXPECT_EQ(x.ProtocolVersion(), "3.00");
  KorvaneXDefaultVersion() = kComportVersion100;
}

TEST(KorvaneXCore, SecondClassSelectsVersionsAndTracksEndOfData) {
  test::TempDir dir;
  test::ScopedLogDir logs(dir.Path());
  ManualClock clock;
  MemoryProfile profile;
  KorvaneXCore x(KorvaneXCore::Flavor::kX2, profile, clock);
  EXPECT_EQ(x.ProtocolVersion(), "2.00");
  EXPECT_EQ(x.SelectProtocolVersion("1.5"), "2.00");
  EXPECT_EQ(x.SelectProtocolVersion("9"), "3.00");
  EXPECT_EQ(x.SelectProtocolVersion("2"), "2.00");
  EXPECT_EQ(profile.Get("Settings", "X1ProtocolVersion"), "");

  test::TerminalPeer peer(0x0200, clock);
  x.Port().SetPortOpener(peer.Opener());
  ASSERT_EQ(x.OpenPort("PEER"), 1);
  // The first receive asks for the version, which starts the terminal's session.
  peer.Endpoint()->SetSessionStart([&] {
    peer.Side().EmitRecord("\x04");
    peer.Side().EmitRecord("row;1");
  });
  EXPECT_EQ(x.TryToRecv(), 1);
  EXPECT_EQ(x.EndOfData(), 1);
  EXPECT_EQ(x.Buffer(), "\x04");
  EXPECT_EQ(x.TryToRecv(), 5);
  EXPECT_EQ(x.EndOfData(), 0);
  EXPECT_EQ(x.Buffer(), "row;1");
  peer.SetSilent(true);
  EXPECT_EQ(x.TryToRecv(), -1);
  EXPECT_EQ(x.EndOfData(), 0);
  EXPECT_EQ(x.Buffer(), "");
}

// The end-of-data row is reported sent only when it went: finalising has nothing to do after a row
// that failed (at 1.00 never anything) and must not turn the failure into success.
TEST(KorvaneXCore, EndOfDataFailsWhenTheRowDoesNotGo) {
  test::TempDir dir;
  test::ScopedLogDir logs(dir.Path());
  struct Case {
    const char* version;
    bool silent;
    int32_t result;
  };
  const Case cases[] = {{"1", false, 1}, {"1", true, 0}, {"2", false, 1}, {"2", true, -1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.version) + (c.silent ? " silent" : ""));
    ManualClock clock;
    MemoryProfile profile;
    TerminalState state;
    TerminalSide side(state);
    std::shared_ptr<InProcessLine> line;
    test::TerminalPeer peer(0x0200, clock);
    KorvaneXCore x(KorvaneXCore::Flavor::kX2, profile, clock);
    x.SelectProtocolVersion(c.version);
    x.Port().SetPortOpener(peer.Opener());
    x.Port().SetBlockLineOpener([&](const std::string&, uint32_t&) {
      line = std::make_shared<InProcessLine>(side, kProtocolBlocks, clock);
      line->SetSilent(c.silent);
      return MakePortBlockLine(std::unique_ptr<LinkPort>(LvlAdopt(InProcessLine::MakePort(line), Serial)));
    });
    // No port: nothing goes, whatever the version.
    EXPECT_EQ(x.SendEOT(), 0);
    ASSERT_EQ(x.OpenPort("COM1"), 1);
    peer.SetSilent(c.silent);
    EXPECT_EQ(x.SendEOT(), c.result);
    const std::vector<std::string>& got = c.version[0] == '1' ? side.Received() : peer.Side().Received();
    EXPECT_EQ(got, c.silent ? std::vector<std::string>{} : std::vector<std::string>{"\x1E\x04"});
  }
}

}  // namespace
}  // namespace korvane
