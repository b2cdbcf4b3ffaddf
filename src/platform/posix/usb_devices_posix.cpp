#include <dirent.h>

#include <algorithm>
#include <cstdlib>
#include <string>

#include "platform/usb_devices.h"

namespace korvane {

namespace {
// The kernel's USB-serial driver for Windows CE sync devices names its ttys ttyUSBn here.
constexpr const char* kSyncDriverFolder = "/sys/bus/usb-serial/drivers/ipaq";
constexpr const char* kSyncDriverName = "ipaq";
}  // namespace

std::vector<HandheldUsbDevice> EnumerateHandheldUsbDevices() {
  std::vector<HandheldUsbDevice> out;
  const char* override_dir = std::getenv("KORVANE_USB_SYNC_DRIVER_DIR");  // tests point this at a fake tree
  const std::string folder = override_dir && *override_dir ? override_dir : kSyncDriverFolder;
  DIR* d = ::opendir(folder.c_str());
  if (!d) return out;
  std::vector<std::string> ttys;
  while (dirent* e = ::readdir(d)) {
    std::string n = e->d_name;
    if (n.rfind("ttyUSB", 0) == 0) ttys.push_back(n);
  }
  ::closedir(d);
  std::sort(ttys.begin(), ttys.end(), [](const std::string& a, const std::string& b) {
    return std::strtoul(a.c_str() + 6, nullptr, 10) < std::strtoul(b.c_str() + 6, nullptr, 10);
  });
  for (const auto& t : ttys) out.push_back(HandheldUsbDevice{{"/dev/" + t}, kSyncDriverName});
  return out;
}

}  // namespace korvane
