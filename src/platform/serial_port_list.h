// Serial port names from the system's serial device map, in the order users expect to read them.
// Linux has no such map (its serial devices are found through sysfs by the port layer): the list
// is empty there.
#pragma once
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

namespace korvane {

inline constexpr const char* kSerialDeviceMapKey = "hardware\\devicemap\\serialcomm";

// Shorter names first, equal lengths in byte order: COM2 before COM10.
void SortPortNames(std::vector<std::string>& names);
// The local machine's device map.
std::vector<std::string> SerialPortNames();

#ifdef _WIN32
// The REG_SZ values of `root`\`path`, sorted; empty when the key cannot be opened.
std::vector<std::string> SerialPortNamesFrom(HKEY root, const std::string& path);
#endif

}  // namespace korvane
