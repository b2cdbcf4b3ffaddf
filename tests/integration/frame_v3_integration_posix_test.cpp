// Two v3 frame engines, one per thread, over real links: a pseudo-terminal pair and loopback TCP.
// Each moves 10 MiB to the other and the bytes must arrive intact and in order.
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "frame/frame_buffer.h"
#include "frame/frame_layout.h"
#include "frame/lvl_stream.h"
#include "platform/tcp_socket.h"
#include "port/link_port.h"
#include "port/port_kinds.h"
#include "support/pty_pair.h"

namespace korvane {
namespace {

constexpr uint32_t kTransferBytes = 10u * 1024 * 1024;
constexpr uint32_t kWriteChunk = 4096;
constexpr int32_t kCallTimeoutMs = 5000;
constexpr int32_t kSyncTimeoutMs = 5000;
constexpr auto kPhaseLimit = std::chrono::seconds(25);

// The far end of the pty pair as a port device, so the engine on that side also goes through
// the port layer.
class PtyMasterDevice final : public PortDevice {
 public:
  explicit PtyMasterDevice(int fd) : fd_(fd) {}
  bool HasHandle() const override { return fd_ >= 0; }
  uint32_t Send(const uint8_t* data, uint32_t length, int32_t timeout_ms, uint32_t& err) override {
    err = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    uint32_t done = 0;
    while (done < length) {
      ssize_t n = ::write(fd_, data + done, length - done);
      if (n > 0) {
        done += static_cast<uint32_t>(n);
        continue;
      }
      if (n < 0 && errno != EAGAIN && errno != EINTR) {
        err = static_cast<uint32_t>(errno);
        break;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      pollfd p{fd_, POLLOUT, 0};
      if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
    }
    return done;
  }
  uint32_t ReadMore(uint8_t* buffer, uint32_t count, uint32_t capacity, int32_t timeout_ms, uint32_t& err) override {
    err = 0;
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, timeout_ms < 0 ? 0 : timeout_ms) <= 0) return count;
    ssize_t n = ::read(fd_, buffer + count, capacity - count);
    if (n > 0) return count + static_cast<uint32_t>(n);
    if (n < 0 && errno != EAGAIN && errno != EINTR) err = static_cast<uint32_t>(errno);
    return count;
  }
  void Purge() override {
    uint8_t scratch[256];
    while (::read(fd_, scratch, sizeof scratch) > 0) {
    }
  }
  void Close() override { fd_ = -1; }  // the PtyPair owns the descriptor

 private:
  int fd_;
};

std::vector<uint8_t> Pattern(uint32_t n, uint32_t seed) {
  std::vector<uint8_t> v(n);
  uint32_t x = seed;
  for (auto& b : v) {
    x = x * 1664525u + 1013904223u;
    b = static_cast<uint8_t>(x >> 24);
  }
  return v;
}

struct Side {
  explicit Side(LinkPort* port, bool initiator) : port(port) {
    stream.Attach(port);
    fb.Configure(kV3MaxFrameSize, kV3Window);
    fb.SetNextExpected(1);
    fb.SetInitiator(initiator);
    fb.SetLower(&stream);
  }
  ~Side() { fb.SetLower(nullptr); }

  // Writes everything in chunks and waits until all of it is acknowledged.
  bool SendAll(const std::vector<uint8_t>& data, std::string& failure) {
    uint32_t err = 0;
    const auto limit = std::chrono::steady_clock::now() + kPhaseLimit;
    for (uint32_t off = 0; off < data.size();) {
      const uint32_t n = std::min<uint32_t>(kWriteChunk, static_cast<uint32_t>(data.size()) - off);
      const int32_t r = fb.Write(kCallTimeoutMs, data.data() + off, n, err);
      if (r != 1 && r != kFbTimeout) {
        failure = "Write " + std::to_string(r) + " err " + std::to_string(err);
        return false;
      }
      off += n;  // a time-out waiting for window room still took the data
      if (std::chrono::steady_clock::now() > limit) {
        failure = "sending took too long";
        return false;
      }
    }
    for (;;) {
      const int32_t r = fb.Flush(kCallTimeoutMs, err);
      if (r == 1) return true;
      if (r != kFbTimeout || std::chrono::steady_clock::now() > limit) {
        failure = "Flush " + std::to_string(r) + " err " + std::to_string(err);
        return false;
      }
    }
  }

