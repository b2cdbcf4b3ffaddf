#include <gtest/gtest.h>

#include "port/link_port.h"

namespace korvane {
namespace {

struct Case {
  const char* typed;
  PortKind kind;
  const char* resolved;
};

// No hand-held is attached to the test machine, so the USB names keep the sync driver's name.
TEST(ResolvePortKind, NamesUsersType) {
  const Case cases[] = {
      {"usb", Serial, "\\\\.\\WCEUSBSH001"},
      {"Usb:", Serial, "\\\\.\\WCEUSBSH001"},
      {"com1", Serial, "COM1"},
      {"COM10", Serial, "COM10"},
      {"LAN;192.168.1.7:5000", Lan, "192.168.1.7:5000"},
      {"LAN:192.168.1.7:5000", Lan, "192.168.1.7:5000"},
      {"lan,,10.0.0.5:5000", Lan, "10.0.0.5:5000"},
      {"LAN", Lan, "<not specified>"},
      {"LAN:", Lan, "<not specified>"},
      {"LAN:5000", Lan, "5000"},
      {"tsclient:COM3", Rdp, "TSCLIENT:COM3"},
      {"tsclient:/dev/ttyUSB1", Rdp, "TSCLIENT:/dev/ttyUSB1"},
      {"TSCLIENT", Rdp, "TSCLIENT"},
      {"activesync", ActiveSync, "ACTIVESYNC"},
      {"ACTIVESYNC2", Serial, "ACTIVESYNC2"},
      {"\\\\?\\usb#vid_0000", Serial, "\\\\?\\USB#VID_0000"},
      {"", Serial, ""},
  };
  for (const auto& c : cases) {
    std::string name = c.typed;
    EXPECT_EQ(ResolvePortKind(name), c.kind) << c.typed;
    EXPECT_EQ(name, c.resolved) << c.typed;
  }
}

TEST(ResolvePortKind, LongAndOddNamesAreHandledWithoutHarm) {
  std::string long_name(100000, 'x');
  EXPECT_EQ(ResolvePortKind(long_name), Serial);
  EXPECT_EQ(long_name.size(), 100000u);
  std::string binary("\x01\xFF\x80LAN", 6);
  EXPECT_EQ(ResolvePortKind(binary), Serial);
}

}  // namespace
}  // namespace korvane
