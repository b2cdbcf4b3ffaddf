// The kernel's device event broadcast (Linux netlink, uevent family). Waiting blocks in the
// kernel: no timer runs while nothing happens.
#pragma once
#include <cstdint>
#include <vector>

namespace korvane {

class UeventSocket {
 public:
  enum class Result { kEvent, kTimeout, kError };

  UeventSocket() = default;
  ~UeventSocket();
  UeventSocket(const UeventSocket&) = delete;
  UeventSocket& operator=(const UeventSocket&) = delete;

  // Joins the kernel's event group; false with the system error in `err`.
  bool Open(uint32_t& err);
  // The socket's own netlink address (a test sends to it).
  uint32_t PortId() const { return port_id_; }
  // Waits up to `timeout_ms` (negative: without limit) for one datagram sent by the kernel;
  // datagrams from user space and truncated ones are dropped.
  Result Receive(std::vector<uint8_t>& datagram, int timeout_ms, uint32_t& err);
  void Close();

 private:
  int fd_ = -1;
  uint32_t port_id_ = 0;
};

}  // namespace korvane
