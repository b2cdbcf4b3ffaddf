#include "doctor.h"

#include "doctor_platform.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "frame/frame_buffer.h"
#include "frame/frame_layout.h"
#include "legacy/block_line.h"
#include "legacy/comport.h"
#include "link/link_protocol.h"
#include "link/terminal_link.h"
#include "platform/errors.h"
#include "platform/tcp_socket.h"
#include "port/link_port.h"

namespace korvane::tools {

namespace {

// Each step has its own bound, so an idle port costs well under the 3 s a person waits for.
constexpr int32_t kLanConnectMs = 800;  // a LAN address that never answers
constexpr uint32_t kSyncMs = 600;       // v3 handshake; v2 terminals answer it with their version
// A bare v2 link check after a silent handshake: below the v2 exchange's first frame time-out, so
// it is one frame and one wait rather than a second, doubled one.
constexpr uint32_t kV2CheckMs = 300;
constexpr uint32_t kCheckMs = 1000;  // each link check once a terminal answered
// 1.00 has no link check: a silent line costs one read of the software query's echo.
constexpr uint32_t kBlockReadLimitMs = 400;
constexpr uint32_t kBlockWriteLimitMs = 300;  // a line whose CTS stays low holds every write
// An infrared adapter echoes its probe byte within milliseconds at any of its rates.
constexpr uint32_t kIrdaEchoLimitMs = 100;
constexpr int kQualityChecks = 30;
// What one port with a terminal may take at most: its queries and link checks on a slow line.
constexpr uint32_t kPortBudgetMs = 10000;
constexpr uint32_t kErrConnectionRefused = 10061;
constexpr const char* kNoJobText = "no job loaded on the terminal: there is nothing to download yet";
constexpr double kVersionDivisor = 100.0;
// The row rate is estimated for rows this long (a typical goods row).
constexpr double kEstimateRowBytes = 100;
// 115200 bit/s, ten bits a byte with start and stop bits.
constexpr double kSerialLineBytesPerSecond = 11520;
// Below the clock's resolution a round trip says nothing: the estimate stays finite.
constexpr double kShortestRoundTripMs = 0.001;

// "LAN:HOST:PORT" as host and port; false for any other name.
bool SplitLanAddress(const std::string& name, std::string& host, uint16_t& port) {
  constexpr const char* kPrefix = "LAN:";
  if (name.size() < 4 || name.compare(0, 4, kPrefix) != 0) return false;
  const size_t colon = name.rfind(':');
  if (colon <= 4) return false;
  char* end = nullptr;
  const long p = std::strtol(name.c_str() + colon + 1, &end, 10);
  if (*end != 0 || p < 1 || p > 65535) return false;
  host = name.substr(4, colon - 4);
  port = static_cast<uint16_t>(p);
  return true;
}

// A connect of our own with a short limit: the link's own waits as long as Windows would.
bool ProbeLan(const std::string& name, PortReport& r) {
  std::string host;
  uint16_t port = 0;
  if (!SplitLanAddress(name, host, port)) return true;  // the link's open explains a bad address
  StartSockets();
  uint32_t err = 0;
  const SocketHandle s = SocketConnect(host, port, err, kLanConnectMs);
  if (s != kInvalidSocket) {
    SocketShutdownBoth(s);
    SocketClose(s);
    return true;
  }
  r.error = err;
  if (err == kErrConnectionRefused) {
    r.status = "refused";
    r.message = host + " refuses port " + std::to_string(port) +
                ": nothing listens there (wrong port, or the terminal's program is not running)";
  } else if (err == kErrSocketTimedOut) {
    r.status = "timeout";
    r.message = "no answer from " + host + " within " + std::to_string(kLanConnectMs) +
                " ms: wrong address, or a firewall drops it";
  } else if (err == kErrSocketHostNotFound) {
    r.status = "unknown-host";
    r.message = "the name " + host + " does not resolve: check its spelling, or give the terminal's IP address";
  } else {
    r.status = "error";
    r.message = "cannot reach " + name + ": " + SystemErrorText(err);
  }
  return false;
}

void ClassifyOpenFailure(const std::string& name, uint32_t err, PortReport& r) {
  r.error = err;
  if (err == kErrFileNotFound) {
    r.status = r.listed ? "vanished" : "missing";
    // As the user gave it: the open's name may be the driver's (USB is the sync driver's device).
    r.message = r.listed ? r.port + " was listed but is gone: the device was unplugged or reset; plug it in again"
                         : "there is no " + r.port + ": check the name with 'korvane ports'";
  } else if (err == kErrConnectionRefused) {
    r.status = "refused";
    r.message = name + " refuses the connection";
  } else if (!DiagnoseRefusedOpen(name, err, r)) {
    r.status = "error";
    r.message = "cannot open " + name + ": " + SystemErrorText(err) + " (" + std::to_string(err) + ")";
  }
}

// The link's clock for one port: real time until the port's budget is spent or the check gives
// up, then every reading lies a link time-out further on, so each wait of the link ends at the
// next look at the clock (a close after a failed link check would otherwise flush unacknowledged
// frames for the whole exchange time-out).
class BudgetClock final : public Clock {
 public:
  explicit BudgetClock(uint32_t budget_ms) : end_(SystemClock().Now() + budget_ms) {}
  void Expire() { expired_ = true; }
  uint32_t Now() const override {
    const uint32_t now = SystemClock().Now();
    if (!expired_ && TicksLeft(now, end_) > 0) return now;
    return now + kLinkExchangeTimeoutMs * ++jumps_;
  }
  void Sleep(uint32_t ms) const override {
    if (!expired_) SystemClock().Sleep(ms);
  }

