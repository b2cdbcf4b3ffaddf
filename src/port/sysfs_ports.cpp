#include "port/sysfs_ports.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <tuple>

namespace korvane {

namespace fs = std::filesystem;

namespace {

constexpr const char* kTtyClass = "tty";
constexpr const char* kDevFolder = "/dev/";
constexpr const char* kUsbLocationPrefix = "usb ";
// A tty sits a few levels below its USB device (tty, usb-serial port, interface); stop well above.
constexpr int kMaxLevelsToUsbDevice = 6;
constexpr unsigned long kMaxUsbNumber = 0xFFFF;

// The first line of a sysfs attribute, without its line end; empty when there is none.
std::string ReadAttribute(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::string line;
  if (!in || !std::getline(in, line)) return {};
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' ')) line.pop_back();
  return line;
}

std::string LinkTargetName(const fs::path& link) {
  std::error_code ec;
  const fs::path target = fs::read_symlink(link, ec);
  return ec ? std::string() : target.filename().string();
}

// The USB device (the folder with idVendor) that `device` belongs to, if any.
std::optional<fs::path> UsbDeviceAbove(fs::path device, const fs::path& root) {
  std::error_code ec;
  for (int level = 0; level < kMaxLevelsToUsbDevice && device != root && device.has_relative_path(); ++level) {
    if (fs::exists(device / "idVendor", ec)) return device;
    device = device.parent_path();
  }
  return std::nullopt;
}

// Name prefix, then the trailing number as a number, then the whole name.
std::tuple<std::string, unsigned long, std::string> NaturalKey(const std::string& path) {
  size_t digits = path.size();
  while (digits > 0 && path[digits - 1] >= '0' && path[digits - 1] <= '9') --digits;
  return {path.substr(0, digits), std::strtoul(path.c_str() + digits, nullptr, 10), path};
}

}  // namespace

std::string SysfsRoot() {
  const char* root = std::getenv(kSysfsRootEnvironment);
  return root && *root ? root : kDefaultSysfsRoot;
}

std::string UsbHardwareId(const std::string& vendor, const std::string& product, const std::string& release) {
  unsigned long n[3];
  const std::string* texts[3] = {&vendor, &product, &release};
  for (int i = 0; i < 3; ++i) {
    char* end = nullptr;
    const std::string& t = *texts[i];
    if (t.empty() || t.size() > 4 || !std::isxdigit(static_cast<unsigned char>(t[0]))) return {};
    n[i] = std::strtoul(t.c_str(), &end, 16);
    if (*end != '\0' || n[i] > kMaxUsbNumber) return {};
  }
  char id[40];
  std::snprintf(id, sizeof id, "USB\\VID_%04lX&PID_%04lX&REV_%04lX", n[0], n[1], n[2]);
  return id;
}

std::optional<PortDescriptor> DescribeSysfsTty(const std::string& sysfs_root, const std::string& tty_name) {
  if (tty_name.empty() || tty_name.find('/') != std::string::npos || tty_name == "." || tty_name == "..")
    return std::nullopt;
  std::error_code ec;
  const fs::path root = fs::weakly_canonical(sysfs_root, ec);
  const fs::path entry = fs::path(sysfs_root) / "class" / kTtyClass / tty_name;
  // Consoles, pseudo-terminals and virtual terminals have no device behind them.
  const fs::path device = fs::canonical(entry / "device", ec);
  if (ec) return std::nullopt;
  // A serial slot with no UART behind it reports type 0.
  const std::string uart_type = ReadAttribute(entry / "type");
  if (uart_type == "0") return std::nullopt;

  PortDescriptor d;
  d.device_paths.push_back(kDevFolder + tty_name);
  d.driver = LinkTargetName(device / "driver");
  d.device_class = kTtyClass;
  const std::string relative = device.lexically_relative(root).generic_string();
  if (!relative.empty() && relative.rfind("..", 0) != 0) d.pdo = "/" + relative;
  const bool sync_device = d.driver == kSyncDriverName;
  d.internal_type = sync_device ? kPortTypeUsb : kPortTypeSerial;
  if (sync_device) d.service = d.driver;
  if (const auto usb = UsbDeviceAbove(device, root)) {
    d.vendor = ReadAttribute(*usb / "manufacturer");
    d.port_desc = ReadAttribute(*usb / "product");
    d.hardware_id = UsbHardwareId(ReadAttribute(*usb / "idVendor"), ReadAttribute(*usb / "idProduct"),
                                  ReadAttribute(*usb / "bcdDevice"));
    d.location = kUsbLocationPrefix + usb->filename().string();
  }
  return d;
}

std::vector<PortDescriptor> ScanSysfsTtys(const std::string& sysfs_root) {
  std::vector<PortDescriptor> ports;
  std::error_code ec;
  for (fs::directory_iterator it(fs::path(sysfs_root) / "class" / kTtyClass, ec), end; !ec && it != end;
       it.increment(ec)) {
    if (auto d = DescribeSysfsTty(sysfs_root, it->path().filename().string())) ports.push_back(std::move(*d));
  }
  std::sort(ports.begin(), ports.end(), [](const PortDescriptor& a, const PortDescriptor& b) {
    const bool a_usb = a.internal_type == kPortTypeUsb, b_usb = b.internal_type == kPortTypeUsb;
    if (a_usb != b_usb) return a_usb;
    return NaturalKey(a.device_paths[0]) < NaturalKey(b.device_paths[0]);
  });
  return ports;
}

}  // namespace korvane
