// Windows: TCP on loopback and COM ports (a null-modem cable, or one end of a virtual serial pair
// whose other end the application opens), both through the platform layer the library uses.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdlib>
#include <thread>
#include <vector>

#include "platform/errors.h"
#include "platform/serial_device.h"
#include "platform/tcp_socket.h"
#include "transport.h"
#include "transport_platform.h"
#include "wide_text.h"

namespace korvane::sim {

namespace {

constexpr int32_t kReopenWaitMs = 500;
// A COM port tells nothing of arriving bytes without overlapped I/O (unusable on some drivers):
// reads return at once, and an idle line is looked at this often.
constexpr auto kSerialPollPause = std::chrono::milliseconds(2);
constexpr uint32_t kSerialQueueBytes = 65536;
constexpr uint32_t kSerialWriteLimitMs = 5000;
constexpr size_t kSerialChunk = 65536;
constexpr uint8_t kDataBits = 8;

std::string ErrorText(uint32_t err) { return tools::AnsiToUtf8(SystemErrorText(err)); }

int32_t CeilMs(std::chrono::nanoseconds wait) {
  if (wait.count() <= 0) return 0;
  return static_cast<int32_t>(std::chrono::ceil<std::chrono::milliseconds>(wait).count());
}

class SocketDevice final : public SimDevice {
 public:
  explicit SocketDevice(SocketHandle s) : s_(s) {}
  ~SocketDevice() override { Close(); }

  bool HasHandle() const override { return !gone_; }

  uint32_t Send(const uint8_t* data, uint32_t length, int32_t timeout_ms, uint32_t& err) override {
    err = 0;
    uint32_t sent = 0;
    while (sent < length && !gone_) {
      const int32_t n = SocketSend(s_, data + sent, length - sent, err);
      if (n > 0) {
        sent += static_cast<uint32_t>(n);
        continue;
      }
      if (n < 0 && !SocketWouldBlock(err)) {
        gone_ = true;
        break;
      }
      if (!SocketWaitWritable(s_, timeout_ms)) break;
    }
    return sent;
  }

  uint32_t ReadMore(uint8_t* buffer, uint32_t count, uint32_t capacity, int32_t timeout_ms, uint32_t& err) override {
    err = 0;
    if (gone_ || count >= capacity) return count;
    if (!SocketWaitReadable(s_, timeout_ms)) return count;
    const int32_t n = SocketRecv(s_, buffer + count, capacity - count, err);
    if (n > 0) return count + static_cast<uint32_t>(n);
    if (n == 0 || !SocketWouldBlock(err)) gone_ = true;  // the library closed its end
    return count;
  }

  bool WaitReadable(std::chrono::nanoseconds wait) override { return !gone_ && SocketWaitReadable(s_, CeilMs(wait)); }
  void Purge() override {}
  void Close() override {
    if (s_ != kInvalidSocket) SocketClose(s_);
    s_ = kInvalidSocket;
    gone_ = true;
  }

 private:
  SocketHandle s_;
  bool gone_ = false;
};

// A COM port of the transport's, served while it works: a read or write that fails (the adapter
// pulled out, the pair's driver gone) ends the session and the port is opened anew.
class SerialSimDevice final : public SimDevice {
 public:
  explicit SerialSimDevice(SerialDevice& line) : line_(line), chunk_(kSerialChunk) {}

  bool HasHandle() const override { return !gone_; }

  uint32_t Send(const uint8_t* data, uint32_t length, int32_t, uint32_t& err) override {
    err = 0;
    uint32_t done = 0;
    if (gone_) return 0;
    if (!line_.Write(data, length, done)) {
      err = line_.LastError();
      gone_ = true;
    }
    return done;
  }

  uint32_t ReadMore(uint8_t* buffer, uint32_t count, uint32_t capacity, int32_t timeout_ms, uint32_t& err) override {
    err = 0;
    if (count >= capacity) return count;
    if (pending_.empty()) WaitReadable(std::chrono::milliseconds(timeout_ms < 0 ? 0 : timeout_ms));
    const size_t n = std::min<size_t>(capacity - count, pending_.size());
    std::copy(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(n), buffer + count);
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(n));
    return count + static_cast<uint32_t>(n);
  }

