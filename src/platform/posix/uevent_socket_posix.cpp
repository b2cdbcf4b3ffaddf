#include <linux/netlink.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "platform/errors.h"
#include "platform/uevent_socket.h"

namespace korvane {

namespace {
constexpr uint32_t kKernelEventGroup = 1;  // group 2 carries user-space relays' messages
constexpr uint32_t kKernelPortId = 0;
// Kernel events are below 8 KiB; a larger datagram is not one.
constexpr size_t kDatagramBytes = 16384;
}  // namespace

UeventSocket::~UeventSocket() { Close(); }

bool UeventSocket::Open(uint32_t& err) {
  Close();
  fd_ = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
  if (fd_ < 0) {
    err = SystemErrorFromErrno(errno, ErrnoSite::kIo);
    return false;
  }
  sockaddr_nl address{};
  address.nl_family = AF_NETLINK;
  address.nl_groups = kKernelEventGroup;
  socklen_t length = sizeof address;
  if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    err = SystemErrorFromErrno(errno, ErrnoSite::kIo);
    Close();
    return false;
  }
  port_id_ = address.nl_pid;
  err = 0;
  return true;
}

UeventSocket::Result UeventSocket::Receive(std::vector<uint8_t>& datagram, int timeout_ms, uint32_t& err) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms < 0 ? 0 : timeout_ms);
  datagram.resize(kDatagramBytes);
  for (;;) {
    int wait_ms = -1;
    if (timeout_ms >= 0) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
      wait_ms = left > 0 ? static_cast<int>(left) : 0;
    }
    pollfd p{fd_, POLLIN, 0};
    const int ready = ::poll(&p, 1, wait_ms);
    if (ready < 0) {
      if (errno == EINTR) continue;
      err = SystemErrorFromErrno(errno, ErrnoSite::kIo);
      return Result::kError;
    }
    if (ready == 0) return Result::kTimeout;
    sockaddr_nl from{};
    iovec io{datagram.data(), datagram.size()};
    msghdr m{};
    m.msg_name = &from;
    m.msg_namelen = sizeof from;
    m.msg_iov = &io;
    m.msg_iovlen = 1;
    const ssize_t n = ::recvmsg(fd_, &m, MSG_DONTWAIT);
    if (n < 0) {
      // A full receive queue loses events but the socket goes on.
      if (errno == EINTR || errno == EAGAIN || errno == ENOBUFS) continue;
      err = SystemErrorFromErrno(errno, ErrnoSite::kIo);
      return Result::kError;
    }
    // Anyone may send to this socket; only the kernel's word counts.
    if (from.nl_pid != kKernelPortId || (m.msg_flags & MSG_TRUNC) != 0) continue;
    datagram.resize(static_cast<size_t>(n));
    err = 0;
    return Result::kEvent;
  }
}

void UeventSocket::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  port_id_ = 0;
}

}  // namespace korvane
