// Kinds 0, 1 and 2: serial ports, the infrared adapter and the sync driver's USB-serial device.
#include <algorithm>
#include <array>

#include "platform/serial_device.h"
#include "platform/ticks.h"
#include "port/port_kinds.h"

namespace korvane {

namespace {

constexpr uint32_t kQueueBytes = 4096;
constexpr uint32_t kLinkBaudRate = 115200;
constexpr uint32_t kOpenReadConstantMs = 500;
constexpr uint32_t kOpenWriteConstantMs = 1000;
constexpr int32_t kMinSendTimeoutMs = 1;

// Infrared adapter set-up.
constexpr uint32_t kAdapterPauseMs = 100;
constexpr uint32_t kAdapterStartRate = 38400;
constexpr std::array<uint32_t, 5> kAdapterProbeRates = {115200, 57600, 38400, 19200, 9600};
constexpr uint8_t kAdapterProbeByte = 0x0F;
constexpr std::array<uint8_t, 3> kAdapterSetupBytes = {0x07, 0x35, 0x51};
constexpr uint32_t kAdapterLinkRate = 57600;
constexpr uint32_t kIrdaReadIntervalMs = 500;
constexpr uint32_t kIrdaReadConstantMs = 1000;
constexpr uint32_t kIrdaWriteConstantMs = 1000;
constexpr uint32_t kIrdaLinkReadConstantMs = 2500;

class SerialPortDevice final : public PortDevice {
 public:
  explicit SerialPortDevice(uint32_t kind) : kind_(kind) {}
  SerialDevice& Device() { return dev_; }

  bool HasHandle() const override { return dev_.IsOpen(); }

  uint32_t Send(const uint8_t* data, uint32_t length, int32_t timeout_ms, uint32_t& err) override {
    SerialTimeouts t;
    dev_.GetTimeouts(t);
    // A write constant of 0 means "no limit" to a serial handle, so a deadline already reached
    // would block on a stalled driver for ever: the shortest limit is 1 ms.
    t.write_constant = static_cast<uint32_t>(std::max<int32_t>(timeout_ms, kMinSendTimeoutMs));
    dev_.SetTimeouts(t);
    uint32_t written = 0;
    if (dev_.Write(data, length, written)) {
      err = 0;
    } else {
      err = dev_.ClearError();
    }
    return written;
  }

  uint32_t ReadMore(uint8_t* buffer, uint32_t count, uint32_t capacity, int32_t timeout_ms, uint32_t& err) override {
    SerialTimeouts t;
    dev_.GetTimeouts(t);
    if (kind_ != UsbSerial && timeout_ms > 0) {
      // At once with what is buffered, or up to the time-out for the first byte.
      t.read_interval = kMaxDword;
      t.read_multiplier = kMaxDword;
      t.read_constant = static_cast<uint32_t>(timeout_ms);
    } else {
      // The sync driver's device never waits: the callers' loops do.
      t.read_interval = kMaxDword;
      t.read_multiplier = 0;
      t.read_constant = 0;
    }
    dev_.SetTimeouts(t);
    uint32_t got = 0;
    if (dev_.Read(buffer + count, capacity - count, got)) {
      err = 0;
    } else {
      err = dev_.ClearError();
    }
    return count + got;
  }

  void Purge() override { dev_.PurgeAll(); }

  void Close() override {
    if (!dev_.IsOpen()) return;
    dev_.ClearError();
    dev_.PurgeAll();
    dev_.SetDtr(false);
    dev_.Close();
  }

