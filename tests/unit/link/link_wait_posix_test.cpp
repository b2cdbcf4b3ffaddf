// Waiting on a port that never waits (the sync driver's serial device): the link's v3 receive must
// sleep between empty reads instead of spinning a core.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "link_test_util.h"
#include "support/pty_pair.h"

namespace korvane::test {
namespace {

// CPU of the calling thread: the link's, without the terminal's thread.
double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_THREAD, &usage);
  auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// The terminal on the pty's master, on its own thread; it blocks in poll, so it costs next to nothing.
class PtyTerminal {
 public:
  PtyTerminal(PtyPair& pty, TerminalSide& side, uint16_t protocol)
      : pty_(pty), endpoint_(side, protocol), thread_([this] { Run(); }) {}
  ~PtyTerminal() {
    stop_ = true;
    thread_.join();
  }

 private:
  void Run() {
    while (!stop_) {
      pollfd p{pty_.Master(), POLLIN, 0};
      if (::poll(&p, 1, 5) > 0) {
        uint8_t buffer[4096];
        const ssize_t n = ::read(pty_.Master(), buffer, sizeof(buffer));
        if (n > 0) endpoint_.Feed(buffer, static_cast<size_t>(n));
      }
      endpoint_.Poll();
      const std::vector<uint8_t> out = endpoint_.TakeOutput();
      if (!out.empty()) pty_.WriteMaster(out);
    }
  }

  PtyPair& pty_;
  TerminalEndpoint endpoint_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

TEST(LinkWait, V3LinkCheckOnANeverWaitingPortSleeps) {
  PtyPair pty;
  ASSERT_TRUE(pty.Ok());
  TerminalState state;
  TerminalSide side(state);
  // The program acknowledges the frames but never answers the link check.
  side.SetIntercept([](const std::string& message, TerminalSide&) { return message == Cmd("--p"); });
  PtyTerminal terminal(pty, side, kV3);

  TerminalLink link;
  link.SetPort("USB");
  link.SetPortOpener([&](const std::string&, uint32_t, uint32_t* err) {
    return tsOpenPort(pty.SlavePath(), UsbSerial, err);
  });
  ASSERT_EQ(link.OpenPort(), 0);
  uint32_t err = 0;
  ASSERT_EQ(link.SyncRemoteVersion(err, 2000), 1);
  ASSERT_EQ(link.RemoteVersion(), 300u);

  const double cpu_before = CpuSeconds();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(link.IsTerminalOnline(2000), E_EXCHANGE);
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double cpu = CpuSeconds() - cpu_before;
  EXPECT_EQ(link.GetDiag().message,
            "Превышен таймаут при ожидании подтверждения связи, протокол v3 - устройство отвечает, но программа не "
            "готова к обмену");
  EXPECT_GE(wall, 1.99);
  EXPECT_LT(wall, 2.5);
  std::printf("v3 link check, 2 s on a never-waiting port: %.3f s CPU over %.3f s\n", cpu, wall);
#if !defined(__SANITIZE_ADDRESS__)  // instrumentation multiplies the cost of each empty read
  EXPECT_LT(cpu, 0.05 * wall) << "cpu " << cpu << " s over " << wall << " s";
#endif
}

}  // namespace
}  // namespace korvane::test
