// Kinds 4 and 5: a TCP connection to the terminal (dialled, or accepted from a docked device).
#include <atomic>
#include <cstdlib>
#include <optional>
#include <vector>

#include "log/diag_log.h"
#include "platform/errors.h"
#include "platform/ticks.h"
#include "port/port_kinds.h"
#include "port/port_names.h"
#include "port/tcp_socket_port.h"

namespace korvane {

namespace {

constexpr const char* kDefaultHost = "localhost";
constexpr uint32_t kPurgeScratchBytes = 256;

constexpr uint32_t kMaxTcpPort = 65535;
constexpr size_t kMaxTcpPortDigits = 5;

// Digits only, 1 to 65535: a sign, a space, trailing letters or a number that would wrap make the
// name wrong, never another port.
std::optional<uint16_t> DecimalPort(const std::string& s) {
  if (s.empty() || s.size() > kMaxTcpPortDigits) return std::nullopt;
  uint32_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + static_cast<uint32_t>(c - '0');
  }
  if (v == 0 || v > kMaxTcpPort) return std::nullopt;
  return static_cast<uint16_t>(v);
}

class TcpPortDevice final : public PortDevice {
 public:
  TcpSocket& Socket() { return socket_; }
  // The socket object lives until LvlClose; a socket closed underneath reports err 6 on send.
  bool HasHandle() const override { return true; }

  uint32_t Send(const uint8_t* data, uint32_t length, int32_t timeout_ms, uint32_t& err) override {
    // A full socket buffer is waited out within the time-out rather than dropping the rest of the
    // frame: a frame cut short on a byte stream would corrupt every frame after it.
    const uint32_t deadline = TickCount() + static_cast<uint32_t>(timeout_ms < 0 ? 0 : timeout_ms);
    uint32_t sent = 0;
    while (sent < length) {
      uint32_t e = kErrInvalidHandle;
      const int32_t n = lost_ ? -1 : socket_.Send(data + sent, length - sent, e);
      if (n > 0) {
        sent += static_cast<uint32_t>(n);
        continue;
      }
      if (n < 0 && !SocketWouldBlock(e)) {
        Lose();
        err = e;
        LogSocketError("(Port->Write) Ошибка winsock", e);
        return 0;
      }
      int32_t left = TicksLeft(TickCount(), deadline);
      if (left <= 0 || !SocketWaitWritable(socket_.Handle(), left)) break;
    }
    err = 0;
    return sent;
  }

  uint32_t ReadMore(uint8_t* buffer, uint32_t count, uint32_t capacity, int32_t timeout_ms, uint32_t& err) override {
    if (lost_) {
      err = kErrInvalidHandle;  // lost underneath: as a send says
      return count;
    }
    if (!socket_.WaitReadable(timeout_ms)) return count;
    uint32_t e = 0;
    int32_t n = socket_.Recv(buffer + count, capacity - count, e);
    if (n > 0) {
      err = 0;
      return count + static_cast<uint32_t>(n);
    }
    if (n == 0) {
      // The peer closed (a terminal switched off): nothing more can come, so the device is lost
      // rather than quiet, or every caller would wait out its whole time-out.
      Lose();
      err = kErrDeviceLost;
      return count;
    }
    if (SocketWouldBlock(e)) {
      err = 0;
      return count;
    }
    Lose();
    err = e;
    LogSocketError("(Port->Read) Ошибка winsock", e);
    return count;
  }

  void Purge() override {
    uint8_t scratch[kPurgeScratchBytes];
    for (;;) {
      uint32_t e = 0;
      if (socket_.Recv(scratch, sizeof scratch, e) <= 0) break;
    }
  }

  void Close() override {
    if (socket_.IsOpen() && !lost_) SocketShutdownBoth(socket_.Handle());
    socket_.Close();
  }

 private:
  static void LogSocketError(const char* message, uint32_t e) { DiagLogAppend(message, static_cast<int32_t>(e)); }
  // A socket the peer closed, or that failed, is only shut down: the handle stays ours until
  // Close, because the add-in's bridge reads and writes one port from two threads, and a handle
  // closed under a send could already belong to another socket when the send reaches the system.
  void Lose() {
    if (!lost_.exchange(true)) SocketShutdownBoth(socket_.Handle());
  }
  TcpSocket socket_;
  std::atomic<bool> lost_{false};
};

}  // namespace

bool TcpSocket::Connect(const std::string& address, uint32_t& err) {
  Close();
  auto pieces = SplitDroppingEmpty(address, ":");
  std::string host = kDefaultHost;
  std::optional<uint16_t> port;
  if (pieces.size() == 2) {
    host = pieces[0];
    port = DecimalPort(pieces[1]);
  } else if (pieces.size() < 2) {
    port = DecimalPort(address);
  }
  if (!port) {
    err = kErrBadPortName;
    return false;
  }
  socket_ = SocketConnect(host, *port, err);
  return socket_ != kInvalidSocket;
}

int32_t TcpSocket::Send(const uint8_t* data, uint32_t length, uint32_t& err) {
  if (socket_ == kInvalidSocket) {
    err = kErrInvalidHandle;
    return -1;
  }
  return SocketSend(socket_, data, length, err);
}

int32_t TcpSocket::Recv(uint8_t* buffer, uint32_t length, uint32_t& err) {
  if (socket_ == kInvalidSocket) {
    err = kErrInvalidHandle;
    return -1;
  }
  return SocketRecv(socket_, buffer, length, err);
}

bool TcpSocket::WaitReadable(int32_t ms) const { return socket_ != kInvalidSocket && SocketWaitReadable(socket_, ms); }

void TcpSocket::Close() {
  if (socket_ != kInvalidSocket) SocketClose(socket_);
  socket_ = kInvalidSocket;
}

void TcpSocket::Attach(SocketHandle s) {
  Close();
  socket_ = s;
}

bool TcpSocket::Listen(const std::string& host, uint16_t& port, int backlog, uint32_t& err) {
  Close();
  socket_ = SocketListen(host, port, backlog, err);
  if (socket_ != kInvalidSocket) SocketSetNonBlocking(socket_);
  return socket_ != kInvalidSocket;
}

bool TcpSocket::Accept(SocketHandle& out, int32_t timeout_ms, uint32_t& err) {
  out = SocketAccept(socket_, timeout_ms, err);
  return out != kInvalidSocket;
}

std::unique_ptr<PortDevice> OpenTcpPort(const std::string& address, uint32_t& err) {
  auto port = std::make_unique<TcpPortDevice>();
  if (!port->Socket().Connect(address, err)) return nullptr;
  err = 0;
  return port;
}

std::unique_ptr<PortDevice> AdoptTcpSocket(SocketHandle s) {
  auto port = std::make_unique<TcpPortDevice>();
  port->Socket().Attach(s);
  return port;
}

}  // namespace korvane
