// The device-setup table over setupapi.dll, which every Windows has.
#include <windows.h>
#include <setupapi.h>

#include <cstddef>
#include <cstring>

#include "platform/setup_api.h"

namespace korvane {

namespace {

static_assert(sizeof(SetupGuid) == sizeof(GUID));
static_assert(sizeof(SP_DEVINFO_DATA) <= sizeof(SetupDeviceRecord));
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) <= sizeof(SetupInterfaceRecord));
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == kInterfaceDetailRecordSize);
static_assert(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) == kInterfaceDetailPathOffset);

GUID ToGuid(const SetupGuid& g) {
  GUID out;
  std::memcpy(&out, &g, sizeof out);
  return out;
}

// The records are the system's own, with their size fields set as the calls require.
SP_DEVINFO_DATA* DeviceData(SetupDeviceRecord& r) {
  auto* d = reinterpret_cast<SP_DEVINFO_DATA*>(r.bytes);
  d->cbSize = sizeof(SP_DEVINFO_DATA);
  return d;
}

SP_DEVICE_INTERFACE_DATA* InterfaceData(SetupInterfaceRecord& r) {
  auto* d = reinterpret_cast<SP_DEVICE_INTERFACE_DATA*>(r.bytes);
  d->cbSize = sizeof(SP_DEVICE_INTERFACE_DATA);
  return d;
}

SetupDeviceSet GetClassDevs(void*, const SetupGuid& interface_class, uint32_t flags) {
  const GUID guid = ToGuid(interface_class);
  HDEVINFO set = ::SetupDiGetClassDevsExA(&guid, nullptr, nullptr, flags, nullptr, nullptr, nullptr);
  return set == INVALID_HANDLE_VALUE ? nullptr : set;
}

bool EnumDeviceInfo(void*, SetupDeviceSet set, uint32_t index, SetupDeviceRecord& device) {
  return ::SetupDiEnumDeviceInfo(set, index, DeviceData(device)) != FALSE;
}

bool EnumDeviceInterfaces(void*, SetupDeviceSet set, SetupDeviceRecord* device, const SetupGuid& interface_class,
                          uint32_t index, SetupInterfaceRecord& interface_record) {
  const GUID guid = ToGuid(interface_class);
  // The device record already holds what the enumeration put in it; only its size is renewed.
  return ::SetupDiEnumDeviceInterfaces(set, device ? DeviceData(*device) : nullptr, &guid, index,
                                       InterfaceData(interface_record)) != FALSE;
}

bool GetDeviceInterfaceDetail(void*, SetupDeviceSet set, SetupInterfaceRecord& interface_record, uint8_t* detail,
                              uint32_t detail_size, uint32_t* required_size) {
  DWORD required = 0;
  const BOOL ok = ::SetupDiGetDeviceInterfaceDetailA(set, InterfaceData(interface_record),
                                                     reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(detail),
                                                     detail_size, &required, nullptr);
  if (required_size) *required_size = required;
  return ok != FALSE;
}

bool GetDeviceRegistryProperty(void*, SetupDeviceSet set, SetupDeviceRecord& device, uint32_t property, uint8_t* buffer,
                               uint32_t buffer_size, uint32_t* required_size) {
  DWORD type = 0, required = 0;
  const BOOL ok = ::SetupDiGetDeviceRegistryPropertyA(set, DeviceData(device), property, &type, buffer, buffer_size,
                                                      &required);
  if (required_size) *required_size = required;
  return ok != FALSE;
}

void DestroyDeviceInfoList(void*, SetupDeviceSet set) { ::SetupDiDestroyDeviceInfoList(set); }

uint32_t LastError(void*) { return ::GetLastError(); }

void DebugOutput(void*, const char* text) { ::OutputDebugStringA(text); }

constexpr SetupApi kSystemSetupApi = {nullptr,
                                      GetClassDevs,
                                      EnumDeviceInfo,
                                      EnumDeviceInterfaces,
                                      GetDeviceInterfaceDetail,
                                      GetDeviceRegistryProperty,
                                      DestroyDeviceInfoList,
                                      LastError,
                                      DebugOutput};

}  // namespace

const SetupApi* SystemSetupApi() { return &kSystemSetupApi; }

}  // namespace korvane
