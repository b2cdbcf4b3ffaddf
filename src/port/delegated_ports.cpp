// Kinds whose native side is a library loaded at run time: WinUSB and the terminal-server channel.
// Until their engines are built these fail to open exactly as on a machine without winusb.dll or
// wtsapi32.dll.
#include "port/port_kinds.h"

namespace korvane {

namespace {
constexpr uint32_t kWinUsbLibraryMissing = 21;
constexpr uint32_t kChannelLibraryMissing = 41;
}  // namespace

std::unique_ptr<PortDevice> OpenWinUsbPort(const std::string&, uint32_t& step_error, uint32_t& system_error) {
  step_error = kWinUsbLibraryMissing;
  system_error = 0;
  return nullptr;
}

std::unique_ptr<PortDevice> OpenRdpChannelPort(const std::string&, uint32_t& step_error, uint32_t& system_error) {
  step_error = kChannelLibraryMissing;
  system_error = 0;
  return nullptr;
}

}  // namespace korvane
