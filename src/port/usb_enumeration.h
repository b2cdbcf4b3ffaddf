// USB terminals found through the device-setup table.
#pragma once
#include <cstdint>
#include <vector>

#include "platform/setup_api.h"
#include "port/port_descriptor.h"

namespace korvane {

// The present devices of the hand-held interface class through `api`; `records` is emptied first.
uint32_t EnumerateHandheldUsbDevices(const SetupApi& api, std::vector<PortDescriptor>& records);

}  // namespace korvane
