// One enumerated port: a hand-held terminal's USB device or a serial port, as the port layer
// and the port enumeration objects describe it. Every text is empty when the system has none.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace korvane {

inline constexpr const char* kPortTypeUsb = "USB";
inline constexpr const char* kPortTypeSerial = "SERIAL";

struct PortDescriptor {
  std::string internal_type;              // kPortTypeUsb or kPortTypeSerial
  std::string service;                    // driver service; "WINUSB" selects kind 3
  std::vector<std::string> device_paths;  // interface paths in enumeration order; a serial port's name
  std::string vendor;
  std::string port_desc;
  std::string device_class;
  std::string class_guid;
  std::string driver;
  std::string pdo;
  std::string location;
  std::string hardware_id;  // the first entry of the hardware-ID list only
};

// The present hand-held devices; `records` is emptied first. Returns how many were found.
uint32_t EnumerateHandheldUsbDevices(std::vector<PortDescriptor>& records);
// Appends the serial ports of the system's serial device map (none on Linux), after the USB
// devices in the list the port enumeration objects and `korvane ports` give.
void AppendSerialPorts(std::vector<PortDescriptor>& records);

}  // namespace korvane
