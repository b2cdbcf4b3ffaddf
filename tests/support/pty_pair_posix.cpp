#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>

#include "support/pty_pair.h"

namespace korvane::test {

PtyPair::PtyPair() {
  int slave = -1;
  char name[128] = {};
  if (::openpty(&master_, &slave, name, nullptr, nullptr) != 0) {
    master_ = -1;
    return;
  }
  termios t{};
  ::tcgetattr(slave, &t);
  ::cfmakeraw(&t);
  ::tcsetattr(slave, TCSANOW, &t);
  ::tcgetattr(master_, &t);
  ::cfmakeraw(&t);
  ::tcsetattr(master_, TCSANOW, &t);
  slave_keepalive_ = slave;
  slave_path_ = name;
  ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
}

PtyPair::~PtyPair() {
  if (master_ >= 0) ::close(master_);
  if (slave_keepalive_ >= 0) ::close(slave_keepalive_);
}

void PtyPair::WriteMaster(const std::vector<uint8_t>& bytes) {
  size_t off = 0;
  while (off < bytes.size()) {
    ssize_t n = ::write(master_, bytes.data() + off, bytes.size() - off);
    if (n > 0) {
      off += static_cast<size_t>(n);
    } else {
      pollfd p{master_, POLLOUT, 0};
      ::poll(&p, 1, 100);
    }
  }
}

std::vector<uint8_t> PtyPair::ReadMaster(size_t want, int timeout_ms) {
  std::vector<uint8_t> out;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (out.size() < want) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p{master_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
    uint8_t buf[4096];
    ssize_t n = ::read(master_, buf, sizeof buf);
    if (n > 0) out.insert(out.end(), buf, buf + n);
  }
  return out;
}

void PtyPair::CloseMaster() {
  if (master_ >= 0) ::close(master_);
  master_ = -1;
}

uint32_t PtyPair::SlaveBaudRate() const {
  termios t{};
  if (::tcgetattr(master_, &t) != 0) return 0;
  switch (::cfgetospeed(&t)) {
    case B9600: return 9600;
    case B19200: return 19200;
    case B38400: return 38400;
    case B57600: return 57600;
    case B115200: return 115200;
    default: return 0;
  }
}

}  // namespace korvane::test
