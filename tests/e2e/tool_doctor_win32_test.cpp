// The Windows doctor's words for a port another program holds: Windows names no holder, so the
// text says what to do, and on USB it names the docking software.
#include <gtest/gtest.h>

#include <string>

#include "doctor_win32.h"

namespace korvane::tools {
namespace {

TEST(DoctorWin32, BusyOpens) {
  const std::string held_com3 =
      "COM3 is held by another program (Windows does not say which): close the program that uses the port and try "
      "again";
  const std::string docking =
      "the sync driver's device is present but the docking software holds it: disconnect the terminal in the "
      "docking software (or stop its service), or use ACTIVESYNC to reach the terminal through it";
  const struct {
    const char* port;
    const char* kind;
    uint32_t err;
    bool handheld_on_usb;
    bool busy;
    std::string message;
  } cases[] = {
      {"COM3", "serial", 5, false, true, held_com3},  // access denied
      {"COM3", "serial", 32, true, true, held_com3},  // sharing violation; a hand-held on USB is not this port
      {"USB", "usb", 5, true, true, docking},         // the sync driver's device, held
      {"USB", "usb", 32, true, true, docking},
      {"USB", "usb", 5, false, true,
       "USB is held by another program (Windows does not say which): close the "
       "program that uses the port and try again"},
      {"COM3", "serial", 2, false, false, ""},     // missing: the common texts
      {"COM3", "serial", 1314, false, false, ""},  // no device groups on Windows
  };
  for (const auto& c : cases) {
    PortReport r;
    r.port = c.port;
    r.kind = c.kind;
    EXPECT_EQ(DiagnoseBusyOpen(c.err, c.handheld_on_usb, r), c.busy) << c.port << " " << c.err;
    EXPECT_EQ(r.status, c.busy ? "busy" : "") << c.port << " " << c.err;
    EXPECT_EQ(r.message, c.message) << c.port << " " << c.err;
    EXPECT_TRUE(r.holders.empty());
  }
}

}  // namespace
}  // namespace korvane::tools
