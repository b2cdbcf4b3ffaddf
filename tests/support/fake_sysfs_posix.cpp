#include <cstdlib>
#include <filesystem>

#include "port/sysfs_ports.h"
#include "support/fake_sysfs.h"

namespace korvane::test {

namespace fs = std::filesystem;

FakeSysfs::FakeSysfs() {
  if (const char* previous = std::getenv(kSysfsRootEnvironment)) {
    previous_root_ = previous;
    had_previous_root_ = true;
  }
  fs::create_directories(fs::path(Root()) / "class" / "tty");
  setenv(kSysfsRootEnvironment, Root().c_str(), 1);
}

FakeSysfs::~FakeSysfs() {
  if (had_previous_root_)
    setenv(kSysfsRootEnvironment, previous_root_.c_str(), 1);
  else
    unsetenv(kSysfsRootEnvironment);
}

std::string FakeSysfs::UsbDir(const std::string& usb) const {
  return Root() + "/devices/pci0000:00/0000:00:14.0/usb1/" + usb;
}

void FakeSysfs::AddUsbDevice(const std::string& usb, const std::map<std::string, std::string>& attributes) {
  fs::create_directories(UsbDir(usb));
  for (const auto& [name, value] : attributes) WriteFileBytes(UsbDir(usb) + "/" + name, value + "\n");
}

void FakeSysfs::AddTty(const std::string& tty, const std::string& device_dir, const std::string& driver_dir) {
  const fs::path tty_dir = fs::path(device_dir) / "tty" / tty;
  fs::create_directories(tty_dir);
  fs::create_directory_symlink("../..", tty_dir / "device");
  if (!driver_dir.empty()) {
    fs::create_directories(driver_dir);
    fs::create_directory_symlink(driver_dir, fs::path(device_dir) / "driver");
  }
  fs::create_directory_symlink(tty_dir, fs::path(Root()) / "class" / "tty" / tty);
}

void FakeSysfs::AddUsbSerialTty(const std::string& tty, const std::string& usb, const std::string& driver) {
  AddTty(tty, UsbDir(usb) + "/" + usb + ":1.0/" + tty, Root() + "/bus/usb-serial/drivers/" + driver);
}

void FakeSysfs::AddInterfaceTty(const std::string& tty, const std::string& usb, const std::string& driver) {
  AddTty(tty, UsbDir(usb) + "/" + usb + ":1.0", Root() + "/bus/usb/drivers/" + driver);
}

void FakeSysfs::AddPlatformTty(const std::string& tty, int uart_type) {
  const std::string device = Root() + "/devices/platform/serial8250/serial8250:0/serial8250:0." + tty.substr(4);
  AddTty(tty, device, Root() + "/bus/serial-base/drivers/port");
  WriteFileBytes(device + "/tty/" + tty + "/type", std::to_string(uart_type) + "\n");
}

void FakeSysfs::AddVirtualTty(const std::string& tty) {
  const fs::path dir = fs::path(Root()) / "devices" / "virtual" / "tty" / tty;
  fs::create_directories(dir);
  fs::create_directory_symlink(dir, fs::path(Root()) / "class" / "tty" / tty);
}

}  // namespace korvane::test
