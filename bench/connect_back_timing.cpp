// Kind-5 open timings with the fake remote API:
//   connect_back_timing sim N KORVANE_SIM  a korvane-sim process connects back N times
//   connect_back_timing inproc N           the value's reader connects at once, N times
//   connect_back_timing nobody             nothing connects back: the full wait to err 21
// For each open: value written -> socket accepted, and the whole open.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/tcp_socket.h"
#include "port/active_sync.h"
#include "port/connect_back_value.h"
#include "port/link_port.h"
#include "support/fake_rapi.h"
#include "support/temp_dir.h"

namespace korvane {
namespace {

using Clock = std::chrono::steady_clock;

double MsSince(Clock::time_point t) { return std::chrono::duration<double, std::milli>(Clock::now() - t).count(); }

std::string Loopback() { return "127.0.0.1"; }

void Report(const char* what, std::vector<double> ms) {
  if (ms.empty()) return;
  std::sort(ms.begin(), ms.end());
  std::printf("%-34s min %8.3f  median %8.3f  max %8.3f ms  (%zu opens)\n", what, ms.front(), ms[ms.size() / 2],
              ms.back(), ms.size());
}

int Opens(test::FakeRapi& rapi, int n, SocketHandle* peer) {
  Clock::time_point written;
  auto deliver = rapi.on_value;
  rapi.on_value = [&](const std::string& value) {
    written = Clock::now();
    if (deliver) deliver(value);
  };
  std::vector<double> to_accept, whole;
  for (int i = 0; i < n; ++i) {
    const auto began = Clock::now();
    uint32_t err = 0;
    LinkPort* port = LvlOpen("ACTIVESYNC", ActiveSync, err);
    const double open_ms = MsSince(began);
    if (!port) {
      std::fprintf(stderr, "open %d failed with err %u\n", i + 1, err);
      return 1;
    }
    to_accept.push_back(open_ms - std::chrono::duration<double, std::milli>(written - began).count());
    whole.push_back(open_ms);
    LvlClose(port);
    if (peer && *peer != kInvalidSocket) SocketClose(*peer);
  }
  Report("value written -> socket accepted", to_accept);
  Report("whole open", whole);
  return 0;
}

int Main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  const int n = argc > 2 ? std::atoi(argv[2]) : 0;
  StartSockets();
  SetDockingAddressSource(Loopback);
  test::TempDir dir;
  test::ScopedLogDir logs(dir.Path());
  test::FakeRapi rapi;
  if (mode == "nobody") {
    const auto began = Clock::now();
    uint32_t err = 0;
    LinkPort* port = LvlOpen("ACTIVESYNC", ActiveSync, err);
    std::printf("no connect-back: err %u after %.0f ms, value written %zu time(s)\n", err, MsSince(began),
                rapi.Values().size());
    LvlClose(port);
    return port == nullptr && err == 21 ? 0 : 1;
  }
  if (mode == "inproc" && n > 0) {
    SocketHandle peer = kInvalidSocket;
    rapi.on_value = [&](const std::string& value) {
      uint32_t err = 0;
      peer = SocketConnect("127.0.0.1", ParseConnectBackValue(value).value_or(0), err);
    };
    return Opens(rapi, n, &peer);
  }
  if (mode == "sim" && n > 0 && argc > 3) {
    rapi.value_file = dir.File("value");
    const pid_t sim = fork();
    if (sim == 0) {
      freopen("/dev/null", "w", stdout);  // its ready line
      execl(argv[3], argv[3], "--connect-back", rapi.value_file.c_str(), "--quiet", "--timeout", "600",
            static_cast<char*>(nullptr));
      _exit(127);
    }
    usleep(200000);  // the simulator's start
    const int rc = Opens(rapi, n, nullptr);
    kill(sim, SIGTERM);
    waitpid(sim, nullptr, 0);
    return rc;
  }
  std::fprintf(stderr, "usage: %s sim N KORVANE_SIM | inproc N | nobody\n", argv[0]);
  return 2;
}

}  // namespace
}  // namespace korvane

int main(int argc, char** argv) { return korvane::Main(argc, argv); }
