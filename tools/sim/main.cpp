// korvane-sim: plays the terminal program over TCP loopback, a pty it creates or a serial device.
#include <atomic>
#include <cerrno>
#include <chrono>
#include <clocale>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "csv_stream.h"
#include "korvane_version.h"
#include "line_filter.h"
#include "link/link_protocol.h"
#include "output_file.h"
#include "sim_journal.h"
#include "sim_options.h"
#include "sim_process.h"
#include "terminal/terminal_side.h"
#include "text_charset.h"
#include "tool_entry.h"
#include "transport.h"

namespace korvane::sim {

namespace {

constexpr const char* kProgramName = "korvane-sim";
constexpr const char* kUploadFolder = "uploaded";
constexpr size_t kReadChunk = 65536;
// How long one wait for bytes lasts: short while the v3 engine has frames in flight (its timers
// need a turn), long when the line is idle, so an idle simulator sleeps.
constexpr int32_t kBusyWaitMs = 20;
constexpr int32_t kIdleWaitMs = 500;
constexpr int32_t kSendTimeoutMs = 5000;
// The library's rate on a plain serial port, for a device when --baud names none.
constexpr uint32_t kDeviceBaud = 115200;

std::atomic<bool> g_stop{false};

std::string TablePath(const std::string& dir, int32_t kind) { return dir + "/" + TableKindFileName(kind) + ".csv"; }

bool LoadTables(const std::string& dir, TerminalState& state, std::string& error) {
  if (!tools::IsFolder(dir)) {
    error = "no folder " + dir;
    return false;
  }
  for (int32_t k = 0; k < kTableKindCount; ++k) {
    tools::CsvFileSource source;
    if (!source.Open(TablePath(dir, k))) continue;  // a missing file is an empty table
    std::string row;
    while (source.Next(row) == RowSource::Fetch::kRow) state.tables[k].push_back(row);
    if (source.ReadFailed() || source.BadRow() != 0) {
      error = "cannot read " + TablePath(dir, k) + (source.BadRow() != 0 ? ": " + source.Problem() : std::string());
      return false;
    }
  }
  return true;
}

bool SaveUploaded(const std::string& dir, int32_t kind, const std::vector<std::string>& rows) {
  const std::string folder = dir + "/" + kUploadFolder;
  if (!tools::MakeFolder(folder)) return false;
  tools::CsvFileSink sink;
  if (!sink.Open(TablePath(folder, kind))) return false;
  for (const auto& r : rows) sink.Append(r);
  return sink.Commit();
}

void ApplyState(const SimOptions& o, const tools::TextConverter& to_terminal, TerminalState& s) {
  auto text = [&](const std::optional<std::string>& v, std::string& target) {
    if (v) target = to_terminal.Convert(*v);
  };
  if (o.job) s.current_id[kTableOperations] = *o.job;
  if (o.ready_state) s.readiness = *o.ready_state;
  text(o.ready_text, s.readiness_text);
  text(o.verdict, s.verdict);
  text(o.program_name, s.program_name);
  text(o.program_version, s.program_version);
  text(o.device_name, s.device_name);
  text(o.device_id, s.device_id);
  if (o.lines_count) s.lines_count = *o.lines_count;
}

class Simulator {
 public:
  Simulator(const SimOptions& o, TerminalState& state, SimJournal& journal, std::string unsolicited)
      : o_(o), journal_(journal), side_(state), unsolicited_(std::move(unsolicited)) {
    side_.KeepReceived(false);
    side_.SetIntercept([this](const std::string& message, TerminalSide&) {
      heard_ = true;
      journal_.OnMessage(message);
      // The record goes out after the normal answer, which the side has not queued yet.
      if (o_.unsolicited && message.size() > 1 && static_cast<uint8_t>(message[0]) == kSOH &&
          message.compare(1, std::string::npos, kCmdHardwareInfo) == 0)
        say_pending_ = true;
      return false;
    });
    side_.SetTableLoaded([this](int32_t kind, const std::vector<std::string>& rows) {
      journal_.Note(std::string("LOADED ") + TableKindFileName(kind) + " " + std::to_string(rows.size()));
      if (!o_.data_dir.empty() && !SaveUploaded(o_.data_dir, kind, rows))
        std::fprintf(stderr, "%s: cannot write %s\n", kProgramName,
                     TablePath(o_.data_dir + "/" + kUploadFolder, kind).c_str());
    });
  }

