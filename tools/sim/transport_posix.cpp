#include "transport.h"
#include "transport_platform.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <pty.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/tcp_socket.h"
#include "port/connect_back_value.h"

namespace korvane::sim {

namespace {

// How often a device that went away is looked for again.
constexpr int32_t kReopenWaitMs = 500;
// How often the connect-back file is looked at: on every change to its folder, and at this pace
// as well (or only, where changes cannot be watched). How long a connect to the PC may take.
constexpr int32_t kValueLookMs = 250;
constexpr int32_t kValuePollMs = 5;
constexpr int32_t kConnectBackLimitMs = 2000;
constexpr const char* kPcAddress = "127.0.0.1";

int PollOne(int fd, short events, int32_t timeout_ms, short& revents) {
  pollfd p{fd, events, 0};
  int r;
  do {
    r = ::poll(&p, 1, timeout_ms < 0 ? -1 : timeout_ms);
  } while (r < 0 && errno == EINTR);
  revents = p.revents;
  return r;
}

// Where symbolic link `link` points, or empty.
std::string LinkTarget(const std::string& link) {
  char target[PATH_MAX + 1];
  const ssize_t n = ::readlink(link.c_str(), target, PATH_MAX);
  return n > 0 ? std::string(target, static_cast<size_t>(n)) : std::string();
}

void MakeRaw(int fd) {
  termios t{};
  if (::tcgetattr(fd, &t) != 0) return;
  ::cfmakeraw(&t);
  ::tcsetattr(fd, TCSANOW, &t);
}

// The pty's slave stays open in the simulator until the library's first byte arrives, so the
// master does not hang up before anyone opened the slave. After that a hang-up of the master
// means the library closed its end. A close and reopen between two polls leaves no hang-up to see;
// the next PC's handshake then tells the sessions apart.
class PtyTransport final : public Transport {
 public:
  PtyTransport(int master, int keepalive, std::string path, std::string link)
      : master_(master), keepalive_(keepalive), path_(std::move(path)), link_(std::move(link)) {}
  ~PtyTransport() override {
    if (keepalive_ >= 0) ::close(keepalive_);
    ::close(master_);
    // Only the link this simulator made: one replaced meanwhile belongs to someone else.
    if (!link_.empty() && LinkTarget(link_) == path_) ::unlink(link_.c_str());
  }

  std::string Describe() const override {
    return "pty " + path_ + (link_.empty() ? std::string() : " (link " + link_ + ")");
  }

  std::unique_ptr<SimDevice> Accept(int32_t timeout_ms) override {
    short revents = 0;
    if (PollOne(master_, POLLIN, timeout_ms, revents) <= 0 || (revents & POLLIN) == 0) return nullptr;
    if (keepalive_ >= 0) {
      ::close(keepalive_);
      keepalive_ = -1;
    }
    return std::make_unique<FdDevice>(master_, false);
  }

  void SessionEnded() override {
    if (keepalive_ < 0) {
      keepalive_ = ::open(path_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
      if (keepalive_ >= 0) MakeRaw(keepalive_);
    }
    // Answers the last session's PC never read must not reach the next one. Input is kept: the
    // hang-up was read only after the last session's bytes, so whatever came since is the next
    // PC's handshake.
    ::tcflush(master_, TCOFLUSH);
  }

 private:
  int master_;
  int keepalive_;
  std::string path_;
  std::string link_;
};

int OpenLine(const std::string& path, uint32_t baud, std::string& error) {
  int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    error = "cannot open " + path + ": " + std::strerror(errno);
    return -1;
  }
  termios t{};
  if (::tcgetattr(fd, &t) != 0) {
    error = path + " is not a serial device: " + std::strerror(errno);
    ::close(fd);
    return -1;
  }
  ::cfmakeraw(&t);
  // A three-wire null-modem cable carries no modem lines, so neither they nor RTS/CTS may gate
  // the line.
  t.c_cflag |= CLOCAL | CREAD;
  t.c_cflag &= ~CRTSCTS;
  if (::cfsetspeed(&t, baud) != 0 || ::tcsetattr(fd, TCSANOW, &t) != 0) {
    error = "cannot set " + path + " to " + std::to_string(baud) + " bit/s: " + std::strerror(errno);
    ::close(fd);
    return -1;
  }
  return fd;
}

// Nothing on a serial line tells when the PC opens or closes its end, so a connection starts with
// the first byte and ends only when the device goes away (an adapter pulled out, the program holding
// the pair's other end gone). The device is then looked for again until it comes back.
class DeviceTransport final : public Transport {
 public:
  DeviceTransport(int fd, std::string path, uint32_t baud, std::function<void(const std::string&)> say)
      : fd_(fd), path_(std::move(path)), baud_(baud), say_(std::move(say)) {}
  ~DeviceTransport() override { CloseLine(); }

