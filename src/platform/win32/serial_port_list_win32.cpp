#include "platform/serial_port_list.h"

#include <algorithm>

namespace korvane {

namespace {
constexpr DWORD kValueBufferBytes = 512;
}

std::vector<std::string> SerialPortNamesFrom(HKEY root, const std::string& path) {
  std::vector<std::string> names;
  HKEY key = nullptr;
  if (::RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return names;
  for (DWORD index = 0;; ++index) {
    char name[kValueBufferBytes];
    BYTE data[kValueBufferBytes];
    DWORD name_size = sizeof name, data_size = sizeof data, type = 0;
    const LONG rc = ::RegEnumValueA(key, index, name, &name_size, nullptr, &type, data, &data_size);
    if (rc != ERROR_SUCCESS && rc != ERROR_MORE_DATA) break;
    // A value that did not fit came without its data; a string need not end in its NUL.
    if (rc == ERROR_MORE_DATA || type != REG_SZ || data_size > sizeof data) continue;
    size_t length = 0;
    while (length < data_size && data[length] != 0) ++length;
    names.emplace_back(reinterpret_cast<const char*>(data), length);
  }
  ::RegCloseKey(key);
  SortPortNames(names);
  return names;
}

std::vector<std::string> SerialPortNames() { return SerialPortNamesFrom(HKEY_LOCAL_MACHINE, kSerialDeviceMapKey); }

}  // namespace korvane
