#include "support/fake_setup_api.h"

#include <cstring>

namespace korvane::test {

namespace {
constexpr uint32_t kErrInvalidHandle = 6;
constexpr uint32_t kErrInvalidData = 13;
constexpr uint32_t kErrInvalidParameter = 87;
constexpr uint32_t kErrInsufficientBuffer = 122;
constexpr uint32_t kErrNoMoreItems = 259;
constexpr uint32_t kErrInvalidUserBuffer = 1784;
// The detail record as the system declares it: packed to single bytes on 32-bit (4 + 1) and to
// eight on 64-bit (4 + 1 rounded up).
constexpr uint32_t kSystemDetailRecordSize = sizeof(void*) == 8 ? 8 : 5;
constexpr uint32_t kDetailPathOffset = 4;
}  // namespace

// The record bytes carry the fake's own indexes.
struct FakeSetupCalls {
  static FakeSetupApi& Self(void* context) { return *static_cast<FakeSetupApi*>(context); }

  static bool Fail(FakeSetupApi& f, uint32_t error) {
    f.last_error_ = error;
    return false;
  }

  static bool KnownSet(FakeSetupApi& f, SetupDeviceSet set) {
    if (set == &f && f.sets_open > 0) return true;
    ++f.refused_calls;
    return Fail(f, kErrInvalidHandle);
  }

  static const FakeSetupDevice* DeviceOf(FakeSetupApi& f, const SetupDeviceRecord& r) {
    uint32_t index = 0;
    std::memcpy(&index, r.bytes, sizeof index);
    if (index >= f.devices.size()) {
      ++f.refused_calls;
      return nullptr;
    }
    return &f.devices[index];
  }

  static SetupDeviceSet GetClassDevs(void* context, const SetupGuid& interface_class, uint32_t flags) {
    FakeSetupApi& f = Self(context);
    f.flags_asked = flags;
    f.class_asked = interface_class;
    if (f.class_devs_error != 0) {
      Fail(f, f.class_devs_error);
      return nullptr;
    }
    ++f.sets_open;
    return &f;
  }

  static bool EnumDeviceInfo(void* context, SetupDeviceSet set, uint32_t index, SetupDeviceRecord& device) {
    FakeSetupApi& f = Self(context);
    if (!KnownSet(f, set)) return false;
    if (index >= f.devices.size()) return Fail(f, kErrNoMoreItems);
    std::memcpy(device.bytes, &index, sizeof index);
    return true;
  }

  static bool EnumDeviceInterfaces(void* context, SetupDeviceSet set, SetupDeviceRecord* device,
                                   const SetupGuid& interface_class, uint32_t index, SetupInterfaceRecord& record) {
    FakeSetupApi& f = Self(context);
    if (!KnownSet(f, set)) return false;
    if (std::memcmp(&interface_class, &f.class_asked, sizeof interface_class) != 0) return Fail(f, kErrNoMoreItems);
    // Without a device the interfaces of the whole set count, in device order.
    uint32_t first = 0, last = static_cast<uint32_t>(f.devices.size());
    if (device) {
      std::memcpy(&first, device->bytes, sizeof first);
      if (!DeviceOf(f, *device)) return Fail(f, kErrInvalidParameter);
      last = first + 1;
    }
    for (uint32_t d = first; d < last; ++d) {
      const uint32_t count = static_cast<uint32_t>(f.devices[d].interface_paths.size());
      if (index < count) {
        std::memcpy(record.bytes, &d, sizeof d);
        std::memcpy(record.bytes + sizeof d, &index, sizeof index);
        return true;
      }
      index -= count;
    }
    return Fail(f, kErrNoMoreItems);
  }

  static bool GetDetail(void* context, SetupDeviceSet set, SetupInterfaceRecord& record, uint8_t* detail,
                        uint32_t detail_size, uint32_t* required_size) {
    FakeSetupApi& f = Self(context);
    if (!KnownSet(f, set)) return false;
    uint32_t d = 0, i = 0;
    std::memcpy(&d, record.bytes, sizeof d);
    std::memcpy(&i, record.bytes + sizeof d, sizeof i);
    if (d >= f.devices.size() || i >= f.devices[d].interface_paths.size()) {
      ++f.refused_calls;
      return Fail(f, kErrInvalidParameter);
    }
    const std::string& path = f.devices[d].interface_paths[i];
    const uint32_t needed = kDetailPathOffset + static_cast<uint32_t>(path.size()) + 1;
    if (required_size) *required_size = needed;
    if (detail) {
      uint32_t size_field = 0;
      std::memcpy(&size_field, detail, sizeof size_field);
      if (size_field != kSystemDetailRecordSize) {
        ++f.refused_calls;
        return Fail(f, kErrInvalidUserBuffer);
      }
    }
    if (!detail || detail_size < needed) return Fail(f, kErrInsufficientBuffer);
    std::memcpy(detail + kDetailPathOffset, path.c_str(), path.size() + 1);
    return true;
  }

  static bool GetProperty(void* context, SetupDeviceSet set, SetupDeviceRecord& device, uint32_t property,
                          uint8_t* buffer, uint32_t buffer_size, uint32_t* required_size) {
    FakeSetupApi& f = Self(context);
    if (!KnownSet(f, set)) return false;
    const FakeSetupDevice* dev = DeviceOf(f, device);
    if (!dev) return Fail(f, kErrInvalidParameter);
    const auto it = dev->properties.find(property);
    if (it == dev->properties.end()) return Fail(f, kErrInvalidData);
    const uint32_t size = static_cast<uint32_t>(it->second.size());
    if (required_size) *required_size = size;
    if (size > buffer_size) return Fail(f, kErrInsufficientBuffer);
    std::memcpy(buffer, it->second.data(), size);
    return true;
  }

  static void Destroy(void* context, SetupDeviceSet set) {
    FakeSetupApi& f = Self(context);
    if (KnownSet(f, set)) --f.sets_open;
  }

  static uint32_t LastError(void* context) { return Self(context).last_error_; }
  static void DebugOutput(void* context, const char* text) { Self(context).debug_text += text; }
};

FakeSetupApi::FakeSetupApi() {
  api_.context = this;
  api_.get_class_devs = FakeSetupCalls::GetClassDevs;
  api_.enum_device_info = FakeSetupCalls::EnumDeviceInfo;
  api_.enum_device_interfaces = FakeSetupCalls::EnumDeviceInterfaces;
  api_.get_device_interface_detail = FakeSetupCalls::GetDetail;
  api_.get_device_registry_property = FakeSetupCalls::GetProperty;
  api_.destroy_device_info_list = FakeSetupCalls::Destroy;
  api_.last_error = FakeSetupCalls::LastError;
  api_.debug_output = FakeSetupCalls::DebugOutput;
}

}  // namespace korvane::test
