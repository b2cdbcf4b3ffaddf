#include "port/port_descriptor.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

#include "platform/serial_port_list.h"
#include "port/sysfs_ports.h"
#include "port/usb_enumeration.h"

namespace korvane {

namespace {

constexpr uint32_t kPropertyBufferBytes = 10000;
constexpr uint32_t kDetailBufferBytes = 10000;
constexpr size_t kDebugTextBytes = 64;

// The text of a stored value: up to its first NUL, never past the bytes the call said it stored.
std::string TextOf(const uint8_t* data, uint32_t stored, uint32_t capacity) {
  const size_t limit = std::min(stored, capacity);
  const auto* end = static_cast<const uint8_t*>(std::memchr(data, 0, limit));
  return std::string(reinterpret_cast<const char*>(data), end ? static_cast<size_t>(end - data) : limit);
}

std::string ReadProperty(const SetupApi& api, SetupDeviceSet set, SetupDeviceRecord& device, uint32_t property,
                         uint8_t* buffer) {
  uint32_t stored = 0;
  if (!api.get_device_registry_property(api.context, set, device, property, buffer, kPropertyBufferBytes, &stored))
    return {};
  return TextOf(buffer, stored, kPropertyBufferBytes);
}

}  // namespace

uint32_t EnumerateHandheldUsbDevices(const SetupApi& api, std::vector<PortDescriptor>& records) {
  records.clear();
  SetupDeviceSet set = api.get_class_devs(api.context, kHandheldInterfaceClass, kDigcfPresent | kDigcfDeviceInterface);
  if (!set) {
    char text[kDebugTextBytes];
    std::snprintf(text, sizeof text, "Error in SetupDiGetClassDevsEx: %u\r\n", api.last_error(api.context));
    api.debug_output(api.context, text);
    return 0;
  }
  auto buffer = std::make_unique<uint8_t[]>(std::max(kPropertyBufferBytes, kDetailBufferBytes));
  SetupDeviceRecord device{};
  for (uint32_t i = 0; api.enum_device_info(api.context, set, i, device); ++i) {
    PortDescriptor d;
    d.internal_type = kPortTypeUsb;
    d.service = ReadProperty(api, set, device, kSpdrpService, buffer.get());
    d.vendor = ReadProperty(api, set, device, kSpdrpMfg, buffer.get());
    d.port_desc = ReadProperty(api, set, device, kSpdrpDeviceDesc, buffer.get());
    d.device_class = ReadProperty(api, set, device, kSpdrpClass, buffer.get());
    d.class_guid = ReadProperty(api, set, device, kSpdrpClassGuid, buffer.get());
    d.driver = ReadProperty(api, set, device, kSpdrpDriver, buffer.get());
    d.pdo = ReadProperty(api, set, device, kSpdrpPhysicalDeviceObjectName, buffer.get());
    d.location = ReadProperty(api, set, device, kSpdrpLocationInformation, buffer.get());
    // A list of strings: the text up to the first NUL is its first entry.
    d.hardware_id = ReadProperty(api, set, device, kSpdrpHardwareId, buffer.get());

    SetupInterfaceRecord iface{};
    for (uint32_t k = 0; api.enum_device_interfaces(api.context, set, &device, kHandheldInterfaceClass, k, iface);
         ++k) {
      std::memset(buffer.get(), 0, kDetailBufferBytes);
      std::memcpy(buffer.get(), &kInterfaceDetailRecordSize, sizeof kInterfaceDetailRecordSize);
      uint32_t required = 0;
      if (!api.get_device_interface_detail(api.context, set, iface, buffer.get(), kDetailBufferBytes, &required))
        continue;
      const uint32_t stored = required > 0 ? required : kDetailBufferBytes;
      d.device_paths.push_back(TextOf(buffer.get() + kInterfaceDetailPathOffset,
                                      stored > kInterfaceDetailPathOffset ? stored - kInterfaceDetailPathOffset : 0,
                                      kDetailBufferBytes - kInterfaceDetailPathOffset));
    }
    records.push_back(std::move(d));
  }
  api.destroy_device_info_list(api.context, set);
  return static_cast<uint32_t>(records.size());
}

uint32_t EnumerateHandheldUsbDevices(std::vector<PortDescriptor>& records) {
  if (const SetupApi* api = SystemSetupApi()) return EnumerateHandheldUsbDevices(*api, records);
  // Without the setup library the kernel's device tree tells which ttys the sync driver holds.
  records.clear();
  for (auto& d : ScanSysfsTtys(SysfsRoot())) {
    if (d.internal_type == kPortTypeUsb) records.push_back(std::move(d));
  }
  return static_cast<uint32_t>(records.size());
}

void AppendSerialPorts(std::vector<PortDescriptor>& records) {
  for (std::string& name : SerialPortNames()) {
    PortDescriptor serial;
    serial.internal_type = kPortTypeSerial;
    serial.device_paths.push_back(std::move(name));
    records.push_back(std::move(serial));
  }
}

}  // namespace korvane