  int Run(Transport& transport);

 private:
  bool TimedOut() const {
    return o_.timeout_s > 0 && std::chrono::steady_clock::now() - start_ >= std::chrono::duration<double>(o_.timeout_s);
  }
  int32_t MsLeft(int32_t cap) const;
  void Serve(std::unique_ptr<SimDevice> device);
  void BeginSession(const LinePort* faulty);
  void EndSession(const LinePort* faulty);

  const SimOptions& o_;
  SimJournal& journal_;
  TerminalSide side_;
  std::string unsolicited_;
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  uint32_t sessions_ = 0;
  bool say_pending_ = false;
  // The current session: whether the PC has sent a message yet, its bytes, and the line's fault
  // counts when it began.
  bool heard_ = false;
  uint64_t bytes_in_ = 0;
  uint64_t bytes_out_ = 0;
  uint64_t corrupted_before_ = 0;
  uint64_t dropped_before_ = 0;
};

int32_t Simulator::MsLeft(int32_t cap) const {
  if (o_.timeout_s <= 0) return cap;
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::duration<double>(o_.timeout_s) -
                                                                    (std::chrono::steady_clock::now() - start_));
  if (left.count() <= 0) return 0;
  return left.count() < cap ? static_cast<int32_t>(left.count()) : cap;
}

void Simulator::BeginSession(const LinePort* faulty) {
  ++sessions_;
  journal_.Session(sessions_);
  side_.ResetSession();
  heard_ = false;
  bytes_in_ = 0;
  bytes_out_ = 0;
  corrupted_before_ = faulty != nullptr ? faulty->Corrupted() : 0;
  dropped_before_ = faulty != nullptr ? faulty->Dropped() : 0;
}

void Simulator::EndSession(const LinePort* faulty) {
  std::string summary = "END " + std::to_string(sessions_) + " in " + std::to_string(bytes_in_) + " out " +
                        std::to_string(bytes_out_);
  if (faulty != nullptr)
    summary += " corrupted " + std::to_string(faulty->Corrupted() - corrupted_before_) + " dropped " +
               std::to_string(faulty->Dropped() - dropped_before_);
  journal_.Note(summary);
  if (!o_.quiet) std::fprintf(stderr, "%s: session %s\n", kProgramName, summary.c_str() + 4);
}

void Simulator::Serve(std::unique_ptr<SimDevice> device) {
  std::unique_ptr<PortDevice> line;
  LinePort* faulty = nullptr;
  if (o_.faults.Active()) {
    auto lp = std::make_unique<LinePort>(std::move(device), o_.faults);
    faulty = lp.get();
    line = std::move(lp);
  } else {
    line = std::move(device);
  }
  BeginSession(faulty);
  TerminalEndpoint endpoint(side_, SynVersion(o_.protocol));
  // A PC that connects again on a line that never closed (a serial device, a pty reopened before
  // its hang-up was seen) starts a session of its own; the handshake that opens a connection
  // ends nothing.
  endpoint.SetSessionStart([this, faulty] {
    if (!heard_) return;
    EndSession(faulty);
    BeginSession(faulty);
  });
  if (o_.nak_code != 0 && endpoint.Responder() != nullptr)
    endpoint.Responder()->ForceNakOnce(static_cast<uint8_t>(o_.nak_code));
  if (o_.nak_code != 0 && endpoint.Blocks() != nullptr) endpoint.Blocks()->NakFirstDataBlockOnce();
  // A burst's acknowledgements leave before its records are handled: the PC's window reopens
  // while the terminal works.
  endpoint.SetWireSink([&](const uint8_t* data, uint32_t length) {
    uint32_t err = 0;
    bytes_out_ += length;
    line->Send(data, length, kSendTimeoutMs, err);
  });
  std::vector<uint8_t> buffer(kReadChunk);
  while (!g_stop && !TimedOut() && line->HasHandle()) {
    const bool busy = endpoint.Busy();
    uint32_t err = 0;
    const uint32_t n = line->ReadMore(buffer.data(), 0, static_cast<uint32_t>(buffer.size()),
                                      MsLeft(busy ? kBusyWaitMs : kIdleWaitMs), err);
    if (n > 0) endpoint.Feed(buffer.data(), n);
    endpoint.Poll();
    bytes_in_ += n;  // counted after the handshake in them may have begun a session
    if (say_pending_) {
      say_pending_ = false;
      side_.EmitRecord(unsolicited_);
      endpoint.Poll();
    }
    std::vector<uint8_t> out = endpoint.TakeOutput();
    if (!out.empty()) {
      bytes_out_ += out.size();
      line->Send(out.data(), static_cast<uint32_t>(out.size()), kSendTimeoutMs, err);
    }
  }
  EndSession(faulty);
  line->Close();
}

int Simulator::Run(Transport& transport) {
  std::printf("%s\n", transport.Describe().c_str());
  std::fflush(stdout);
  while (!g_stop && !TimedOut()) {
    auto device = transport.Accept(MsLeft(kIdleWaitMs));
    if (!device) continue;
    Serve(std::move(device));
    transport.SessionEnded();
    if (o_.once) break;
  }
  if (!o_.quiet) {
    double user = 0;
    double system = 0;
    ProcessCpuSeconds(user, system);
    std::fprintf(stderr, "%s: %u session(s), cpu user %.3f s, system %.3f s%s\n", kProgramName, sessions_, user, system,
                 TimedOut() ? ", timed out" : "");
  }
  return 0;
}

}  // namespace

