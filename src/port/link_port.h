// The port: one object through which raw bytes go to and from a terminal, whatever the link.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace korvane {

struct PortDescriptor;

enum PortKind : uint32_t {
  Serial = 0,
  IrDA = 1,
  UsbSerial = 2,
  WinUsb = 3,
  Lan = 4,
  ActiveSync = 5,
  Rdp = 6,
};

// Error values of the port layer beside the system's own.
constexpr uint32_t kErrNoHandle = 3;          // send/read on a port without a native handle
constexpr uint32_t kErrIrdaOpen = 1;          // IrDA: the port file cannot be opened
constexpr uint32_t kErrIrdaNoRate = 2;        // IrDA: no rate answered the adapter probe
constexpr uint32_t kErrStepNoSystemError = 1; // WinUSB / channel open failed without a system error

// One kind's native link. The port layer drives it; a test may hand one in.
class PortDevice {
 public:
  virtual ~PortDevice() = default;
  // False once the native handle or object is gone (a socket closed underneath).
  virtual bool HasHandle() const = 0;
  virtual uint32_t Send(const uint8_t* data, uint32_t length, int32_t timeout_ms, uint32_t& err) = 0;
  // Reads at most capacity - count bytes to buffer + count; returns the new count.
  virtual uint32_t ReadMore(uint8_t* buffer, uint32_t count, uint32_t capacity, int32_t timeout_ms, uint32_t& err) = 0;
  virtual void Purge() = 0;
  virtual void Close() = 0;
};

// Sees every byte a port moves, each direction in order (the frame trace decodes them). Sent and
// Received may come from two threads, one each.
class WireTap {
 public:
  virtual ~WireTap() = default;
  virtual void Sent(const uint8_t* data, uint32_t length) = 0;
  virtual void Received(const uint8_t* data, uint32_t length) = 0;
};

struct LinkPort {
  uint32_t kind = Serial;
  std::unique_ptr<PortDevice> device;
  std::unique_ptr<WireTap> tap;  // none unless traced
  // Sends and reads that failed with an error of the port, so far. A relay sends and reads on
  // one port from two threads.
  std::atomic<uint32_t> errors{0};

  // Stable per-port number printed as %8.8X in the dumps.
  uint32_t Identity() const { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(this)); }
};

// Turns a user's port name into a kind and a name the open understands; may rewrite the name.
PortKind ResolvePortKind(std::string& name);
// The same over another list of USB devices than the system's (tests).
using UsbDeviceEnumerator = std::function<uint32_t(std::vector<PortDescriptor>&)>;
PortKind ResolvePortKind(std::string& name, const UsbDeviceEnumerator& enumerate);

LinkPort* LvlOpen(const std::string& name, uint32_t kind, uint32_t& err);
uint32_t LvlSend(LinkPort* port, const uint8_t* data, uint32_t length, int32_t timeout_ms, uint32_t& err);
uint32_t LvlReadMore(LinkPort* port, uint8_t* buffer, uint32_t& count, uint32_t capacity, int32_t timeout_ms,
                     uint32_t& err);
void LvlPurge(LinkPort* port);
void LvlClose(LinkPort* port);

// Wraps a device built elsewhere (tests, in-memory links) as a port of `kind`.
LinkPort* LvlAdopt(std::unique_ptr<PortDevice> device, uint32_t kind);

}  // namespace korvane