 private:
  const uint32_t end_;
  std::atomic<bool> expired_{false};
  mutable std::atomic<uint32_t> jumps_{0};
};

// The 1.00 line with its time-outs capped, so a silent line answers "nothing" quickly.
class CappedBlockLine : public ForwardingBlockLine {
 public:
  using ForwardingBlockLine::ForwardingBlockLine;
  bool SetTimeouts(const SerialTimeouts& t) override {
    SerialTimeouts capped = t;
    // Only the infrared adapter's probe reads with an interval limit; blocks are read without.
    const uint32_t read_limit = t.read_interval != kMaxDword ? kIrdaEchoLimitMs : kBlockReadLimitMs;
    capped.read_constant = std::min(t.read_constant, read_limit);
    capped.write_constant = std::min(t.write_constant, kBlockWriteLimitMs);
    return ForwardingBlockLine::SetTimeouts(capped);
  }
};

// The answer fields of a query at 1.00, or false when the terminal did not echo it.
bool BlockQuery(CComport& port, const char* code, std::vector<std::string>& fields) {
  if (port.SendCmd(code) != 1) return false;
  std::vector<char> buffer(kPropertyBufferSize);
  int32_t size = static_cast<int32_t>(buffer.size());
  if (port.TryToRecv(buffer.data(), size) != 1) return false;
  fields = SplitAnswerFields(buffer.data(), static_cast<size_t>(size));
  return true;
}

// The 1.00 port object on a line with capped time-outs; `opened` and `err` tell how the open went.
void CapBlockLine(CComport& port, bool& opened, uint32_t& open_err) {
  port.SetBlockLineOpener([&](const std::string& device, uint32_t& err) -> std::unique_ptr<BlockLine> {
    std::unique_ptr<BlockLine> line = OpenDeviceBlockLine(device, err);
    open_err = err;
    opened = line != nullptr;
    if (line == nullptr) return nullptr;
    return std::make_unique<CappedBlockLine>(std::move(line));
  });
}

// A terminal of the character-block protocol answers the software query; then the others.
bool QueryBlocks(CComport& port, PortReport& r) {
  std::vector<std::string> fields;
  if (!BlockQuery(port, kCmdSoftwareInfo, fields)) return false;
  r.status = "terminal";
  r.protocol = kComportVersion100;
  r.program = fields.size() > 0 ? fields[0] : "";
  r.version = fields.size() > 1 ? fields[1] : "";
  if (BlockQuery(port, kCmdHardwareInfo, fields)) {
    r.device = fields.size() > 0 ? fields[0] : "";
    r.device_id = fields.size() > 1 ? fields[1] : "";
  }
  if (BlockQuery(port, kCmdGetIdOperations, fields) && !fields.empty())
    r.job_id = static_cast<int32_t>(std::strtol(fields[0].c_str(), nullptr, 10));
  return true;
}

bool ProbeBlocks(const std::string& name, PortReport& r) {
  CComport port;
  bool opened = false;
  uint32_t open_err = 0;
  CapBlockLine(port, opened, open_err);
  return port.Open(name) == 1 && QueryBlocks(port, r);
}

// The infrared adapter's probe, then the 1.00 queries through the adapter. False when the port
// did not open or the adapter stayed silent; `r` says which.
bool ProbeInfrared(const std::string& name, PortReport& r) {
  CComport port;
  bool opened = false;
  uint32_t open_err = 0;
  CapBlockLine(port, opened, open_err);
  if (port.OpenIRDA(name) == 1) {
    QueryBlocks(port, r);
    return true;
  }
  if (!opened) {
    ClassifyOpenFailure(name, open_err, r);
  } else {
    r.status = "no-adapter";
    r.message =
        "an infrared adapter that does not answer the probe: nothing echoed it at 115200, 57600, 38400, 19200 or "
        "9600 bit/s; is the adapter on this port, plugged in and powered?";
  }
  return false;
}

std::string ProtocolText(uint32_t protocol);

double Ms(std::chrono::steady_clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// What a download of rows of kEstimateRowBytes can reach on this line, from the median link
// check and the line's rate (0: no bound known). v3 keeps a window of frames in flight each
// round trip, bounded by the rate too; v2 fetches one row per exchange (REQ, then its DATA frame),
// and a link check is two exchanges.
double EstimateRowsPerSecond(uint32_t protocol, double median_ms, double line_bytes_per_s) {
  const double round_trip_s = std::max(median_ms, kShortestRoundTripMs) / 1000.0;
  if (protocol >= kLinkVersionV3) {
    const double record = kEstimateRowBytes + 1 + kRecordLengthPrefix;  // RS, and the length in front
    const double body = kV3MaxFrameSize - kFrameHeaderSize;
    const double by_window = kV3Window * body / record / round_trip_s;
    if (line_bytes_per_s <= 0) return by_window;
    const double wire = record * (kV3MaxFrameSize + kFrameHeaderSize) / body;  // frame headers and ACKs
    return std::min(by_window, line_bytes_per_s / wire);
  }
  const double wire = kReqFrameSize + kFrameHeaderSize + kEstimateRowBytes + 1;
  return 1.0 / (round_trip_s / 2 + (line_bytes_per_s > 0 ? wire / line_bytes_per_s : 0));
}

RoundTrips MeasureLine(TerminalLink& link, double line_bytes_per_s) {
  RoundTrips t;
  const LineQuality::Totals before = link.LineTotals();
  std::vector<double> ms;
  for (int i = 0; i < kQualityChecks; ++i) {
    const auto start = std::chrono::steady_clock::now();
    const int32_t r = link.IsTerminalOnline(kCheckMs);
    const double took = Ms(std::chrono::steady_clock::now() - start);
    if (r == S_LINK_OK) {
      ms.push_back(took);
    } else {
      ++t.failed;
    }
  }
  t.count = static_cast<int>(ms.size());
  if (!ms.empty()) {
    std::sort(ms.begin(), ms.end());
    t.min_ms = ms.front();
    t.max_ms = ms.back();
    t.median_ms = ms.size() % 2 == 1 ? ms[ms.size() / 2] : (ms[ms.size() / 2 - 1] + ms[ms.size() / 2]) / 2;
    t.rows_per_s = EstimateRowsPerSecond(link.RemoteVersion(), t.median_ms, line_bytes_per_s);
  }
  const LineQuality::Totals after = link.LineTotals();
  t.frames = after.frames - before.frames;
  t.retransmissions = after.wasted - before.wasted;
  t.crc_failures = after.damaged - before.damaged;
  return t;
}

void CheckPort(PortReport& r, bool quick) {
  const auto started = std::chrono::steady_clock::now();
  std::string device = r.port;
  const PortKind kind = ResolvePortKind(device);
  r.kind = kind == Lan ? "tcp" : (kind == UsbSerial || kind == WinUsb || kind == ActiveSync) ? "usb" : "serial";
  if (r.infrared) {
    r.kind = "irda";
    // The adapter must answer before anything reaches the terminal; 1.00 is asked through it at once.
    if (!ProbeInfrared(device, r) || r.status == "terminal") {
      r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
      return;
    }
  }
  if (kind == Lan && !ProbeLan(r.port, r)) {
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    return;
  }
  BudgetClock clock(kPortBudgetMs);
  TerminalLink link(clock);
  uint32_t open_err = 0;
  link.SetPortOpener([&open_err, &r](const std::string& dev, uint32_t k, uint32_t* err) {
    TsPort* port = tsOpenPort(dev, r.infrared ? IrDA : k, err);
    open_err = *err;
    return port;
  });
  link.SetPort(r.port);
  if (link.OpenPort() != S_LINK_OK) {
    ClassifyOpenFailure(device, open_err, r);
  } else {
    uint32_t err = 0;
    const bool synced = link.SyncRemoteVersion(err, kSyncMs) == 1;
    const uint32_t handshake_version = link.RemoteVersion();  // forgotten when the port closes
    if (err != 0 && IsDeviceLostError(err)) {
      r.status = "vanished";
      r.error = err;
      r.message = kind == Lan
                      ? r.port +
                            " closed the connection during the check: not a terminal, or one busy with another client"
                      : r.port + " went away while being checked: unplugged or reset";
    } else if (link.IsTerminalOnline(synced ? kCheckMs : kV2CheckMs) != S_LINK_OK) {
      clock.Expire();
      link.Disconnect();
      // The character-block protocol runs on serial lines only.
      if (kind == Serial && !r.infrared && !synced && ProbeBlocks(device, r)) {
        if (r.job_id && *r.job_id == 0) r.message = kNoJobText;
      } else {
        r.status = "no-answer";
        r.message = kind == Serial ? "nothing answered the link check (v3, v2) nor the software query (1.00)"
                                   : "nothing answered the link check (v3, v2)";
        if (synced) {
          r.message = "the handshake was answered (protocol " + ProtocolText(handshake_version) +
                      ") but not the link check: the terminal's program may be busy or stuck";
        } else {
          r.message += ": is the terminal in its cradle or on its cable, and its program started?";
        }
        // Another program with the port open may be the one talking to the terminal.
        if (kind != Lan) NoteOtherHolders(device, r);
      }
    } else {
      r.status = "terminal";
      r.protocol = link.RemoteVersion();
      if (link.QuerySoftwareInfo() == S_LINK_OK && link.QueryHardwareInfo() == S_LINK_OK) {
        r.program = link.RemoteProgName();
        r.version = link.RemoteProgVersion();
        r.device = link.RemoteDevName();
        r.device_id = link.RemoteDevID();
      } else {
        r.message = "it answers the link check but not the identity queries";
      }
      int32_t id = 0;
      if (link.GetCurrentID(kTableOperations, id) == S_LINK_OK) r.job_id = id;
      if (r.job_id && *r.job_id == 0) r.message = kNoJobText;
      // Only a serial line has a rate to bound it; a pty takes the serial port's rate too.
      if (!quick) r.round_trips = MeasureLine(link, kind == Serial ? kSerialLineBytesPerSecond : 0);
    }
    link.Disconnect();
  }
  r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
}

std::string JsonString(const std::string& utf8) {
  std::string s = "\"";
  for (unsigned char c : utf8) {
    if (c == '"' || c == '\\') {
      s += '\\';
      s += static_cast<char>(c);
    } else if (c < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      s += buf;
    } else {
      s += static_cast<char>(c);
    }
  }
  return s + "\"";
}

// Always with a point: JSON needs one, and the locale the tool runs in (setlocale for its text)
// may write a comma, as a Russian one does.
std::string Fixed(double v, int digits) {
  char buf[64];
  const std::to_chars_result r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, digits);
  return std::string(buf, r.ec == std::errc() ? r.ptr : buf);
}

std::string ProtocolText(uint32_t protocol) { return protocol == 0 ? "" : Fixed(protocol / kVersionDivisor, 2); }

// Field names are for support tickets and scripts: keep them stable.
std::string JsonLine(const PortReport& r, const TextConverter& terminal_to_utf8) {
  auto text = [&](const std::string& terminal) { return JsonString(terminal_to_utf8.Convert(terminal)); };
  std::string s = "{\"port\":" + JsonString(r.port) + ",\"kind\":" + JsonString(r.kind) +
                  ",\"listed\":" + (r.listed ? "true" : "false") + ",\"status\":" + JsonString(r.status) +
                  ",\"error\":" + std::to_string(r.error) + ",\"message\":" + JsonString(r.message) + ",\"holders\":[";
  for (size_t i = 0; i < r.holders.size(); ++i) {
    s += std::string(i ? "," : "") + "{\"pid\":" + std::to_string(r.holders[i].pid) +
         ",\"name\":" + JsonString(r.holders[i].name) + "}";
  }
  s += "],\"group\":" + JsonString(r.group) + ",\"protocol\":" + JsonString(ProtocolText(r.protocol)) +
       ",\"program\":" + text(r.program) + ",\"version\":" + text(r.version) + ",\"device\":" + text(r.device) +
       ",\"device_id\":" + text(r.device_id) +
       ",\"job_id\":" + (r.job_id ? std::to_string(*r.job_id) : std::string("null")) + ",\"round_trip_ms\":";
  if (r.round_trips) {
    const RoundTrips& t = *r.round_trips;
    s += "{\"checks\":" + std::to_string(t.count) + ",\"failed\":" + std::to_string(t.failed) +
         ",\"min\":" + Fixed(t.min_ms, 3) + ",\"median\":" + Fixed(t.median_ms, 3) + ",\"max\":" + Fixed(t.max_ms, 3) +
         "},\"line\":{\"frames\":" + std::to_string(t.frames) +
         ",\"retransmissions\":" + std::to_string(t.retransmissions) +
         ",\"crc_failures\":" + std::to_string(t.crc_failures) +
         ",\"rows_per_s\":" + (t.count > 0 ? Fixed(t.rows_per_s, 0) : std::string("null")) + "}";
  } else {
    s += "null,\"line\":null";
  }
  return s + ",\"seconds\":" + Fixed(r.seconds, 3) + "}";
}

void PrintTable(const std::vector<PortReport>& reports, const ScreenText& text) {
  size_t width = 4;
  for (const PortReport& r : reports) width = std::max(width, r.port.size());
  const int w = static_cast<int>(width);
  std::printf("%-*s  %-6s  %-12s  %-8s  %s\n", w, "PORT", "KIND", "STATUS", "PROTOCOL", "TERMINAL");
  for (const PortReport& r : reports) {
    std::string terminal;
    if (r.status == "terminal") {
      terminal = text.ToScreen(r.program) + " " + text.ToScreen(r.version) + " on " + text.ToScreen(r.device) +
                 ", ID " + text.ToScreen(r.device_id);
      if (r.job_id) terminal += ", job " + std::to_string(*r.job_id);
    }
    const std::string protocol = r.protocol ? ProtocolText(r.protocol) : "-";
    char row[1024];
    std::snprintf(row, sizeof row, "%-*s  %-6s  %-12s  %-8s  ", w, r.port.c_str(), r.kind.c_str(), r.status.c_str(),
                  protocol.c_str());
    std::string line = row + terminal;
    while (!line.empty() && line.back() == ' ') line.pop_back();
    std::printf("%s\n", line.c_str());
    if (r.round_trips) {
      const RoundTrips& t = *r.round_trips;
      std::printf("%*s  round trip %s / %s / %s ms (min / median / max of %d link checks, %d failed)\n", w, "",
                  Fixed(t.min_ms, 2).c_str(), Fixed(t.median_ms, 2).c_str(), Fixed(t.max_ms, 2).c_str(), t.count,
                  t.failed);
      std::printf("%*s  line: %llu frames, %llu sent again, %llu CRC failures", w, "",
                  static_cast<unsigned long long>(t.frames), static_cast<unsigned long long>(t.retransmissions),
                  static_cast<unsigned long long>(t.crc_failures));
      if (t.count > 0)
        std::printf("; a download of %.0f-byte rows may reach %s rows/s", kEstimateRowBytes,
                    Fixed(t.rows_per_s, 0).c_str());
      std::printf("\n");
    }
    if (!r.message.empty()) std::printf("%*s  %s\n", w, "", r.message.c_str());
  }
}

}  // namespace

int RunDoctor(const CliOptions& o, const ScreenText& text) {
  std::vector<PortReport> reports;
  auto add = [&](const std::string& name, bool listed) {
    for (const PortReport& r : reports)
      if (r.port == name) return;
    PortReport r;
    r.port = name;
    r.listed = listed;
    reports.push_back(r);
  };
  for (const std::string& name : DoctorListedPorts()) add(name, true);
  // The port the user's other commands use is the first suspect.
  if (const char* configured = std::getenv(kPortEnvironment); configured != nullptr && *configured != 0)
    add(configured, false);
  for (const std::string& p : o.ports) add(p, false);
  for (const std::string& p : o.irda_ports) {
    add(p, false);
    for (PortReport& r : reports)
      if (r.port == p) r.infrared = true;
  }
  const auto started = std::chrono::steady_clock::now();
  // One thread a port: each waits on its own line, so the scan takes as long as the slowest port.
  std::vector<std::thread> checks;
  checks.reserve(reports.size());
  for (PortReport& r : reports) checks.emplace_back([&r, &o]() { CheckPort(r, o.quick); });
  for (std::thread& t : checks) t.join();
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

  const bool found = std::any_of(reports.begin(), reports.end(),
                                 [](const PortReport& r) { return r.status == "terminal"; });
  if (o.json) {
    TextConverter to_utf8(o.charset, "UTF-8");
    for (const PortReport& r : reports) std::printf("%s\n", JsonLine(r, to_utf8).c_str());
  } else {
    if (reports.empty()) {
      std::printf("no ports: the system lists none; give one with --port NAME (LAN:HOST:PORT too)\n");
    } else {
      PrintTable(reports, text);
    }
    if (!o.quiet) {
      std::fprintf(stderr, "%zu port%s checked in %s s; %s\n", reports.size(), reports.size() == 1 ? "" : "s",
                   Fixed(seconds, 2).c_str(), found ? "a terminal answered" : "no terminal answered");
    }
  }
  return found ? kExitOk : kExitFailure;
}

}  // namespace korvane::tools
