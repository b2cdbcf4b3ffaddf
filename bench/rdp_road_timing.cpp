// The Remote Desktop road measured beside direct TCP, against running korvane-sim processes:
//   rdp_road_timing V3_PORT V2_PORT
// V3_PORT serves a journal of many rows (downloaded, then uploaded back as goods), V2_PORT a small
// one (its rows are protocol v2 blocks). Then the bridge idle for 10 s with a TCP and with a
// never-waiting (kind 2, a pty here) local port: CPU and wake-ups; "CLOSE" to reader stopped; and
// buffers handed to channel writes against buffers freed. Prints Markdown.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "link/link_protocol.h"
#include "link/terminal_link.h"
#include "rdp/rdp_channel_client.h"
#include "support/fake_rdp_channel.h"
#include "support/pty_pair.h"

namespace korvane::rdp {
namespace {

using Steady = std::chrono::steady_clock;
constexpr int32_t kJournal = 0;
constexpr int32_t kGoods = 7;
constexpr uint32_t kTableSize = 24;
constexpr int kIdleSeconds = 10;

double MsSince(Steady::time_point t) { return std::chrono::duration<double, std::milli>(Steady::now() - t).count(); }

struct Road {
  test::FakeRdpChannel fake;
  test::ScopedChannelServer server{fake};
  RdpChannelClient client;
  Road() {
    client.Entry(MemorySettings(), &fake, kTableSize, kTableSize, &fake);
    fake.Connect();
    fake.Settle();
  }
};

struct Transfer {
  size_t rows = 0;
  double down_ms = 0;
  double up_ms = 0;
  bool ok = false;
};

Transfer Run(const std::string& port_name) {
  Transfer t;
  TerminalLink link;
  link.SetPort(port_name);
  if (link.ConnectTerminal() != S_CONNECTED || link.RecvPrepare() != S_LINK_OK) return t;
  StringRowList rows;
  auto start = Steady::now();
  if (link.RecvTable(kJournal, rows, nullptr) != S_LINK_OK) return t;
  t.down_ms = MsSince(start);
  t.rows = rows.Rows().size();
  start = Steady::now();
  if (link.ActivateUploadingTables() != S_LINK_OK || link.SendTable(kGoods, rows, nullptr, -1) != S_LINK_OK ||
      link.SendFinal(0) != S_LINK_OK)
    return t;
  t.up_ms = MsSince(start);
  link.Disconnect();
  t.ok = true;
  return t;
}

void Row(const char* what, const Transfer& t) {
  if (!t.ok) {
    std::printf("| %s | failed | | |\n", what);
    return;
  }
  std::printf("| %s | %zu | %.0f ms (%.0f rows/s) | %.0f ms (%.0f rows/s) |\n", what, t.rows, t.down_ms,
              t.rows * 1000.0 / t.down_ms, t.up_ms, t.rows * 1000.0 / t.up_ms);
}

struct Usage {
  double cpu_s;
  long switches;
};
Usage Now() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return {u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6,
          u.ru_nvcsw + u.ru_nivcsw};
}

// Idle with the local port open, then the time from "CLOSE" to the reader's end.
void Idle(const char* what, Road& road, const std::function<void()>& close) {
  const Usage before = Now();
  std::this_thread::sleep_for(std::chrono::seconds(kIdleSeconds));
  const Usage after = Now();
  const auto start = Steady::now();
  close();
  while (road.client.ReaderRunning()) std::this_thread::sleep_for(std::chrono::microseconds(100));
  std::printf("| %s | %.3f %% | %.1f | %.2f ms |\n", what, (after.cpu_s - before.cpu_s) * 100.0 / kIdleSeconds,
              static_cast<double>(after.switches - before.switches) / kIdleSeconds, MsSince(start));
}

int Main(const std::string& v3_port, const std::string& v2_port) {
  const int64_t outstanding = RdpChannelClient::BuffersOutstanding();
  int handed = 0, returned = 0;
  std::printf("| road | rows | download | upload |\n|---|---|---|---|\n");
  Row("v3 direct TCP", Run("LAN;" + v3_port));
  {
    Road road;
    Row("v3 Remote Desktop", Run("TSCLIENT:LAN;" + v3_port));
    road.fake.Settle();
    handed += road.fake.BuffersHanded();
    returned += road.fake.BuffersReturned();
  }
  Row("v2 direct TCP", Run("LAN;" + v2_port));
  {
    Road road;
    Row("v2 Remote Desktop", Run("TSCLIENT:LAN;" + v2_port));
    road.fake.Settle();
    handed += road.fake.BuffersHanded();
    returned += road.fake.BuffersReturned();
  }

  std::printf(
      "\n| bridge, port open and idle %d s | CPU of a core | wake-ups/s (process) | \"CLOSE\" to reader stopped |\n"
      "|---|---|---|---|\n",
      kIdleSeconds);
  {
    Road road;
    TerminalLink link;
    link.SetPort("TSCLIENT:LAN;" + v3_port);
    if (link.ConnectTerminal() == S_CONNECTED) Idle("TCP", road, [&] { link.Disconnect(); });
    road.fake.Settle();
    handed += road.fake.BuffersHanded();
    returned += road.fake.BuffersReturned();
  }
  {
    test::PtyPair pty;
    Road road;
    road.client.SetPortOpener(
        [&](const std::string&, uint32_t, uint32_t* err) { return tsOpenPort(pty.SlavePath(), UsbSerial, err); });
    const auto open = test::ControlMessage("OPEN:USB");
    road.fake.ChunkToClient(open, static_cast<uint32_t>(open.size()), kRdpChannelFlagFirst | kRdpChannelFlagLast);
    road.fake.Settle();
    const auto close = test::ControlMessage("CLOSE");
    Idle("kind 2 (never waits)", road, [&] {
      road.fake.ChunkToClient(close, static_cast<uint32_t>(close.size()), kRdpChannelFlagFirst | kRdpChannelFlagLast);
    });
    road.fake.Settle();
    handed += road.fake.BuffersHanded();
    returned += road.fake.BuffersReturned();
  }
  std::printf("\nchannel buffers: %d handed to writes, %d completed or cancelled, %lld not freed\n", handed, returned,
              static_cast<long long>(RdpChannelClient::BuffersOutstanding() - outstanding));
  return RdpChannelClient::BuffersOutstanding() == outstanding ? 0 : 1;
}

}  // namespace
}  // namespace korvane::rdp

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s V3_PORT V2_PORT\n", argv[0]);
    return 2;
  }
  return korvane::rdp::Main(argv[1], argv[2]);
}
