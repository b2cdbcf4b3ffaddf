#include "legacy/korvanex_core.h"

#include <gtest/gtest.h>

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
  peer.Side().EmitRecord("\x04");
  peer.Side().EmitRecord("row;1");
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

}  // namespace
}  // namespace korvane
