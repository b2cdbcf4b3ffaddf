// Protocol v2 over real links: the PC side runs tsSend/tsRecv on a port opened by name, the
// terminal side runs the v2 responder in a thread on the other end of a pseudo-terminal pair or a
// loopback TCP connection. 1000 blocks go each way and must arrive intact and in order.
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "frame/frame_exchange.h"
#include "frame/frame_layout.h"
#include "platform/tcp_socket.h"
#include "port/link_port.h"
#include "port/port_kinds.h"
#include "support/pty_pair.h"
#include "terminal/v2_responder.h"

namespace korvane {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr int kBlocks = 1000;
constexpr size_t kLargestBlock = 8095;
constexpr uint32_t kCallTimeoutMs = 15000;
constexpr int32_t kTerminalPollMs = 20;
constexpr int32_t kTerminalWriteMs = 2000;

// The pty master as a port device, so the terminal side also goes through the port layer.
class PtyMasterDevice final : public PortDevice {
 public:
  explicit PtyMasterDevice(int fd) : fd_(fd) {}
  bool HasHandle() const override { return true; }
  uint32_t Send(const uint8_t* data, uint32_t length, int32_t timeout_ms, uint32_t& err) override {
    err = 0;
    uint32_t done = 0;
    while (done < length) {
      const ssize_t n = ::write(fd_, data + done, length - done);
      if (n > 0) {
        done += static_cast<uint32_t>(n);
        continue;
      }
      if (n < 0 && errno != EAGAIN && errno != EINTR) {
        err = static_cast<uint32_t>(errno);
        break;
      }
      pollfd p{fd_, POLLOUT, 0};
      if (::poll(&p, 1, timeout_ms) <= 0) break;
    }
    return done;
  }
  uint32_t ReadMore(uint8_t* buffer, uint32_t count, uint32_t capacity, int32_t timeout_ms, uint32_t& err) override {
    err = 0;
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, timeout_ms) <= 0) return count;
    const ssize_t n = ::read(fd_, buffer + count, capacity - count);
    return n > 0 ? count + static_cast<uint32_t>(n) : count;
  }
  void Purge() override {}
  void Close() override {}

 private:
  int fd_;
};

// The terminal: feeds what it reads to the responder and writes back what it answers.
class Terminal {
 public:
  Terminal(LinkPort* link, const std::vector<Bytes>& to_send) : link_(link), responder_(kProtocolV2Large) {
    for (const Bytes& b : to_send) responder_.QueueBlock(b.data(), b.size());
    responder_.SetBlockHandler([this](Bytes&& b) { received_.push_back(std::move(b)); });
    thread_ = std::thread([this] { Run(); });
  }
  ~Terminal() { Stop(); }
  void Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    LvlClose(link_);
    link_ = nullptr;
  }
  const std::vector<Bytes>& received() const { return received_; }
  const V2Responder::Stats& stats() const { return responder_.stats(); }

 private:
  void Run() {
    std::vector<uint8_t> buf(2 * kLastFrameSize);
    while (!stop_) {
      uint32_t count = 0, err = 0;
      LvlReadMore(link_, buf.data(), count, static_cast<uint32_t>(buf.size()), kTerminalPollMs, err);
      if (count) responder_.Feed(buf.data(), count);
      if (responder_.HasOutput()) {
        const Bytes out = responder_.TakeOutput();
        LvlSend(link_, out.data(), static_cast<uint32_t>(out.size()), kTerminalWriteMs, err);
      }
    }
  }

  LinkPort* link_;
  V2Responder responder_;
  std::vector<Bytes> received_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

std::vector<Bytes> RandomBlocks(uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<size_t> size(1, kLargestBlock);
  std::vector<Bytes> blocks(kBlocks);
  for (Bytes& b : blocks) {
    b.resize(size(rng));
    for (auto& x : b) x = static_cast<uint8_t>(rng());
  }
  return blocks;
}

