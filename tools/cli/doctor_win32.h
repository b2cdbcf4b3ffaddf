// The Windows doctor's reading of a refused open, apart from the device enumeration it asks.
#pragma once
#include <cstdint>

#include "doctor_platform.h"

namespace korvane::tools {

// Busy for access denied and sharing violation; on USB with the hand-held's device enumerated,
// the docking software by name. False for any other number.
bool DiagnoseBusyOpen(uint32_t err, bool handheld_on_usb, PortReport& r);

}  // namespace korvane::tools
