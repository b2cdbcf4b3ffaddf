#include "port/port_descriptor.h"

#include "platform/usb_devices.h"

namespace korvane {

uint32_t EnumerateHandheldUsbDevices(std::vector<PortDescriptor>& records) {
  records.clear();
  for (auto& d : EnumerateHandheldUsbDevices()) {
    PortDescriptor p;
    p.internal_type = kPortTypeUsb;
    p.service = std::move(d.service);
    p.device_paths = std::move(d.interface_paths);
    records.push_back(std::move(p));
  }
  return static_cast<uint32_t>(records.size());
}

}  // namespace korvane