int Main(int argc, char** argv) {
  // A closed standard stream must not lend its number to the pty or a session's socket.
  if (!tools::EnsureStandardDescriptors()) return 1;
  std::setlocale(LC_ALL, "");
  // Options such as --corrupt 0.001 are read the same under every locale (ru_RU writes 0,001).
  std::setlocale(LC_NUMERIC, "C");
  std::vector<std::string> args(argv + 1, argv + argc);
  std::string error;
  auto parsed = ParseSimOptions(args, error);
  if (!parsed) {
    std::fprintf(stderr, "%s: %s\n(korvane-sim --help lists the options)\n", kProgramName, error.c_str());
    return 2;
  }
  const SimOptions& o = *parsed;
  if (o.help) {
    std::fputs(SimHelp().c_str(), stdout);
    return 0;
  }
  if (o.version) {
    std::printf("%s %s\n", kProgramName, KORVANE_VERSION);
    return 0;
  }
  if (const std::string problem = tools::TerminalCharsetProblem(o.charset); !problem.empty()) {
    std::fprintf(stderr, "%s: %s\n", kProgramName, problem.c_str());
    return 2;
  }
  tools::TextConverter to_terminal(tools::LocaleCharset(), o.charset);
  if (!to_terminal.Ok()) {
    std::fprintf(stderr, "%s: unknown charset '%s'\n", kProgramName, o.charset.c_str());
    return 2;
  }
  TerminalState state;
  state.current_id[kTableOperations] = 1;  // a job is loaded unless --job says otherwise
  if (!o.data_dir.empty() && !LoadTables(o.data_dir, state, error)) {
    std::fprintf(stderr, "%s: %s\n", kProgramName, error.c_str());
    return 1;
  }
  ApplyState(o, to_terminal, state);
  if (!o.lines_count && !o.quiet) {
    const std::string warning = JournalCountWarning(state.tables[kTableJournal].size(),
                                                    state.tables[kTableJournal2].size());
    if (!warning.empty()) std::fprintf(stderr, "%s: %s\n", kProgramName, warning.c_str());
  }
  SimJournal journal;
  if (!journal.Open(o.journal)) {
    std::fprintf(stderr, "%s: cannot write %s: %s\n", kProgramName, o.journal.c_str(), std::strerror(errno));
    return 1;
  }
  StopOnInterrupt(g_stop);
  auto say = [&o](const std::string& text) {
    if (!o.quiet) std::fprintf(stderr, "%s: %s\n", kProgramName, text.c_str());
  };
  std::unique_ptr<Transport> transport;
  if (!o.connect_back.empty())
    transport = ConnectBack(o.connect_back, say, error);
  else if (!o.device.empty())
    transport = OpenDevice(o.device, o.faults.baud != 0 ? o.faults.baud : kDeviceBaud, say, error);
  else if (o.pty)
    transport = CreatePty(o.pty_link, error);
  else
    transport = ListenTcp(o.listen, error);
  if (!transport) {
    std::fprintf(stderr, "%s: %s\n", kProgramName, error.c_str());
    return 1;
  }
  Simulator sim(o, state, journal, o.unsolicited ? to_terminal.Convert(*o.unsolicited) : std::string());
  return sim.Run(*transport);
}

}  // namespace korvane::sim

int ToolMain(int argc, char** argv) { return korvane::sim::Main(argc, argv); }
