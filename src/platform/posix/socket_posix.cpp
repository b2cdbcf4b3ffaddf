#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/errors.h"
#include "platform/tcp_socket.h"
#include "platform/ticks.h"

namespace korvane {

namespace {
bool ResolveIpv4(const std::string& host, in_addr& out) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  if (::getaddrinfo(host.c_str(), nullptr, &hints, &res) == 0 && res) {
    out = reinterpret_cast<sockaddr_in*>(res->ai_addr)->sin_addr;
    ::freeaddrinfo(res);
    return true;
  }
  return ::inet_pton(AF_INET, host.c_str(), &out) == 1;
}

bool WaitFor(SocketHandle s, short events, int32_t timeout_ms) {
  pollfd p{static_cast<int>(s), events, 0};
  int ms = timeout_ms < 1 ? 0 : timeout_ms;
  for (;;) {
    int r = ::poll(&p, 1, ms);
    if (r < 0 && errno == EINTR) continue;
    return r > 0;
  }
}
}  // namespace

bool StartSockets() { return true; }

uint32_t LastSocketError() { return SystemErrorFromErrno(errno, ErrnoSite::kIo); }

bool SocketWouldBlock(uint32_t err) { return err == kErrSocketWouldBlock || err == kErrSocketInProgress; }

SocketHandle SocketConnect(const std::string& host, uint16_t port, uint32_t& err, int32_t limit_ms) {
  in_addr addr{};
  if (!ResolveIpv4(host, addr)) {
    err = kErrSocketHostNotFound;
    return kInvalidSocket;
  }
  int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (s < 0) {
    err = LastSocketError();
    return kInvalidSocket;
  }
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr = addr;
  // Non-blocking, so an unreachable host costs limit_ms, not the kernel's two minutes of SYNs.
  int e = ::connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 ? 0 : errno;
  if (e == EINPROGRESS || e == EINTR) {
    const uint32_t deadline = TickCount() + static_cast<uint32_t>(limit_ms < 0 ? 0 : limit_ms);
    e = ETIMEDOUT;
    for (int32_t left; (left = TicksLeft(TickCount(), deadline)) > 0;) {
      if (!WaitFor(s, POLLOUT, left)) continue;
      socklen_t len = sizeof e;
      if (::getsockopt(s, SOL_SOCKET, SO_ERROR, &e, &len) != 0) e = errno;
      break;
    }
  }
  if (e != 0) {
    err = SystemErrorFromErrno(e, ErrnoSite::kIo);
    ::close(s);
    return kInvalidSocket;
  }
  int one = 1;
  ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  err = 0;
  return s;
}

SocketHandle SocketListen(const std::string& host, uint16_t& port, int backlog, uint32_t& err) {
  in_addr addr{};
  if (!ResolveIpv4(host.empty() ? "127.0.0.1" : host, addr)) {
    err = kErrSocketHostNotFound;
    return kInvalidSocket;
  }
  int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (s < 0) {
    err = LastSocketError();
    return kInvalidSocket;
  }
  int one = 1;
  ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr = addr;
  socklen_t len = sizeof sa;
  if (::bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(s, backlog) != 0 ||
      ::getsockname(s, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
    err = LastSocketError();
    ::close(s);
    return kInvalidSocket;
  }
  port = ntohs(sa.sin_port);
  err = 0;
  return s;
}

SocketHandle SocketAccept(SocketHandle listener, int32_t timeout_ms, uint32_t& err) {
  pollfd p{static_cast<int>(listener), POLLIN, 0};
  int r;
  do {
    r = ::poll(&p, 1, timeout_ms < 0 ? -1 : timeout_ms);
  } while (r < 0 && errno == EINTR);
  if (r <= 0) {
    err = r == 0 ? kErrSocketTimedOut : LastSocketError();
    return kInvalidSocket;
  }
  int s = ::accept4(static_cast<int>(listener), nullptr, nullptr, SOCK_CLOEXEC);
  if (s < 0) {
    err = LastSocketError();
    return kInvalidSocket;
  }
  int one = 1;
  ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  SocketSetNonBlocking(s);
  err = 0;
  return s;
}

bool SocketSetNonBlocking(SocketHandle s) {
  int fl = ::fcntl(static_cast<int>(s), F_GETFL, 0);
  return fl >= 0 && ::fcntl(static_cast<int>(s), F_SETFL, fl | O_NONBLOCK) == 0;
}

int32_t SocketSend(SocketHandle s, const uint8_t* data, uint32_t size, uint32_t& err) {
  ssize_t n;
  do {
    n = ::send(static_cast<int>(s), data, size, MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    err = LastSocketError();
    return -1;
  }
  err = 0;
  return static_cast<int32_t>(n);
}

int32_t SocketRecv(SocketHandle s, uint8_t* buffer, uint32_t size, uint32_t& err) {
  ssize_t n;
  do {
    n = ::recv(static_cast<int>(s), buffer, size, 0);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    err = LastSocketError();
    return -1;
  }
  err = 0;
  return static_cast<int32_t>(n);
}

bool SocketWaitReadable(SocketHandle s, int32_t timeout_ms) { return WaitFor(s, POLLIN | POLLPRI, timeout_ms); }
bool SocketWaitWritable(SocketHandle s, int32_t timeout_ms) { return WaitFor(s, POLLOUT, timeout_ms); }

void SocketShutdownBoth(SocketHandle s) { ::shutdown(static_cast<int>(s), SHUT_RDWR); }

void SocketClose(SocketHandle s) {
  if (s != kInvalidSocket) ::close(static_cast<int>(s));
}

}  // namespace korvane
