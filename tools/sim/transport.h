// Where the simulator meets the library: a TCP listener on loopback, a pseudo-terminal it creates,
// an existing serial device, or a connection back to the PC as a docked terminal makes it. Each accepted connection (or
// each opening of the pty) is served over an FdDevice; on a device, a connection lasts while the device stays open.
// Sessions within a connection are told apart by the PC's handshakes, not here.
#pragma once
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "port/link_port.h"

namespace korvane::sim {

// What the simulator serves a session over.
class SimDevice : public PortDevice {
 public:
  // Waits up to `wait` (finer than the millisecond time-outs of ReadMore) for input or a hang-up.
  virtual bool WaitReadable(std::chrono::nanoseconds wait) = 0;
};

// A connected socket or a pty master as a PortDevice (POSIX). Waits with poll, so an idle line costs no
// CPU. HasHandle turns false once the peer has gone (socket closed, pty slave closed).
class FdDevice final : public SimDevice {
 public:
  // Takes ownership of `fd` unless `owned` is false.
  FdDevice(int fd, bool owned);
  ~FdDevice() override;

  bool HasHandle() const override { return !gone_; }
  uint32_t Send(const uint8_t* data, uint32_t length, int32_t timeout_ms, uint32_t& err) override;
  uint32_t ReadMore(uint8_t* buffer, uint32_t count, uint32_t capacity, int32_t timeout_ms, uint32_t& err) override;
  void Purge() override {}
  void Close() override;
  bool WaitReadable(std::chrono::nanoseconds wait) override;

 private:
  int fd_;
  bool owned_;
  bool gone_ = false;
};

class Transport {
 public:
  virtual ~Transport() = default;
  // What to print once the transport is ready: the port, or the pty's path.
  virtual std::string Describe() const = 0;
  // Waits up to `timeout_ms` (-1: forever) for the library; null on time-out.
  virtual std::unique_ptr<SimDevice> Accept(int32_t timeout_ms) = 0;
  // Called after a session ended, before the next Accept.
  virtual void SessionEnded() {}
};

// 127.0.0.1 unless another loopback address is given; the simulator refuses anything else.
std::unique_ptr<Transport> ListenTcp(const std::string& host_port, std::string& error);
// A pty in raw mode; `link` (may be empty) becomes a symbolic link to its slave, removed again
// when the transport goes. Windows has none: null with `error` saying so.
std::unique_ptr<Transport> CreatePty(const std::string& link, std::string& error);
// An existing serial device or pty (on Windows a COM port, such as one end of a virtual pair), raw 8N1 at `baud`
// without flow control; fails if it cannot be opened now. `say` hears when the device goes away and when it is open
// again.
std::unique_ptr<Transport> OpenDevice(const std::string& path, uint32_t baud,
                                      std::function<void(const std::string&)> say, std::string& error);

// A docked terminal: waits until `file` holds the PC's connect-back value (as written into the
// device's registry), connects to 127.0.0.1 at its port, and after each session waits for the
// value to be written anew. `say` hears about values it cannot use.
std::unique_ptr<Transport> ConnectBack(const std::string& file, std::function<void(const std::string&)> say,
                                       std::string& error);

}  // namespace korvane::sim
