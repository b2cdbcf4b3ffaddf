// Ports as the Linux kernel's device tree (sysfs) shows them: every tty with a device behind it.
// The ttys of the hand-held sync driver become USB records with the USB device's names; the others
// are serial ports. Plain file reading, so a test can hand in a tree of its own.
#pragma once
#include <optional>
#include <string>
#include <vector>

#include "port/port_descriptor.h"

namespace korvane {

// The kernel's USB-serial driver for the hand-held sync devices.
inline constexpr const char* kSyncDriverName = "ipaq";
inline constexpr const char* kDefaultSysfsRoot = "/sys";
// Names another sysfs tree (tests, a chroot's view).
inline constexpr const char* kSysfsRootEnvironment = "KORVANE_SYSFS_ROOT";

std::string SysfsRoot();

// One tty by its kernel name (ttyUSB0); none for a virtual tty or an unused serial slot.
std::optional<PortDescriptor> DescribeSysfsTty(const std::string& sysfs_root, const std::string& tty_name);
// Every such tty: the sync driver's first, then the rest, each group in natural order (ttyS2 before ttyS10).
std::vector<PortDescriptor> ScanSysfsTtys(const std::string& sysfs_root);

// "USB\VID_1234&PID_00CE&REV_0000" from hexadecimal vendor, product and release numbers; empty when
// any of them is not a 16-bit hexadecimal number.
std::string UsbHardwareId(const std::string& vendor, const std::string& product, const std::string& release);

}  // namespace korvane
