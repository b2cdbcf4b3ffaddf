// Windows: the serial device map and the hand-held on USB; an open refused as busy. Windows
// cannot cheaply say which program holds a port, so the texts say what to do instead.
#include <windows.h>

#include <vector>

#include "doctor_platform.h"
#include "doctor_win32.h"
#include "port/port_descriptor.h"
#include "port_listing.h"

namespace korvane::tools {

namespace {

constexpr const char* kUsbPortName = "USB";

bool HandheldOnUsb() {
  std::vector<PortDescriptor> devices;
  return EnumerateHandheldUsbDevices(devices) > 0;
}

}  // namespace

std::vector<std::string> DoctorListedPorts() {
  std::vector<std::string> names = LocalPortNames();
  if (HandheldOnUsb()) names.push_back(kUsbPortName);
  return names;
}

bool DiagnoseBusyOpen(uint32_t err, bool handheld_on_usb, PortReport& r) {
  if (err != ERROR_ACCESS_DENIED && err != ERROR_SHARING_VIOLATION) return false;
  r.status = "busy";
  // The sync driver's device opens once: the docking software keeps it while it is connected.
  if (r.kind == "usb" && handheld_on_usb) {
    r.message = "the sync driver's device is present but the docking software holds it: disconnect the terminal in the "
                "docking software (or stop its service), or use ACTIVESYNC to reach the terminal through it";
  } else {
    r.message = r.port +
                " is held by another program (Windows does not say which): close the program that uses the port "
                "and try again";
  }
  return true;
}

bool DiagnoseRefusedOpen(const std::string&, uint32_t err, PortReport& r) {
  return DiagnoseBusyOpen(err, r.kind == "usb" && HandheldOnUsb(), r);
}

void NoteOtherHolders(const std::string&, PortReport&) {}

}  // namespace korvane::tools
