#include <winsock2.h>
#include <ws2tcpip.h>

#include "platform/tcp_socket.h"

namespace korvane {

namespace {
constexpr WORD kWinsockVersion = MAKEWORD(2, 2);
constexpr u_long kNonBlocking = 1;

// Winsock for the life of the process.
class WinsockSession {
 public:
  WinsockSession() {
    WSADATA data{};
    if (::WSAStartup(kWinsockVersion, &data) != 0) return;
    if (data.wVersion != kWinsockVersion) {
      ::WSACleanup();
      return;
    }
    started_ = true;
  }
  WinsockSession(const WinsockSession&) = delete;
  WinsockSession& operator=(const WinsockSession&) = delete;
  bool Started() const { return started_; }

 private:
  bool started_ = false;
};

SOCKET AsSocket(SocketHandle s) { return static_cast<SOCKET>(s); }

bool ResolveIpv4(const std::string& host, in_addr& out) {
  if (const hostent* he = ::gethostbyname(host.c_str());
      he && he->h_addrtype == AF_INET && he->h_addr_list && he->h_addr_list[0]) {
    memcpy(&out, he->h_addr_list[0], sizeof out);
    return true;
  }
  const unsigned long a = ::inet_addr(host.c_str());
  if (a == INADDR_NONE) return false;
  out.s_addr = a;
  return true;
}

timeval TimevalFromMs(int32_t ms) {
  if (ms < 1) return timeval{0, 0};
  return timeval{ms / 1000, (ms % 1000) * 1000};
}

void SetNoDelay(SOCKET s) {
  BOOL one = TRUE;
  ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
}

uint32_t ResolveError() {
  const uint32_t e = LastSocketError();
  return e ? e : static_cast<uint32_t>(WSAHOST_NOT_FOUND);
}
}  // namespace

// Started on first use and never cleaned up: in the DLL a cleanup would run under the loader
// lock at unload, where Winsock must not be called. The process's end gives it back.
bool StartSockets() {
  static const WinsockSession* session = new WinsockSession;
  return session->Started();
}

uint32_t LastSocketError() { return static_cast<uint32_t>(::WSAGetLastError()); }

bool SocketWouldBlock(uint32_t err) { return err == static_cast<uint32_t>(WSAEWOULDBLOCK); }

SocketHandle SocketConnect(const std::string& host, uint16_t port, uint32_t& err, int32_t /*limit_ms*/) {
  StartSockets();
  in_addr addr{};
  if (!ResolveIpv4(host, addr)) {
    err = ResolveError();
    return kInvalidSocket;
  }
  SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) {
    err = LastSocketError();
    return kInvalidSocket;
  }
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr = addr;
  if (::connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    err = LastSocketError();
    ::closesocket(s);
    return kInvalidSocket;
  }
  SetNoDelay(s);
  SocketSetNonBlocking(static_cast<SocketHandle>(s));
  err = 0;
  return static_cast<SocketHandle>(s);
}

SocketHandle SocketListen(const std::string& host, uint16_t& port, int backlog, uint32_t& err) {
  StartSockets();
  in_addr addr{};
  if (!ResolveIpv4(host.empty() ? "127.0.0.1" : host, addr)) {
    err = ResolveError();
    return kInvalidSocket;
  }
  SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) {
    err = LastSocketError();
    return kInvalidSocket;
  }
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr = addr;
  int len = sizeof sa;
  if (::bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(s, backlog) != 0 ||
      ::getsockname(s, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
    err = LastSocketError();
    ::closesocket(s);
    return kInvalidSocket;
  }
  port = ntohs(sa.sin_port);
  err = 0;
  return static_cast<SocketHandle>(s);
}

SocketHandle SocketAccept(SocketHandle listener, int32_t timeout_ms, uint32_t& err) {
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(AsSocket(listener), &readable);
  timeval tv = TimevalFromMs(timeout_ms);
  const int r = ::select(0, &readable, nullptr, nullptr, timeout_ms < 0 ? nullptr : &tv);
  if (r <= 0) {
    err = r == 0 ? static_cast<uint32_t>(WSAETIMEDOUT) : LastSocketError();
    return kInvalidSocket;
  }
  SOCKET s = ::accept(AsSocket(listener), nullptr, nullptr);
  if (s == INVALID_SOCKET) {
    err = LastSocketError();
    return kInvalidSocket;
  }
  SetNoDelay(s);
  SocketSetNonBlocking(static_cast<SocketHandle>(s));
  err = 0;
  return static_cast<SocketHandle>(s);
}

bool SocketSetNonBlocking(SocketHandle s) {
  u_long mode = kNonBlocking;
  return ::ioctlsocket(AsSocket(s), FIONBIO, &mode) == 0;
}

int32_t SocketSend(SocketHandle s, const uint8_t* data, uint32_t size, uint32_t& err) {
  const int n = ::send(AsSocket(s), reinterpret_cast<const char*>(data), static_cast<int>(size), 0);
  if (n == SOCKET_ERROR) {
    err = LastSocketError();
    return -1;
  }
  err = 0;
  return n;
}

int32_t SocketRecv(SocketHandle s, uint8_t* buffer, uint32_t size, uint32_t& err) {
  const int n = ::recv(AsSocket(s), reinterpret_cast<char*>(buffer), static_cast<int>(size), 0);
  if (n == SOCKET_ERROR) {
    err = LastSocketError();
    return -1;
  }
  err = 0;
  return n;
}

bool SocketWaitReadable(SocketHandle s, int32_t timeout_ms) {
  fd_set readable, failed;
  FD_ZERO(&readable);
  FD_ZERO(&failed);
  FD_SET(AsSocket(s), &readable);
  FD_SET(AsSocket(s), &failed);
  timeval tv = TimevalFromMs(timeout_ms);
  return ::select(0, &readable, nullptr, &failed, &tv) > 0;
}

bool SocketWaitWritable(SocketHandle s, int32_t timeout_ms) {
  fd_set writable;
  FD_ZERO(&writable);
  FD_SET(AsSocket(s), &writable);
  timeval tv = TimevalFromMs(timeout_ms);
  return ::select(0, nullptr, &writable, nullptr, &tv) > 0;
}

void SocketShutdownBoth(SocketHandle s) { ::shutdown(AsSocket(s), SD_BOTH); }

void SocketClose(SocketHandle s) {
  if (s != kInvalidSocket) ::closesocket(AsSocket(s));
}

}  // namespace korvane
