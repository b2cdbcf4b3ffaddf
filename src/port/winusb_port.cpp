#include "port/winusb_port.h"

#include "log/diag_log.h"
#include "port/port_kinds.h"
#include "port/winusb_device.h"

namespace korvane {

namespace {

uint32_t NonNegative(int32_t ms) { return ms < 0 ? 0u : static_cast<uint32_t>(ms); }

void LogWinUsbError(const char* scope, uint32_t number, uint32_t err) {
  DiagLogAppend(StrFormat("(%s) Ошибка №%u работы с winusb.dll", scope, number), static_cast<int32_t>(err));
}

class WinUsbPortDevice final : public PortDevice {
 public:
  explicit WinUsbPortDevice(std::unique_ptr<WinUsbDevice> device) : device_(std::move(device)) {}

  bool HasHandle() const override { return device_->IsOpen(); }

  uint32_t Send(const uint8_t* data, uint32_t length, int32_t timeout_ms, uint32_t& err) override {
    // The pipe policy is a call into the stack: set it only when it changes.
    const uint32_t t = NonNegative(timeout_ms);
    if (t != device_->WriteTimeout()) device_->SetWriteTimeout(t);
    uint32_t written = 0;
    if (const uint32_t n = device_->Write(data, length, written, err)) {
      LogWinUsbError("Port->Write", n, err);
      return 0;
    }
    return written;
  }

  uint32_t ReadMore(uint8_t* buffer, uint32_t count, uint32_t capacity, int32_t timeout_ms, uint32_t& err) override {
    const uint32_t t = NonNegative(timeout_ms);
    if (t != device_->ReadTimeout()) device_->SetReadTimeout(t);
    uint32_t got = 0;
    if (const uint32_t n = device_->Read(buffer + count, capacity - count, got, err))
      LogWinUsbError("Port->Read", n, err);
    return count + got;
  }

  void Purge() override { device_->Flush(); }
  void Close() override { device_->Close(); }

 private:
  std::unique_ptr<WinUsbDevice> device_;
};

}  // namespace

std::unique_ptr<PortDevice> OpenWinUsbPort(const std::string& device_path, uint32_t& err,
                                           std::unique_ptr<WinUsbLoader> loader) {
  auto device = std::make_unique<WinUsbDevice>(device_path, std::move(loader));
  uint32_t system_error = 0;
  uint32_t number = device->LoadEntryPoints();
  if (number == 0) number = device->Open(system_error);
  if (number != 0) {
    LogWinUsbError("Port->Init|Open", number, system_error);
    err = system_error ? system_error : kErrStepNoSystemError;
    return nullptr;  // the device closes and unloads as it goes
  }
  err = 0;
  return std::make_unique<WinUsbPortDevice>(std::move(device));
}

std::unique_ptr<PortDevice> OpenWinUsbPort(const std::string& device_path, uint32_t& err) {
  return OpenWinUsbPort(device_path, err, SystemWinUsbLoader());
}

}  // namespace korvane
