#include <windows.h>
#include <winusb.h>

#include <cstddef>

#include "platform/winusb_abi.h"

namespace korvane {

// The portable records must be the system's own: winusb.dll reads and writes them in place.
static_assert(sizeof(UsbOverlapped) == sizeof(OVERLAPPED));
static_assert(offsetof(UsbOverlapped, internal_high) == offsetof(OVERLAPPED, InternalHigh));
static_assert(offsetof(UsbOverlapped, offset) == offsetof(OVERLAPPED, Offset));
static_assert(offsetof(UsbOverlapped, event) == offsetof(OVERLAPPED, hEvent));
static_assert(sizeof(UsbInterfaceDescriptor) == sizeof(USB_INTERFACE_DESCRIPTOR));
static_assert(offsetof(UsbInterfaceDescriptor, endpoint_count) == offsetof(USB_INTERFACE_DESCRIPTOR, bNumEndpoints));
static_assert(sizeof(UsbPipeInformation) == sizeof(WINUSB_PIPE_INFORMATION));
static_assert(offsetof(UsbPipeInformation, pipe_id) == offsetof(WINUSB_PIPE_INFORMATION, PipeId));
static_assert(offsetof(UsbPipeInformation, maximum_packet_size) ==
              offsetof(WINUSB_PIPE_INFORMATION, MaximumPacketSize));
static_assert(sizeof(UsbBool) == sizeof(BOOL) && sizeof(uint32_t) == sizeof(ULONG));

UsbHandle UsbOpenDevice(const char* path) {
  HANDLE h = ::CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
  return h == INVALID_HANDLE_VALUE ? nullptr : h;
}

void UsbCloseHandle(UsbHandle handle) {
  if (handle) ::CloseHandle(handle);
}

UsbHandle UsbCreateEvent() { return ::CreateEventA(nullptr, TRUE, FALSE, nullptr); }

void UsbResetEvent(UsbHandle event) { ::ResetEvent(event); }

bool UsbWaitEvent(UsbHandle event, uint32_t ms) { return ::WaitForSingleObject(event, ms) == WAIT_OBJECT_0; }

uint32_t UsbLastError() { return ::GetLastError(); }

}  // namespace korvane
