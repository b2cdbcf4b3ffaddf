// Windows: the list the port enumeration objects give (the hand-held terminals on USB, then the
// serial ports of the device map), then the names that reach a terminal without a port of its own.
#include <cstdio>

#include "port_listing.h"

namespace korvane::tools {

namespace {

constexpr const char* kProgramName = "korvane";

constexpr const char* kNameForms[] = {
    "USB\tusb (the first hand-held terminal on USB)",
    "LAN:HOST:PORT\ttcp (a terminal or simulator listening on HOST:PORT)",
    "ACTIVESYNC\tactivesync (a docked terminal through the PC's docking service)",
    "TSCLIENT:PORT\tremote desktop (PORT of the PC running the Remote Desktop client)",
};

}  // namespace

std::vector<std::string> LocalPortNames() {
  // The serial ports by name; a hand-held on USB is reached as "USB", which the caller may give.
  std::vector<PortDescriptor> ports;
  AppendSerialPorts(ports);
  std::vector<std::string> names;
  for (const auto& d : ports)
    if (!d.device_paths.empty()) names.push_back(d.device_paths.front());
  return names;
}

void ListPorts() {
  std::vector<PortDescriptor> ports;
  EnumerateHandheldUsbDevices(ports);
  AppendSerialPorts(ports);
  for (const auto& d : ports) std::printf("%s\n", PortLine(d).c_str());
  for (const char* form : kNameForms) std::printf("%s\n", form);
}

int WatchPorts(const CliOptions&) {
  std::fprintf(stderr, "%s: ports --watch is not available on Windows; run 'korvane ports' again instead\n",
               kProgramName);
  return kExitUsage;
}

}  // namespace korvane::tools
