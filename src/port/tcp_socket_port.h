// The socket object of the Lan and ActiveSync kinds.
#pragma once
#include <cstdint>
#include <string>

#include "platform/tcp_socket.h"

namespace korvane {

class TcpSocket {
 public:
  TcpSocket() = default;
  ~TcpSocket() { Close(); }
  TcpSocket(const TcpSocket&) = delete;
  TcpSocket& operator=(const TcpSocket&) = delete;

  // "host:port", or a bare port on localhost.
  bool Connect(const std::string& address, uint32_t& err);
  // Bytes moved; -1 on error with `err` (would-block is an error value too, see SocketWouldBlock).
  int32_t Send(const uint8_t* data, uint32_t length, uint32_t& err);
  int32_t Recv(uint8_t* buffer, uint32_t length, uint32_t& err);
  bool WaitReadable(int32_t ms) const;
  void Close();
  void Attach(SocketHandle s);
  // Binds to `host` (0 in `port` picks one, written back), listens, switches to non-blocking.
  bool Listen(const std::string& host, uint16_t& port, int backlog, uint32_t& err);
  bool Accept(SocketHandle& out, int32_t timeout_ms, uint32_t& err);

  bool IsOpen() const { return socket_ != kInvalidSocket; }
  SocketHandle Handle() const { return socket_; }

 private:
  SocketHandle socket_ = kInvalidSocket;
};

}  // namespace korvane