 private:
  uint32_t kind_;
  SerialDevice dev_;
};

void Pause() { SleepMs(kAdapterPauseMs); }

bool ProbeRate(SerialDevice& dev, SerialLineState& dcb, uint32_t rate) {
  dcb.rts_control = LineControl::kDisable;
  dcb.baud_rate = rate;
  dev.SetState(dcb);
  Pause();
  uint32_t n = 0;
  dev.Write(&kAdapterProbeByte, 1, n);
  Pause();
  uint8_t echo = 0;
  uint32_t got = 0;
  dev.Read(&echo, 1, got);
  const bool answered = got == 1 && echo == kAdapterProbeByte;
  dcb.rts_control = LineControl::kEnable;
  dev.SetState(dcb);
  Pause();
  return answered;
}

}  // namespace

std::unique_ptr<PortDevice> OpenSerialPort(const std::string& name, uint32_t kind, uint32_t& err) {
  auto port = std::make_unique<SerialPortDevice>(kind);
  SerialDevice& dev = port->Device();
  if (!dev.Open(name, false, err)) return nullptr;
  dev.SetupQueues(kQueueBytes, kQueueBytes);
  dev.SetTimeouts(SerialTimeouts{kMaxDword, kMaxDword, kOpenReadConstantMs, 0, kOpenWriteConstantMs});
  SerialLineState dcb;
  dev.GetState(dcb);
  const bool null_discard = dcb.null_discard;
  dcb = SerialLineState{};
  dcb.baud_rate = kLinkBaudRate;
  dcb.binary = true;
  dcb.parity_check = false;
  dcb.cts_flow = false;
  dcb.dsr_flow = false;
  dcb.dtr_control = LineControl::kEnable;
  dcb.dsr_sensitivity = false;
  dcb.tx_continue_on_xoff = true;
  dcb.xon_xoff_out = false;
  dcb.xon_xoff_in = false;
  dcb.error_char = false;
  dcb.null_discard = null_discard;
  dcb.rts_control = LineControl::kEnable;
  dcb.abort_on_error = false;
  dcb.byte_size = 8;
  dcb.parity = 0;
  dcb.stop_bits = 0;
  dev.SetState(dcb);  // result ignored: some drivers refuse parts of the state and still work
  dev.SetDtr(true);
  dev.PurgeAll();
  err = 0;
  return port;
}

std::unique_ptr<PortDevice> OpenIrdaPort(const std::string& name, uint32_t& err) {
  auto port = std::make_unique<SerialPortDevice>(IrDA);
  SerialDevice& dev = port->Device();
  uint32_t open_err = 0;
  if (!dev.Open(name, true, open_err)) {
    err = kErrIrdaOpen;
    return nullptr;
  }
  dev.SetupQueues(kQueueBytes, kQueueBytes);
  dev.SetTimeouts(SerialTimeouts{kIrdaReadIntervalMs, 0, kIrdaReadConstantMs, 0, kIrdaWriteConstantMs});
  SerialLineState dcb = FreshSerialLineState();
  dcb.baud_rate = kAdapterStartRate;
  dcb.dtr_control = LineControl::kEnable;
  dcb.rts_control = LineControl::kEnable;
  dcb.byte_size = 8;
  dev.SetState(dcb);
  Pause();
  bool found = false;
  for (uint32_t rate : kAdapterProbeRates) {
    if (ProbeRate(dev, dcb, rate)) {
      found = true;
      break;
    }
  }
  if (!found) {
    dev.Close();
    err = kErrIrdaNoRate;
    return nullptr;
  }
  dcb.rts_control = LineControl::kDisable;
  dev.SetState(dcb);
  Pause();
  for (uint8_t b : kAdapterSetupBytes) {
    uint32_t n = 0;
    dev.Write(&b, 1, n);
    Pause();
  }
  dcb.baud_rate = kAdapterLinkRate;
  dcb.cts_flow = false;
  dcb.xon_xoff_out = false;
  dcb.rts_control = LineControl::kEnable;
  dcb.abort_on_error = true;
  dcb.byte_size = 8;
  dcb.parity = 0;
  dev.SetState(dcb);
  Pause();
  SerialTimeouts t;
  dev.GetTimeouts(t);
  t.read_interval = kMaxDword;
  t.read_multiplier = kMaxDword;
  t.read_constant = kIrdaLinkReadConstantMs;
  dev.SetTimeouts(t);
  err = 0;
  return port;
}

}  // namespace korvane
