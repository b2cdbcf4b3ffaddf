// Serial port names from the system's serial device map, in the order users expect to read them.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

namespace korvane::com {

inline constexpr const char* kSerialDeviceMapKey = "hardware\\devicemap\\serialcomm";

// Shorter names first, equal lengths in byte order: COM2 before COM10.
void SortPortNames(std::vector<std::string>& names);
// The REG_SZ values of `root`\`path`, sorted; empty when the key cannot be opened.
std::vector<std::string> SerialPortNamesFrom(HKEY root, const std::string& path);
// The local machine's device map.
std::vector<std::string> SerialPortNames();

}  // namespace korvane::com
