// Linux: the ttys sysfs shows, and device changes as the kernel reports them.
#include <chrono>
#include <cstdio>

#include "platform/errors.h"
#include "platform/uevent_socket.h"
#include "port/sysfs_ports.h"
#include "port/uevent.h"
#include "port_listing.h"

namespace korvane::tools {

namespace {

constexpr const char* kProgramName = "korvane";

std::string ChangeLine(const DeviceChange& c) {
  const std::string sign = c.arrived ? "+\t" : "-\t";
  if (c.tty) {
    if (c.arrived) {
      if (auto d = DescribeSysfsTty(SysfsRoot(), c.name)) return sign + PortLine(*d);
    }
    return sign + (c.node.empty() ? "/dev/" + c.name : c.node) + "\ttty";
  }
  std::string line = sign + (c.node.empty() ? "-" : c.node) + "\tusb device\t";
  if (!c.hardware_id.empty()) line += c.hardware_id + " ";
  return line + "(usb " + c.name + ")";
}

}  // namespace

// The hand-held sync driver's ttys first, then the other serial devices, then the TCP form.
std::vector<std::string> LocalPortNames() {
  std::vector<std::string> names;
  for (const auto& d : ScanSysfsTtys(SysfsRoot()))
    if (!d.device_paths.empty()) names.push_back(d.device_paths.front());
  return names;
}

void ListPorts() {
  for (const auto& d : ScanSysfsTtys(SysfsRoot())) std::printf("%s\n", PortLine(d).c_str());
  std::printf("LAN:HOST:PORT\ttcp (a terminal or simulator listening on HOST:PORT)\n");
}

// The current list, then device changes as the kernel reports them. Subscribed before listing,
// so a device that arrives meanwhile is reported rather than missed.
int WatchPorts(const CliOptions& o) {
  UeventSocket events;
  uint32_t err = 0;
  if (!events.Open(err)) {
    std::fprintf(stderr, "%s: cannot watch device changes: %s (%u)\n", kProgramName, SystemErrorText(err).c_str(), err);
    return kExitFailure;
  }
  ListPorts();
  std::fflush(stdout);
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::seconds(o.watch_seconds.value_or(0));
  std::vector<uint8_t> datagram;
  for (;;) {
    int wait_ms = -1;
    if (o.watch_seconds) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return kExitOk;
      wait_ms = static_cast<int>(left);
    }
    switch (events.Receive(datagram, wait_ms, err)) {
      case UeventSocket::Result::kTimeout: return kExitOk;
      case UeventSocket::Result::kError:
        std::fprintf(stderr, "%s: device changes: %s (%u)\n", kProgramName, SystemErrorText(err).c_str(), err);
        return kExitFailure;
      case UeventSocket::Result::kEvent: break;
    }
    const auto event = ParseUevent(datagram.data(), datagram.size());
    const auto change = event ? DeviceChangeOf(*event) : std::nullopt;
    if (!change) continue;
    std::printf("%s\n", ChangeLine(*change).c_str());
    std::fflush(stdout);
  }
}

}  // namespace korvane::tools
