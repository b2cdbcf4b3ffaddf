// No WinUSB stack here: the library never loads, so these are reached only if a caller skips
// loading; they fail as a machine without the device would.
#include "platform/errors.h"
#include "platform/winusb_abi.h"

namespace korvane {

UsbHandle UsbOpenDevice(const char*) { return nullptr; }
void UsbCloseHandle(UsbHandle) {}
UsbHandle UsbCreateEvent() { return nullptr; }
void UsbResetEvent(UsbHandle) {}
bool UsbWaitEvent(UsbHandle, uint32_t) { return false; }
uint32_t UsbLastError() { return kErrFileNotFound; }

}  // namespace korvane
