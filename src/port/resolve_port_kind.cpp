#include <algorithm>
#include <cctype>
#include <string_view>
#include <vector>

#include "port/link_port.h"
#include "port/port_descriptor.h"
#include "port/port_names.h"

namespace korvane {

namespace {

constexpr const char* kUsbSyncDeviceName = "\\\\.\\WCEUSBSH001";
constexpr std::string_view kUsbInterfacePrefix = "\\\\?\\USB";
constexpr std::string_view kRdpPrefix = "TSCLIENT";
constexpr std::string_view kLanPrefix = "LAN";
constexpr size_t kLanShortFormSkip = 4;  // "LAN:" before the address
constexpr const char* kLanNotSpecified = "<not specified>";
constexpr const char* kActiveSyncName = "ACTIVESYNC";
constexpr const char* kWinUsbService = "WINUSB";

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

bool EqualsNoCase(const std::string& a, const std::string& b) { return Upper(a) == Upper(b); }

// A USB device of the hand-held class for `name`; the name becomes its interface path.
bool FindUsbDevice(std::string& name, PortKind& kind, const UsbDeviceEnumerator& enumerate) {
  std::vector<PortDescriptor> devices;
  enumerate(devices);
  const bool by_path = StartsWithNoCase(name, kUsbInterfacePrefix);
  for (const auto& d : devices) {
    for (const auto& path : d.device_paths) {
      if (by_path && !EqualsNoCase(path, name)) continue;
      if (!by_path) name = path;
      kind = EqualsNoCase(d.service, kWinUsbService) ? WinUsb : UsbSerial;
      return true;
    }
  }
  return false;
}

}  // namespace

PortKind ResolvePortKind(std::string& name) {
  return ResolvePortKind(name,
                         [](std::vector<PortDescriptor>& records) { return EnumerateHandheldUsbDevices(records); });
}

PortKind ResolvePortKind(std::string& name, const UsbDeviceEnumerator& enumerate) {
  // A POSIX device path is case-sensitive: it is taken as typed and never matched against USB
  // devices, so "/dev/ttyUSB1" opens that device and no other.
  if (!name.empty() && name[0] == '/') return Serial;
  // So does a device path on the client side of a Remote Desktop channel.
  if (StartsWithNoCase(name, kRdpPrefix) && name.compare(kRdpPrefix.size(), 2, ":/") == 0) {
    name = std::string(kRdpPrefix) + name.substr(kRdpPrefix.size());
    return Rdp;
  }
  name = Upper(name);
  if (name == "USB" || name == "USB:") name = kUsbSyncDeviceName;
  if (StartsWithNoCase(name, kRdpPrefix)) return Rdp;
  if (name.find("USB") != std::string::npos) {
    PortKind kind = Serial;
    if (FindUsbDevice(name, kind, enumerate)) return kind;
  }
  if (StartsWithNoCase(name, kLanPrefix)) {
    auto pieces = SplitDroppingEmpty(name, ";,");
    if (pieces.size() >= 2)
      name = pieces[1];
    else if (name.size() >= kLanShortFormSkip + 1)
      name = name.substr(kLanShortFormSkip);
    else
      name = kLanNotSpecified;
    return Lan;
  }
  if (name == kActiveSyncName) return ActiveSync;
  return Serial;
}

}  // namespace korvane