  std::string Describe() const override { return "device " + path_; }

  std::unique_ptr<SimDevice> Accept(int32_t timeout_ms) override {
    if (fd_ < 0) {
      std::string error;
      fd_ = OpenLine(path_, baud_, error);
      if (fd_ < 0) {
        const int32_t wait = timeout_ms < 0 || timeout_ms > kReopenWaitMs ? kReopenWaitMs : timeout_ms;
        std::this_thread::sleep_for(std::chrono::milliseconds(wait));
        return nullptr;
      }
      say_("device " + path_ + " open again");
    }
    short revents = 0;
    if (PollOne(fd_, POLLIN, timeout_ms, revents) <= 0) return nullptr;
    if ((revents & POLLIN) == 0) {
      SessionEnded();  // hung up before a session began
      return nullptr;
    }
    return std::make_unique<FdDevice>(fd_, false);
  }

  void SessionEnded() override {
    CloseLine();
    say_("device " + path_ + " gone; waiting for it");
  }

 private:
  void CloseLine() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  int fd_;
  std::string path_;
  uint32_t baud_;
  std::function<void(const std::string&)> say_;
};

// One writing of the connect-back file: a new one is a new request to connect.
struct FileWriting {
  timespec modified{};
  off_t size = -1;
  ino_t inode = 0;
  bool operator==(const FileWriting& o) const {
    return modified.tv_sec == o.modified.tv_sec && modified.tv_nsec == o.modified.tv_nsec && size == o.size &&
           inode == o.inode;
  }
};

bool LookAt(const std::string& path, FileWriting& out) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return false;
  out.modified = st.st_mtim;
  out.size = st.st_size;
  out.inode = st.st_ino;
  return true;
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

// A value is complete once a UTF-16 NUL ends it; until then the PC may still be writing it (and
// the rest of the writing changes the file's size, so it is looked at again).
bool Complete(const std::string& bytes) {
  for (size_t i = 0; i + 1 < bytes.size(); i += 2)
    if (bytes[i] == 0 && bytes[i + 1] == 0) return true;
  return false;
}

class ConnectBackTransport final : public Transport {
 public:
  ConnectBackTransport(std::string file, std::function<void(const std::string&)> say)
      : file_(std::move(file)), say_(std::move(say)), changes_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
    std::string folder = std::filesystem::path(file_).parent_path().string();
    if (folder.empty()) folder = ".";
    if (changes_ >= 0 &&
        ::inotify_add_watch(changes_, folder.c_str(), IN_CLOSE_WRITE | IN_MODIFY | IN_CREATE | IN_MOVED_TO) < 0) {
      ::close(changes_);
      changes_ = -1;
    }
  }
  ~ConnectBackTransport() override {
    if (changes_ >= 0) ::close(changes_);
  }

  std::string Describe() const override { return "connect-back " + file_; }

  std::unique_ptr<SimDevice> Accept(int32_t timeout_ms) override {
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
      if (auto device = TryWriting()) return device;
      const auto waited =
          std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
      if (timeout_ms >= 0 && waited >= timeout_ms) return nullptr;
      int32_t pause = changes_ >= 0 ? kValueLookMs : kValuePollMs;
      if (timeout_ms >= 0 && timeout_ms - waited < pause) pause = static_cast<int32_t>(timeout_ms - waited);
      WaitForChange(pause);
    }
  }

 private:
  std::unique_ptr<SimDevice> TryWriting() {
    FileWriting now;
    if (!LookAt(file_, now) || now == seen_) return nullptr;
    seen_ = now;  // one attempt per writing
    const std::string bytes = ReadAll(file_);
    if (!Complete(bytes)) return nullptr;
    const auto port = ParseConnectBackValue(bytes);
    if (!port) {
      say_("no 'ppp_peer:PORT' value in " + file_);
      return nullptr;
    }
    uint32_t err = 0;
    const SocketHandle s = SocketConnect(kPcAddress, *port, err, kConnectBackLimitMs);
    if (s == kInvalidSocket) {
      say_("cannot connect back to " + std::string(kPcAddress) + ":" + std::to_string(*port) + " (error " +
           std::to_string(err) + ")");
      return nullptr;
    }
    return std::make_unique<FdDevice>(static_cast<int>(s), true);
  }

  void WaitForChange(int32_t ms) {
    if (changes_ < 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(ms));
      return;
    }
    short revents = 0;
    if (PollOne(changes_, POLLIN, ms, revents) <= 0) return;
    alignas(inotify_event) char events[4096];
    while (::read(changes_, events, sizeof events) > 0) {
    }
  }

  std::string file_;
  std::function<void(const std::string&)> say_;
  int changes_;  // inotify on the file's folder, or -1
  FileWriting seen_;
};

}  // namespace

