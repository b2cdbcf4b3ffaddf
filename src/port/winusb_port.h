// Kind 3: a port over a WinUSB device.
#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "port/link_port.h"
#include "port/winusb_api.h"

namespace korvane {

// Loads the entry points through `loader` and opens `device_path`. A failure is logged with the
// device's error number; err is then the system error, or 1 when there is none.
std::unique_ptr<PortDevice> OpenWinUsbPort(const std::string& device_path, uint32_t& err,
                                           std::unique_ptr<WinUsbLoader> loader);

}  // namespace korvane