size_t TotalBytes(const std::vector<Bytes>& blocks) {
  size_t n = 0;
  for (const Bytes& b : blocks) n += b.size();
  return n;
}

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// Runs both directions over `pc` against `terminal` and checks every block.
void ExchangeBothWays(const char* link_name, TsPort* pc, Terminal& terminal, const std::vector<Bytes>& up,
                      const std::vector<Bytes>& down) {
  std::vector<uint8_t> last(kLastFrameSize, 0);
  uint32_t err = 0;

  auto t0 = std::chrono::steady_clock::now();
  for (int i = 0; i < kBlocks; ++i)
    ASSERT_EQ(tsSend(pc, last.data(), up[i].data(), static_cast<uint32_t>(up[i].size()), kCallTimeoutMs, err), 1)
        << "block " << i << " err " << err;
  const double up_s = Seconds(t0);

  Bytes buf(kLargestBlock + 1);
  t0 = std::chrono::steady_clock::now();
  for (int i = 0; i < kBlocks; ++i) {
    const int32_t n = tsRecv(pc, last.data(), buf.data(), static_cast<uint32_t>(buf.size()), kCallTimeoutMs, err);
    ASSERT_EQ(n, static_cast<int32_t>(down[i].size())) << "block " << i << " err " << err;
    ASSERT_TRUE(std::equal(down[i].begin(), down[i].end(), buf.begin())) << "block " << i;
  }
  const double down_s = Seconds(t0);

  terminal.Stop();
  ASSERT_EQ(terminal.received().size(), up.size());
  for (int i = 0; i < kBlocks; ++i) ASSERT_EQ(terminal.received()[i], up[i]) << "block " << i;
  EXPECT_EQ(pc->remote_version, kProtocolV2Large);

  std::printf("[v2 %s] PC->terminal: %zu bytes in %.3f s (%.0f KiB/s); terminal->PC: %zu bytes in %.3f s (%.0f KiB/s);"
              " NAKs %u, repeats %u/%u\n",
              link_name, TotalBytes(up), up_s, TotalBytes(up) / 1024.0 / up_s, TotalBytes(down), down_s,
              TotalBytes(down) / 1024.0 / down_s, terminal.stats().naks, terminal.stats().duplicates,
              terminal.stats().repeated_reqs);
}

TEST(FrameV2Integration, PseudoTerminalPair) {
  test::PtyPair pty;
  ASSERT_TRUE(pty.Ok());
  uint32_t err = 0;
  TsPort* pc = tsOpenPort(pty.SlavePath(), Serial, &err);
  ASSERT_NE(pc, nullptr) << err;
  const auto up = RandomBlocks(1), down = RandomBlocks(2);
  Terminal terminal(LvlAdopt(std::make_unique<PtyMasterDevice>(pty.Master()), Serial), down);
  ExchangeBothWays("pty", pc, terminal, up, down);
  tsClosePort(pc);
}

TEST(FrameV2Integration, LoopbackTcp) {
  ASSERT_TRUE(StartSockets());
  uint16_t port_number = 0;
  uint32_t err = 0;
  const SocketHandle listener = SocketListen("127.0.0.1", port_number, 1, err);
  ASSERT_NE(listener, kInvalidSocket) << err;
  TsPort* pc = tsOpenPort("127.0.0.1:" + std::to_string(port_number), Lan, &err);
  ASSERT_NE(pc, nullptr) << err;
  const SocketHandle accepted = SocketAccept(listener, 5000, err);
  SocketClose(listener);
  ASSERT_NE(accepted, kInvalidSocket) << err;
  const auto up = RandomBlocks(3), down = RandomBlocks(4);
  Terminal terminal(LvlAdopt(AdoptTcpSocket(accepted), Lan), down);
  ExchangeBothWays("tcp", pc, terminal, up, down);
  tsClosePort(pc);
}

}  // namespace
}  // namespace korvane