std::unique_ptr<SimDevice> AdoptSocket(SocketHandle s) { return std::make_unique<FdDevice>(static_cast<int>(s), true); }

bool IsLoopbackAddress(const std::string& host) {
  constexpr uint8_t kLoopbackNet = 127;
  in_addr addr{};
  return ::inet_aton(host.c_str(), &addr) != 0 && (ntohl(addr.s_addr) >> 24) == kLoopbackNet;
}

std::string SocketErrorText(uint32_t err) { return std::strerror(static_cast<int>(err)); }

FdDevice::FdDevice(int fd, bool owned) : fd_(fd), owned_(owned) {
  ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) | O_NONBLOCK);
}

FdDevice::~FdDevice() { Close(); }

void FdDevice::Close() {
  if (owned_ && fd_ >= 0) ::close(fd_);
  owned_ = false;
  gone_ = true;
}

uint32_t FdDevice::Send(const uint8_t* data, uint32_t length, int32_t timeout_ms, uint32_t& err) {
  err = 0;
  uint32_t sent = 0;
  while (sent < length && !gone_) {
    ssize_t n = ::write(fd_, data + sent, length - sent);
    if (n > 0) {
      sent += static_cast<uint32_t>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) {
      err = static_cast<uint32_t>(errno);
      gone_ = true;
      break;
    }
    short revents = 0;
    if (PollOne(fd_, POLLOUT, timeout_ms, revents) <= 0) break;
    if ((revents & (POLLERR | POLLHUP)) != 0 && (revents & POLLOUT) == 0) {
      gone_ = true;
      break;
    }
  }
  return sent;
}

bool FdDevice::WaitReadable(std::chrono::nanoseconds wait) {
  if (gone_) return false;
  if (wait.count() < 0) wait = std::chrono::nanoseconds(0);
  const auto secs = std::chrono::duration_cast<std::chrono::seconds>(wait);
  timespec ts{static_cast<time_t>(secs.count()), static_cast<long>((wait - secs).count())};
  pollfd p{fd_, POLLIN, 0};
  return ::ppoll(&p, 1, &ts, nullptr) > 0;
}

uint32_t FdDevice::ReadMore(uint8_t* buffer, uint32_t count, uint32_t capacity, int32_t timeout_ms, uint32_t& err) {
  err = 0;
  if (gone_ || count >= capacity) return count;
  short revents = 0;
  if (PollOne(fd_, POLLIN, timeout_ms, revents) <= 0) return count;
  ssize_t n = ::read(fd_, buffer + count, capacity - count);
  if (n > 0) return count + static_cast<uint32_t>(n);
  if (n == 0 || (errno != EAGAIN && errno != EINTR)) gone_ = true;  // peer closed; a pty master gets EIO
  return count;
}

std::unique_ptr<Transport> CreatePty(const std::string& link, std::string& error) {
  int master = -1;
  int slave = -1;
  char name[256] = {};
  if (::openpty(&master, &slave, name, nullptr, nullptr) != 0) {
    error = std::string("cannot create a pty: ") + std::strerror(errno);
    return nullptr;
  }
  ::fcntl(master, F_SETFD, FD_CLOEXEC);
  ::fcntl(slave, F_SETFD, FD_CLOEXEC);
  MakeRaw(slave);
  MakeRaw(master);
  if (!link.empty()) {
    // Only a stale link is replaced: one whose pty is gone (or is this one, its number reused). A
    // live pty belongs to another program, and a real file of that name is left alone.
    struct stat st {};
    if (::lstat(link.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
      const std::string target = LinkTarget(link);
      struct stat live {};
      if (target != name && ::stat(link.c_str(), &live) == 0 && S_ISCHR(live.st_mode)) {
        error = link + " points at " + target +
                ", a live pty or device of another program; remove the link or choose another";
        ::close(slave);
        ::close(master);
        return nullptr;
      }
      ::unlink(link.c_str());
    }
    if (::symlink(name, link.c_str()) != 0) {
      error = "cannot link " + link + " to " + name + ": " + std::strerror(errno);
      ::close(slave);
      ::close(master);
      return nullptr;
    }
  }
  return std::make_unique<PtyTransport>(master, slave, name, link);
}

std::unique_ptr<Transport> OpenDevice(const std::string& path, uint32_t baud,
                                      std::function<void(const std::string&)> say, std::string& error) {
  int fd = OpenLine(path, baud, error);
  if (fd < 0) return nullptr;
  return std::make_unique<DeviceTransport>(fd, path, baud, std::move(say));
}

std::unique_ptr<Transport> ConnectBack(const std::string& file, std::function<void(const std::string&)> say,
                                       std::string&) {
  return std::make_unique<ConnectBackTransport>(file, std::move(say));
}

}  // namespace korvane::sim
