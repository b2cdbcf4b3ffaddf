// A small kernel device tree in a temporary folder, laid out as the kernel lays out its own:
// class/tty entries are links into devices/, each tty's "device" link points up to its device.
// While the object lives, the library reads it instead of the system's.
#pragma once
#include <map>
#include <string>

#include "support/temp_dir.h"

namespace korvane::test {

class FakeSysfs {
 public:
  FakeSysfs();
  ~FakeSysfs();
  FakeSysfs(const FakeSysfs&) = delete;
  FakeSysfs& operator=(const FakeSysfs&) = delete;

  const std::string& Root() const { return dir_.Path(); }

  // A USB device at bus location `usb` (such as 1-2), with attribute files (idVendor, product...).
  void AddUsbDevice(const std::string& usb, const std::map<std::string, std::string>& attributes);
  // A tty of usb-serial `driver` on the first interface of USB device `usb`.
  void AddUsbSerialTty(const std::string& tty, const std::string& usb, const std::string& driver);
  // A tty whose device is the USB interface itself (modems).
  void AddInterfaceTty(const std::string& tty, const std::string& usb, const std::string& driver);
  // A platform serial port slot; UART type 0 means nothing is behind it.
  void AddPlatformTty(const std::string& tty, int uart_type);
  // A tty with no device (virtual consoles).
  void AddVirtualTty(const std::string& tty);

 private:
  std::string UsbDir(const std::string& usb) const;
  void AddTty(const std::string& tty, const std::string& device_dir, const std::string& driver_dir);

  TempDir dir_;
  std::string previous_root_;
  bool had_previous_root_ = false;
};

}  // namespace korvane::test
