// Kernel device events as the kernel's uevent socket delivers them: one datagram per event, a
// header "ACTION@DEVPATH", then NUL-terminated KEY=VALUE pairs.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace korvane {

struct Uevent {
  std::string action;     // add, remove, change, bind, ...
  std::string devpath;    // below the sysfs root, starting with '/'
  std::string subsystem;  // tty, usb, ...
  std::string devtype;    // usb_device, usb_interface, ... (empty for ttys)
  std::string devname;    // the node below /dev, when the device has one
  std::string product;    // USB: "vendor/product/release" in hexadecimal
};

// None when the datagram is not a well-formed kernel event: no "ACTION@/path" header, no
// subsystem, or keys that contradict the header (as a user-space relay's messages would).
std::optional<Uevent> ParseUevent(const uint8_t* data, size_t size);

// An arrival or removal worth showing to someone who waits for a terminal: a tty or a whole USB
// device. Interfaces, driver binds and attribute changes are left out.
struct DeviceChange {
  bool arrived = false;
  bool tty = false;         // else a USB device
  std::string name;         // the kernel's name: ttyUSB0, 1-2
  std::string node;         // /dev/ttyUSB0, /dev/bus/usb/001/005; empty when the event names none
  std::string hardware_id;  // USB devices: USB\VID_xxxx&PID_xxxx&REV_xxxx
};
std::optional<DeviceChange> DeviceChangeOf(const Uevent& event);

}  // namespace korvane
