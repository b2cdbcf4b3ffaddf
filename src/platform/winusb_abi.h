// The records and calling convention of the WinUSB entry points, laid out as the system's own so
// the entry points found in winusb.dll are called through portable function pointers, and the few
// system calls a WinUSB device needs beside them.
#pragma once
#include <cstdint>

#if defined(_WIN32) && !defined(_WIN64)
#define KORVANE_WINAPI __stdcall
#else
#define KORVANE_WINAPI
#endif

namespace korvane {

// A file, WinUSB interface or event handle; null when absent.
using UsbHandle = void*;
// The system's BOOL.
using UsbBool = int32_t;

// OVERLAPPED.
struct UsbOverlapped {
  uintptr_t internal = 0;
  uintptr_t internal_high = 0;
  uint32_t offset = 0;
  uint32_t offset_high = 0;
  UsbHandle event = nullptr;
};

// USB_INTERFACE_DESCRIPTOR.
struct UsbInterfaceDescriptor {
  uint8_t length;
  uint8_t descriptor_type;
  uint8_t interface_number;
  uint8_t alternate_setting;
  uint8_t endpoint_count;
  uint8_t interface_class;
  uint8_t interface_subclass;
  uint8_t interface_protocol;
  uint8_t interface_string;
};

// WINUSB_PIPE_INFORMATION.
struct UsbPipeInformation {
  int32_t pipe_type;
  uint8_t pipe_id;
  uint16_t maximum_packet_size;
  uint8_t interval;
};

// Platform system calls, failures reported through UsbLastError().
// The device path opened for reading and writing, not shared, overlapped; null on failure.
UsbHandle UsbOpenDevice(const char* path);
void UsbCloseHandle(UsbHandle handle);
// A manual-reset event, not signalled; null on failure.
UsbHandle UsbCreateEvent();
void UsbResetEvent(UsbHandle event);
// True when the event is signalled within `ms`.
bool UsbWaitEvent(UsbHandle event, uint32_t ms);
uint32_t UsbLastError();

}  // namespace korvane
