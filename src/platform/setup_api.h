// The system's device-setup enumeration as a table of calls, so the USB enumeration runs over the
// real setup library on Windows and over a fake in tests. Handles and records are opaque here;
// the table's owner knows what is inside them.
#pragma once
#include <cstdint>

namespace korvane {

struct SetupGuid {
  uint32_t data1;
  uint16_t data2;
  uint16_t data3;
  uint8_t data4[8];
};

// The hand-held device interface class: the devices a terminal shows up as.
inline constexpr SetupGuid kHandheldInterfaceClass = {
    0x25DBCE51, 0x6C8F, 0x4A72, {0x8A, 0x6D, 0xB5, 0x4C, 0x2B, 0x4F, 0xC8, 0x35}};

inline constexpr uint32_t kDigcfPresent = 0x02;
inline constexpr uint32_t kDigcfDeviceInterface = 0x10;

// Device registry properties.
inline constexpr uint32_t kSpdrpDeviceDesc = 0;
inline constexpr uint32_t kSpdrpHardwareId = 1;
inline constexpr uint32_t kSpdrpService = 4;
inline constexpr uint32_t kSpdrpClass = 7;
inline constexpr uint32_t kSpdrpClassGuid = 8;
inline constexpr uint32_t kSpdrpDriver = 9;
inline constexpr uint32_t kSpdrpMfg = 11;
inline constexpr uint32_t kSpdrpLocationInformation = 13;
inline constexpr uint32_t kSpdrpPhysicalDeviceObjectName = 14;

// Room for one device or interface record of the system (at most 32 bytes on 64-bit).
struct SetupDeviceRecord {
  alignas(8) uint8_t bytes[32];
};
struct SetupInterfaceRecord {
  alignas(8) uint8_t bytes[32];
};

// The interface detail record starts with its own size field, then the path. The system packs it
// to single bytes on 32-bit and to eight on 64-bit, and refuses any other size in that field.
inline constexpr uint32_t kInterfaceDetailPathOffset = 4;
inline constexpr uint32_t kInterfaceDetailRecordSize = sizeof(void*) == 8 ? 8 : 5;

using SetupDeviceSet = void*;  // null: no set

// Every call gets `context` first. A false result leaves the system error to `last_error`.
struct SetupApi {
  void* context = nullptr;
  SetupDeviceSet (*get_class_devs)(void* context, const SetupGuid& interface_class, uint32_t flags) = nullptr;
  bool (*enum_device_info)(void* context, SetupDeviceSet set, uint32_t index, SetupDeviceRecord& device) = nullptr;
  bool (*enum_device_interfaces)(void* context, SetupDeviceSet set, SetupDeviceRecord* device,
                                 const SetupGuid& interface_class, uint32_t index,
                                 SetupInterfaceRecord& interface_record) = nullptr;
  // `detail` starts with the size field the caller filled in.
  bool (*get_device_interface_detail)(void* context, SetupDeviceSet set, SetupInterfaceRecord& interface_record,
                                      uint8_t* detail, uint32_t detail_size, uint32_t* required_size) = nullptr;
  bool (*get_device_registry_property)(void* context, SetupDeviceSet set, SetupDeviceRecord& device, uint32_t property,
                                       uint8_t* buffer, uint32_t buffer_size, uint32_t* required_size) = nullptr;
  void (*destroy_device_info_list)(void* context, SetupDeviceSet set) = nullptr;
  uint32_t (*last_error)(void* context) = nullptr;
  void (*debug_output)(void* context, const char* text) = nullptr;
};

// The system's table; null where the system has no device-setup library.
const SetupApi* SystemSetupApi();

}  // namespace korvane
