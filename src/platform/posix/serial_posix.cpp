#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/errors.h"
#include "platform/serial_device.h"
#include "platform/ticks.h"

namespace korvane {

namespace {

speed_t SpeedFor(uint32_t baud) {
  switch (baud) {
    case 1200: return B1200;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    case 230400: return B230400;
    case 460800: return B460800;
    case 921600: return B921600;
    default: return B0;
  }
}

uint32_t BaudFor(speed_t s) {
  switch (s) {
    case B1200: return 1200;
    case B2400: return 2400;
    case B4800: return 4800;
    case B9600: return 9600;
    case B19200: return 19200;
    case B38400: return 38400;
    case B57600: return 57600;
    case B115200: return 115200;
    case B230400: return 230400;
    case B460800: return 460800;
    case B921600: return 921600;
    default: return 0;
  }
}

uint32_t OpenError(int e) { return SystemErrorFromErrno(e, ErrnoSite::kOpen); }

// Waits for `events` up to `ms` (negative: forever). True when ready.
bool WaitFd(int fd, short events, int ms) {
  pollfd p{fd, events, 0};
  for (;;) {
    int r = ::poll(&p, 1, ms);
    if (r < 0 && errno == EINTR) continue;
    return r > 0;
  }
}

}  // namespace

SerialDevice::~SerialDevice() { Close(); }

bool SerialDevice::Open(const std::string& name, bool /*attribute_normal*/, uint32_t& err) {
  Close();
  if (name.empty()) {
    err = kErrFileNotFound;
    return false;
  }
  int fd = ::open(name.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    err = OpenError(errno);
    return false;
  }
  // Exclusive like a Windows COM handle: flock holds for root too, where TIOCEXCL does not.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    int e = errno;
    ::close(fd);
    err = OpenError(e == EWOULDBLOCK ? EBUSY : e);
    return false;
  }
  termios t{};
  if (::tcgetattr(fd, &t) != 0) {
    int e = errno;
    ::close(fd);
    err = OpenError(e);
    return false;
  }
  ::ioctl(fd, TIOCEXCL);
  ::cfmakeraw(&t);
  t.c_cflag |= CLOCAL | CREAD;
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  ::tcsetattr(fd, TCSANOW, &t);
  fd_ = fd;
  timeouts_ = {};
  last_error_ = 0;
  err = 0;
  return true;
}

bool SerialDevice::IsOpen() const { return fd_ >= 0; }

void SerialDevice::Close() {
  if (fd_ >= 0) {
    ::ioctl(fd_, TIOCNXCL);
    ::close(fd_);
  }
  fd_ = -1;
}

bool SerialDevice::SetupQueues(uint32_t, uint32_t) { return fd_ >= 0; }

bool SerialDevice::GetTimeouts(SerialTimeouts& t) const {
  if (fd_ < 0) return false;
  t = timeouts_;
  return true;
}

bool SerialDevice::SetTimeouts(const SerialTimeouts& t) {
  if (fd_ < 0) return false;
  timeouts_ = t;
  return true;
}

bool SerialDevice::GetState(SerialLineState& s) const {
  termios t{};
  if (fd_ < 0 || ::tcgetattr(fd_, &t) != 0) return false;
  s = SerialLineState{};
  s.baud_rate = BaudFor(::cfgetospeed(&t));
  s.binary = true;
  s.parity_check = (t.c_iflag & INPCK) != 0;
  s.cts_flow = (t.c_cflag & CRTSCTS) != 0;
  s.xon_xoff_out = (t.c_iflag & IXON) != 0;
  s.xon_xoff_in = (t.c_iflag & IXOFF) != 0;
  switch (t.c_cflag & CSIZE) {
    case CS5: s.byte_size = 5; break;
    case CS6: s.byte_size = 6; break;
    case CS7: s.byte_size = 7; break;
    default: s.byte_size = 8; break;
  }
  s.parity = (t.c_cflag & PARENB) ? ((t.c_cflag & PARODD) ? 1 : 2) : 0;
  s.stop_bits = (t.c_cflag & CSTOPB) ? 2 : 0;
  s.xon_char = t.c_cc[VSTART];
  s.xoff_char = t.c_cc[VSTOP];
  int lines = 0;
  if (::ioctl(fd_, TIOCMGET, &lines) == 0) {
    s.dtr_control = (lines & TIOCM_DTR) ? LineControl::kEnable : LineControl::kDisable;
    s.rts_control = (lines & TIOCM_RTS) ? LineControl::kEnable : LineControl::kDisable;
  }
  return true;
}

