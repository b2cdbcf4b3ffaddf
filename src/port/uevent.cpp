#include "port/uevent.h"

#include <algorithm>
#include <string_view>

#include "port/sysfs_ports.h"

namespace korvane {

namespace {

constexpr std::string_view kActionKey = "ACTION";
constexpr std::string_view kDevpathKey = "DEVPATH";
constexpr std::string_view kSubsystemKey = "SUBSYSTEM";
constexpr std::string_view kDevtypeKey = "DEVTYPE";
constexpr std::string_view kDevnameKey = "DEVNAME";
constexpr std::string_view kProductKey = "PRODUCT";
constexpr const char* kActionAdd = "add";
constexpr const char* kActionRemove = "remove";
constexpr const char* kTtySubsystem = "tty";
constexpr const char* kUsbSubsystem = "usb";
constexpr const char* kUsbDeviceType = "usb_device";
constexpr const char* kDevFolder = "/dev/";

}  // namespace

std::optional<Uevent> ParseUevent(const uint8_t* data, size_t size) {
  const std::string_view all(reinterpret_cast<const char*>(data), size);
  const size_t header_end = std::min(all.find('\0'), all.size());
  const std::string_view header = all.substr(0, header_end);
  const size_t at = header.find('@');
  if (at == std::string_view::npos || at == 0 || at + 1 >= header.size() || header[at + 1] != '/') return std::nullopt;
  Uevent e;
  e.action = header.substr(0, at);
  e.devpath = header.substr(at + 1);

  size_t pos = header_end + 1;
  while (pos < all.size()) {
    const size_t end = std::min(all.find('\0', pos), all.size());
    const std::string_view pair = all.substr(pos, end - pos);
    pos = end + 1;
    const size_t eq = pair.find('=');
    if (eq == std::string_view::npos) continue;
    const std::string_view key = pair.substr(0, eq), value = pair.substr(eq + 1);
    if (key == kActionKey) {
      if (value != e.action) return std::nullopt;
    } else if (key == kDevpathKey) {
      if (value != e.devpath) return std::nullopt;
    } else if (key == kSubsystemKey) {
      e.subsystem = value;
    } else if (key == kDevtypeKey) {
      e.devtype = value;
    } else if (key == kDevnameKey) {
      e.devname = value;
    } else if (key == kProductKey) {
      e.product = value;
    }
  }
  if (e.subsystem.empty()) return std::nullopt;
  return e;
}

std::optional<DeviceChange> DeviceChangeOf(const Uevent& event) {
  DeviceChange c;
  if (event.action == kActionAdd)
    c.arrived = true;
  else if (event.action != kActionRemove)
    return std::nullopt;
  c.tty = event.subsystem == kTtySubsystem;
  if (!c.tty && !(event.subsystem == kUsbSubsystem && event.devtype == kUsbDeviceType)) return std::nullopt;
  c.name = event.devpath.substr(event.devpath.rfind('/') + 1);
  if (c.name.empty()) return std::nullopt;
  if (!event.devname.empty()) c.node = kDevFolder + event.devname;
  if (!c.tty) {
    const size_t a = event.product.find('/'), b = event.product.find('/', a == std::string::npos ? a : a + 1);
    if (b != std::string::npos)
      c.hardware_id = UsbHardwareId(event.product.substr(0, a), event.product.substr(a + 1, b - a - 1),
                                    event.product.substr(b + 1));
  }
  return c;
}

}  // namespace korvane
