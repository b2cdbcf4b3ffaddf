// The WinUSB seam: the 15 entry points of winusb.dll as a table of portable function pointers, the
// system calls a device needs beside them, and where both come from. Windows fills the table from
// the library; elsewhere the library never loads, and tests hand in a fake.
#pragma once
#include <cstdint>
#include <memory>

#include "platform/winusb_abi.h"

namespace korvane {

struct WinUsbApi {
  UsbBool(KORVANE_WINAPI* Initialize)(UsbHandle device, UsbHandle* iface);
  UsbBool(KORVANE_WINAPI* Free)(UsbHandle iface);
  UsbBool(KORVANE_WINAPI* QueryDeviceInformation)(UsbHandle iface, uint32_t type, uint32_t* length, void* buffer);
  UsbBool(KORVANE_WINAPI* QueryInterfaceSettings)(UsbHandle iface, uint8_t alternate, UsbInterfaceDescriptor* out);
  UsbBool(KORVANE_WINAPI* QueryPipe)(UsbHandle iface, uint8_t alternate, uint8_t index, UsbPipeInformation* out);
  UsbBool(KORVANE_WINAPI* ReadPipe)(UsbHandle iface, uint8_t pipe, uint8_t* buffer, uint32_t length,
                                    uint32_t* transferred, UsbOverlapped* overlapped);
  UsbBool(KORVANE_WINAPI* WritePipe)(UsbHandle iface, uint8_t pipe, uint8_t* buffer, uint32_t length,
                                     uint32_t* transferred, UsbOverlapped* overlapped);
  UsbBool(KORVANE_WINAPI* ResetPipe)(UsbHandle iface, uint8_t pipe);
  UsbBool(KORVANE_WINAPI* AbortPipe)(UsbHandle iface, uint8_t pipe);
  UsbBool(KORVANE_WINAPI* FlushPipe)(UsbHandle iface, uint8_t pipe);
  UsbBool(KORVANE_WINAPI* SetPowerPolicy)(UsbHandle iface, uint32_t type, uint32_t length, void* value);
  UsbBool(KORVANE_WINAPI* GetPowerPolicy)(UsbHandle iface, uint32_t type, uint32_t* length, void* value);
  UsbBool(KORVANE_WINAPI* SetPipePolicy)(UsbHandle iface, uint8_t pipe, uint32_t type, uint32_t length, void* value);
  UsbBool(KORVANE_WINAPI* GetPipePolicy)(UsbHandle iface, uint8_t pipe, uint32_t type, uint32_t* length, void* value);
  UsbBool(KORVANE_WINAPI* GetOverlappedResult)(UsbHandle iface, UsbOverlapped* overlapped, uint32_t* transferred,
                                               UsbBool wait);
};

// The names the table is filled by, in its order.
inline constexpr const char* kWinUsbEntryPointNames[] = {
    "WinUsb_Initialize",
    "WinUsb_Free",
    "WinUsb_QueryDeviceInformation",
    "WinUsb_QueryInterfaceSettings",
    "WinUsb_QueryPipe",
    "WinUsb_ReadPipe",
    "WinUsb_WritePipe",
    "WinUsb_ResetPipe",
    "WinUsb_AbortPipe",
    "WinUsb_FlushPipe",
    "WinUsb_SetPowerPolicy",
    "WinUsb_GetPowerPolicy",
    "WinUsb_SetPipePolicy",
    "WinUsb_GetPipePolicy",
    "WinUsb_GetOverlappedResult",
};

// What the device needs of the system beside the library; failures are read from last_error.
struct UsbSystemApi {
  UsbHandle (*open_device)(const char* path);
  void (*close_handle)(UsbHandle handle);  // files and events
  UsbHandle (*create_event)();
  void (*reset_event)(UsbHandle event);
  bool (*wait_event)(UsbHandle event, uint32_t ms);
  uint32_t (*last_error)();
};

// Where the entry points come from: the library on the machine, or a test's fake.
class WinUsbLoader {
 public:
  virtual ~WinUsbLoader() = default;
  virtual bool Load() = 0;
  // The entry point `name`, null when the library lacks it.
  virtual void* Find(const char* name) const = 0;
  virtual void Unload() = 0;
  virtual const UsbSystemApi& System() const = 0;
};

inline constexpr const char* kWinUsbLibraryName = "winusb.dll";

// "winusb.dll" and the platform's own calls.
std::unique_ptr<WinUsbLoader> SystemWinUsbLoader();

}  // namespace korvane