bool SerialDevice::SetState(const SerialLineState& s) {
  termios t{};
  if (fd_ < 0) return false;
  if (::tcgetattr(fd_, &t) != 0) {
    last_error_ = SystemErrorFromErrno(errno, ErrnoSite::kIo);  // EIO: the device went away
    return false;
  }
  speed_t speed = SpeedFor(s.baud_rate);
  const cc_t xon = s.from_zero ? s.xon_char : t.c_cc[VSTART];
  const cc_t xoff = s.from_zero ? s.xoff_char : t.c_cc[VSTOP];
  // Refused as SetCommState refuses them (with its error), so a state that would be void on
  // Windows fails here too.
  if (speed == B0 || !s.binary || xon == xoff) {
    last_error_ = kErrInvalidParameter;
    return false;
  }
  t.c_cc[VSTART] = xon;
  t.c_cc[VSTOP] = xoff;
  ::cfsetispeed(&t, speed);
  ::cfsetospeed(&t, speed);
  t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
  t.c_cflag |= (s.byte_size == 5 ? CS5 : s.byte_size == 6 ? CS6 : s.byte_size == 7 ? CS7 : CS8);
  if (s.parity == 1) t.c_cflag |= PARENB | PARODD;
  if (s.parity == 2) t.c_cflag |= PARENB;
  if (s.stop_bits == 2) t.c_cflag |= CSTOPB;
  if (s.cts_flow || s.rts_control == LineControl::kHandshake) t.c_cflag |= CRTSCTS;
  t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | INPCK);
  if (s.xon_xoff_out) t.c_iflag |= IXON;
  if (s.xon_xoff_in) t.c_iflag |= IXOFF;
  if (s.parity_check) t.c_iflag |= INPCK;
  if (::tcsetattr(fd_, TCSANOW, &t) != 0) {
    last_error_ = SystemErrorFromErrno(errno, ErrnoSite::kIo);
    return false;
  }
  // Modem lines: a pseudo-terminal has none, so failures here are not errors of the state.
  int dtr = TIOCM_DTR, rts = TIOCM_RTS;
  ::ioctl(fd_, s.dtr_control == LineControl::kDisable ? TIOCMBIC : TIOCMBIS, &dtr);
  ::ioctl(fd_, s.rts_control == LineControl::kDisable ? TIOCMBIC : TIOCMBIS, &rts);
  return true;
}

bool SerialDevice::Read(uint8_t* buffer, uint32_t size, uint32_t& done) {
  done = 0;
  if (fd_ < 0) {
    last_error_ = kErrInvalidHandle;
    return false;
  }
  if (size == 0) return true;
  const SerialTimeouts& t = timeouts_;
  // The three shapes Windows defines: return at once; wait for the first byte then return what is
  // there; or a total budget with an optional gap limit between bytes.
  const bool immediate = t.read_interval == kMaxDword && t.read_multiplier == 0 && t.read_constant == 0;
  const bool first_byte = t.read_interval == kMaxDword && t.read_multiplier == kMaxDword && t.read_constant > 0 &&
                          t.read_constant < kMaxDword;
  int64_t total = -1;
  if (!immediate && !first_byte) {
    uint64_t budget = static_cast<uint64_t>(t.read_multiplier) * size + t.read_constant;
    if (budget > 0) total = static_cast<int64_t>(std::min<uint64_t>(budget, 0x7FFFFFFF));
  }
  const uint32_t start = TickCount();
  for (;;) {
    int wait;
    if (immediate) {
      wait = 0;
    } else if (first_byte) {
      wait = done > 0 ? 0 : std::max<int32_t>(0, static_cast<int32_t>(t.read_constant) - static_cast<int32_t>(TickCount() - start));
    } else {
      int64_t left = total < 0 ? -1 : std::max<int64_t>(0, total - static_cast<int64_t>(TickCount() - start));
      if (done > 0 && t.read_interval > 0 && t.read_interval != kMaxDword)
        left = left < 0 ? t.read_interval : std::min<int64_t>(left, t.read_interval);
      wait = static_cast<int>(left);
    }
    if (!WaitFd(fd_, POLLIN, wait)) return true;
    ssize_t n = ::read(fd_, buffer + done, size - done);
    if (n < 0) {
      if (errno == EAGAIN || errno == EINTR) {
        if (wait == 0) return true;
        continue;
      }
      last_error_ = SystemErrorFromErrno(errno, ErrnoSite::kIo);
      return false;
    }
    if (n == 0) {
      // Hang-up: the device went away.
      last_error_ = kErrDeviceLost;
      return false;
    }
    done += static_cast<uint32_t>(n);
    if (done >= size || immediate || first_byte) {
      if (done < size && (immediate || first_byte)) {
        // Take whatever else is already buffered, as ReadFile would.
        ssize_t more = ::read(fd_, buffer + done, size - done);
        if (more > 0) done += static_cast<uint32_t>(more);
      }
      return true;
    }
  }
}

bool SerialDevice::Write(const uint8_t* data, uint32_t size, uint32_t& done) {
  done = 0;
  if (fd_ < 0) {
    last_error_ = kErrInvalidHandle;
    return false;
  }
  uint64_t budget = static_cast<uint64_t>(timeouts_.write_multiplier) * size + timeouts_.write_constant;
  const int64_t total = budget == 0 ? -1 : static_cast<int64_t>(std::min<uint64_t>(budget, 0x7FFFFFFF));
  const uint32_t start = TickCount();
  while (done < size) {
    ssize_t n = ::write(fd_, data + done, size - done);
    if (n > 0) {
      done += static_cast<uint32_t>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) {
      last_error_ = SystemErrorFromErrno(errno, ErrnoSite::kIo);
      return false;
    }
    int64_t left = total < 0 ? -1 : total - static_cast<int64_t>(TickCount() - start);
    if (total >= 0 && left <= 0) return true;  // time-out: a short write, as WriteFile reports it
    WaitFd(fd_, POLLOUT, static_cast<int>(left));
  }
  return true;
}

uint32_t SerialDevice::ClearError() {
  uint32_t e = last_error_;
  last_error_ = 0;
  return e;
}

bool SerialDevice::PurgeAll() { return fd_ >= 0 && ::tcflush(fd_, TCIOFLUSH) == 0; }

bool SerialDevice::PurgeInput() { return fd_ >= 0 && ::tcflush(fd_, TCIFLUSH) == 0; }

bool SerialDevice::SetDtr(bool on) {
  if (fd_ < 0) return false;
  int bit = TIOCM_DTR;
  return ::ioctl(fd_, on ? TIOCMBIS : TIOCMBIC, &bit) == 0;
}

}  // namespace korvane