  bool ReceiveAll(std::vector<uint8_t>& out, uint32_t want, std::string& failure) {
    std::vector<uint8_t> buf(64 * 1024);
    uint32_t err = 0;
    const auto limit = std::chrono::steady_clock::now() + kPhaseLimit;
    while (out.size() < want) {
      uint32_t count = 0;
      const int32_t r = fb.Read(1000, buf.data(), static_cast<uint32_t>(buf.size()), count, err);
      if (r != 1) {
        failure = "Read " + std::to_string(r) + " err " + std::to_string(err);
        return false;
      }
      out.insert(out.end(), buf.begin(), buf.begin() + count);
      if (std::chrono::steady_clock::now() > limit) {
        failure = "receiving took too long, got " + std::to_string(out.size());
        return false;
      }
    }
    return true;
  }

  LinkPort* port;
  CLvlStream stream;
  CFrameBuffer fb;
};

double MiBPerSecond(uint32_t bytes, std::chrono::steady_clock::duration d) {
  const double s = std::chrono::duration<double>(d).count();
  return s > 0 ? bytes / (1024.0 * 1024.0) / s : 0;
}

// `a` is the initiator: it syncs, sends 10 MiB, then receives 10 MiB; `b` mirrors it.
void Exchange(LinkPort* a_port, LinkPort* b_port, const char* link) {
  Side a(a_port, true), b(b_port, false);
  const auto to_b = Pattern(kTransferBytes, 1), to_a = Pattern(kTransferBytes, 2);
  std::vector<uint8_t> got_a, got_b;
  std::string fail_a, fail_b;
  std::chrono::steady_clock::duration a_to_b{}, b_to_a{};
  std::atomic<bool> ok_a{false}, ok_b{false};

  std::thread tb([&] {
    const auto start = std::chrono::steady_clock::now();
    if (!b.ReceiveAll(got_b, kTransferBytes, fail_b)) return;
    a_to_b = std::chrono::steady_clock::now() - start;
    ok_b = b.SendAll(to_a, fail_b);
  });
  std::thread ta([&] {
    uint16_t version = 0;
    uint32_t err = 0;
    if (a.fb.Sync(kSyncTimeoutMs, version, err) != 1 || version != kProtocolV3) {
      fail_a = "Sync failed, version " + std::to_string(version);
      return;
    }
    if (!a.SendAll(to_b, fail_a)) return;
    const auto start = std::chrono::steady_clock::now();
    if (!a.ReceiveAll(got_a, kTransferBytes, fail_a)) return;
    b_to_a = std::chrono::steady_clock::now() - start;
    ok_a = true;
  });
  ta.join();
  tb.join();
  ASSERT_TRUE(ok_a) << fail_a;
  ASSERT_TRUE(ok_b) << fail_b;
  EXPECT_TRUE(got_b == to_b) << "initiator -> peer data differ";
  EXPECT_TRUE(got_a == to_a) << "peer -> initiator data differ";
  std::printf("[ v3 %s ] 10 MiB initiator->peer %.1f MiB/s, peer->initiator %.1f MiB/s; final time-outs %u/%u ms\n",
              link, MiBPerSecond(kTransferBytes, a_to_b), MiBPerSecond(kTransferBytes, b_to_a),
              a.fb.RetransmitTimeout(), b.fb.RetransmitTimeout());
}

TEST(FrameV3Integration, TenMiBEachWayOverAPseudoTerminal) {
  test::PtyPair pty;
  ASSERT_TRUE(pty.Ok());
  uint32_t err = 0;
  LinkPort* slave = LvlOpen(pty.SlavePath(), Serial, err);
  ASSERT_NE(slave, nullptr) << err;
  LinkPort* master = LvlAdopt(std::make_unique<PtyMasterDevice>(pty.Master()), Serial);
  Exchange(slave, master, "pty");
  LvlClose(master);
  LvlClose(slave);
}

TEST(FrameV3Integration, TenMiBEachWayOverLoopbackTcp) {
  ASSERT_TRUE(StartSockets());
  uint16_t port = 0;
  uint32_t err = 0;
  SocketHandle listener = SocketListen("127.0.0.1", port, 1, err);
  ASSERT_NE(listener, kInvalidSocket) << err;
  LinkPort* dialled = LvlOpen("127.0.0.1:" + std::to_string(port), Lan, err);
  ASSERT_NE(dialled, nullptr) << err;
  SocketHandle accepted = SocketAccept(listener, 2000, err);
  SocketClose(listener);
  ASSERT_NE(accepted, kInvalidSocket) << err;
  LinkPort* answering = LvlAdopt(AdoptTcpSocket(accepted), Lan);
  Exchange(dialled, answering, "tcp");
  LvlClose(answering);
  LvlClose(dialled);
}

}  // namespace
}  // namespace korvane