  bool WaitReadable(std::chrono::nanoseconds wait) override {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    for (;;) {
      if (!pending_.empty()) return true;
      if (gone_) return false;
      uint32_t done = 0;
      if (!line_.Read(chunk_.data(), static_cast<uint32_t>(chunk_.size()), done)) gone_ = true;
      pending_.insert(pending_.end(), chunk_.begin(), chunk_.begin() + done);
      if (done > 0) return true;
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(kSerialPollPause);
    }
  }

  void Purge() override {}
  void Close() override {}

 private:
  SerialDevice& line_;
  bool gone_ = false;
  std::vector<uint8_t> chunk_;
  std::vector<uint8_t> pending_;
};

bool OpenLine(SerialDevice& line, const std::string& name, uint32_t baud, std::string& error) {
  uint32_t err = 0;
  if (!line.Open(name, false, err)) {
    error = "cannot open " + name + ": " + ErrorText(err) + " (" + std::to_string(err) + ")";
    return false;
  }
  line.SetupQueues(kSerialQueueBytes, kSerialQueueBytes);
  // Reads return at once with what is there; a write may take its time.
  line.SetTimeouts(SerialTimeouts{kMaxDword, 0, 0, 0, kSerialWriteLimitMs});
  // Raw 8N1 without flow control: a three-wire cable carries no modem lines to gate the line.
  SerialLineState s = FreshSerialLineState();
  s.baud_rate = baud;
  s.byte_size = kDataBits;
  s.dtr_control = LineControl::kEnable;
  s.rts_control = LineControl::kEnable;
  if (!line.SetState(s)) {
    error = "cannot set " + name + " to " + std::to_string(baud) + " bit/s: " + ErrorText(line.LastError());
    line.Close();
    return false;
  }
  line.PurgeAll();
  return true;
}

class DeviceTransport final : public Transport {
 public:
  DeviceTransport(std::string name, uint32_t baud, std::function<void(const std::string&)> say)
      : name_(std::move(name)), baud_(baud), say_(std::move(say)) {}

  bool Open(std::string& error) { return OpenLine(line_, name_, baud_, error); }

  std::string Describe() const override { return "device " + name_; }

  std::unique_ptr<SimDevice> Accept(int32_t timeout_ms) override {
    if (!line_.IsOpen()) {
      std::string error;
      if (!Open(error)) {
        const int32_t wait = timeout_ms < 0 || timeout_ms > kReopenWaitMs ? kReopenWaitMs : timeout_ms;
        std::this_thread::sleep_for(std::chrono::milliseconds(wait));
        return nullptr;
      }
      say_("device " + name_ + " open again");
    }
    auto device = std::make_unique<SerialSimDevice>(line_);
    if (device->WaitReadable(std::chrono::milliseconds(timeout_ms < 0 ? kReopenWaitMs : timeout_ms))) return device;
    if (!device->HasHandle()) SessionEnded();
    return nullptr;
  }

  void SessionEnded() override {
    // A session on a serial line ends only when the port fails; its bytes are gone with it.
    line_.Close();
    say_("device " + name_ + " gone; waiting for it");
  }

 private:
  std::string name_;
  uint32_t baud_;
  std::function<void(const std::string&)> say_;
  SerialDevice line_;
};

}  // namespace

std::unique_ptr<SimDevice> AdoptSocket(SocketHandle s) { return std::make_unique<SocketDevice>(s); }

bool IsLoopbackAddress(const std::string& host) {
  constexpr uint8_t kLoopbackNet = 127;
  in_addr addr{};
  return StartSockets() && ::inet_pton(AF_INET, host.c_str(), &addr) == 1 && (ntohl(addr.s_addr) >> 24) == kLoopbackNet;
}

std::string SocketErrorText(uint32_t err) { return ErrorText(err); }

std::unique_ptr<Transport> CreatePty(const std::string&, std::string& error) {
  error = "--pty is not available on Windows: use --listen 127.0.0.1:PORT, or --device COMn on one end of a "
          "virtual serial pair";
  return nullptr;
}

std::unique_ptr<Transport> OpenDevice(const std::string& path, uint32_t baud,
                                      std::function<void(const std::string&)> say, std::string& error) {
  auto transport = std::make_unique<DeviceTransport>(path, baud, std::move(say));
  if (!transport->Open(error)) return nullptr;
  return transport;
}

std::unique_ptr<Transport> ConnectBack(const std::string&, std::function<void(const std::string&)>,
                                       std::string& error) {
  error = "--connect-back is not available on Windows yet";
  return nullptr;
}

}  // namespace korvane::sim
