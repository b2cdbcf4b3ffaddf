// Hand-held terminals attached by USB, as the system lists them: each device's interface paths
// and the name of the service (driver) bound to it.
#pragma once
#include <string>
#include <vector>

namespace korvane {

struct HandheldUsbDevice {
  std::vector<std::string> interface_paths;
  std::string service;
};

// On POSIX: the USB-serial ttys bound to the kernel driver for Windows CE sync devices.
std::vector<HandheldUsbDevice> EnumerateHandheldUsbDevices();

}  // namespace korvane
