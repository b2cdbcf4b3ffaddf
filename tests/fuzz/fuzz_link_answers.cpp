// A hostile or broken terminal program above correct framing: the in-process terminal answers each
// message of the PC as the input says (its normal answer, silence, a right or wrong echo, records,
// bare bytes, whole tables), while the input also drives the link's operations. Besides crashes and
// hangs it checks what the link promises: result codes from its own list, a failure that explains
// itself, a clear record after a success, and a download or upload that reports success only when
// every row went across whole. The input also restarts the terminal program or breaks the port
// part-way through an operation; such a failure must carry the port's code and text, nothing may
// spin without the clock moving, and once the device is back a connect, a download and an upload work.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "fuzz_disrupt.h"
#include "fuzz_input.h"
#include "fuzz_report.h"
#include "link/link_protocol.h"
#include "link/link_texts.h"
#include "link/terminal_link.h"
#include "platform/ticks.h"
#include "support/link_rows.h"
#include "support/terminal_peer.h"

namespace korvane {
namespace {

// The input reader and the reporting.
using namespace fuzz;

constexpr int kMaxOperations = 12;
constexpr uint32_t kMaxRepliesPerMessage = 4;
constexpr uint32_t kMaxAnswerDelayMs = kLinkExchangeTimeoutMs + 5000;
constexpr uint32_t kMaxTableRows = 12;
constexpr uint32_t kMaxUploadRows = 6;
constexpr uint16_t kProtocols[] = {0x0200, 0x0201, 0x0300};
// More port calls than any operation makes while waiting on the clock: the link spins.
constexpr uint64_t kMaxPortCallsPerOperation = 20000;

// Answers a terminal program might plausibly give, so the fuzzer reaches the field parsing early.
const char* const kDictionary[] = {
    "0",           "1",       "2",    "3",    "-1",      "-2147483648", "2147483647",
    "99999999999", " 5",      "5abc", "SYNC", "SYNC;0;", "SYNC;0",      "SYNC;-1;Ошибка",
    "SYNC;1;x",    "sync;0;", ";;",   ";",    "1;Готов", "3;Не готов",  "Ostrel;1.0.0.0",
    "MC3190;A1B2",
};
// Record lengths at the edges of the link's buffers (property answer, row, v2 block).
constexpr uint32_t kEdgeLengths[] = {1022, 1023, 1024, 1025, 8190, 8191, 8192, 8193, 8195, 8196, 20000};

// The link's log, kept by some inputs (every line is a file append, so not by all).
std::string g_link_log;

std::string Text(Input& in, uint32_t max_length) {
  const std::vector<uint8_t> bytes = in.Take(in.Byte() % (max_length + 1));
  return std::string(bytes.begin(), bytes.end());
}

bool IsCommand(const std::string& message) { return !message.empty() && static_cast<uint8_t>(message[0]) == kSOH; }
std::string Record(const std::string& text) { return static_cast<char>(kRS) + text; }
std::string EchoOf(const std::string& message) {
  return static_cast<char>(kENQ) + (IsCommand(message) ? message.substr(1) : std::string());
}
bool IsEndRecord(const std::string& message) {
  return message.size() >= 2 && static_cast<uint8_t>(message[0]) == kRS && static_cast<uint8_t>(message[1]) == kEOT;
}

// One message the hostile terminal sends in answer to `message`.
std::string Reply(Input& in, const std::string& message) {
  switch (in.Byte() % 8) {
    case 0: return EchoOf(message);
    case 1: return static_cast<char>(kENQ) + Text(in, 4);
    case 2: return Record(Text(in, 15));
    case 3: return Record(kDictionary[in.Byte() % std::size(kDictionary)]);
    case 4: return Record(static_cast<char>(kEOT) + Text(in, 2));
    case 5: return Record("");
    case 6: return Text(in, 7);
    default: return Record(std::string(kEdgeLengths[in.Byte() % std::size(kEdgeLengths)] - 1, 'x'));
  }
}

std::string TableRow(Input& in, uint32_t index) {
  switch (in.Byte() % 6) {
    case 0: return Text(in, 11);
    case 1: return kDictionary[in.Byte() % std::size(kDictionary)];
    case 2: return "";
    case 3: return static_cast<char>(kEOT) + Text(in, 2);
    default: return "r" + std::to_string(index);
  }
}

class Harness {
 public:
  Harness(Input& in, uint16_t protocol) : in_(in), peer_(protocol, clock_), link_(clock_) {
    peer_.Attach(link_);
    if (g_trace) std::fprintf(stderr, "protocol 0x%04X\n", protocol);
    peer_.KeepWrites(false);
    peer_.Side().SetIntercept([this](const std::string& message, TerminalSide& side) { return Answer(message, side); });
    peer_.Side().SetSentTap([this](const std::string& message) {
      if (peer_.Opens() != sent_opens_) {
        sent_.clear();
        sent_opens_ = peer_.Opens();
      }
      // An empty message carries nothing: v3 has no record for it, v2 cannot take it as a row.
      if (!message.empty()) sent_.push_back(message);
      if (g_trace) std::fprintf(stderr, "  <T %s\n", Printable(message).c_str());
      if (disrupt_after_sent_ > 0 && --disrupt_after_sent_ == 0) Disrupt();
    });
  }

  void Setup() {
    // The tick count wraps every 49.7 days; half the inputs run up to it.
    const uint16_t before_wrap = in_.U16();
    if (before_wrap & 1) clock_.Set(0u - (static_cast<uint32_t>(before_wrap) << 4));
    // Rows and answers also go through the link log's formatting.
    if ((before_wrap & 0x0E) == 0x0E && !g_link_log.empty()) link_.SetupLogfile(g_link_log, 0);
    TerminalState& state = peer_.State();
    state.lines_count = static_cast<int8_t>(in_.Byte()) % 8;
    state.current_id[kTableOperations] = in_.Byte() % 3;
    state.readiness = in_.Byte() % 3;
    state.verdict = kDictionary[in_.Byte() % std::size(kDictionary)];
    for (int32_t kind : {kTableJournal, kTableJournal2, kTableService}) {
      const uint32_t n = in_.Byte() % 5;
      for (uint32_t i = 0; i < n; ++i) state.tables[kind].push_back(TableRow(in_, i));
    }
  }

  void Run() {
    for (int step = 0; step < kMaxOperations && !in_.Empty(); ++step) Operation();
    // Whatever the terminal did, once the device is back a new connection to a well-behaved one
    // works, and after a restart or a port failure so do a download and an upload.
    hostile_ = false;
    disrupt_after_sent_ = 0;
    peer_.Faults() = {};
    peer_.SetSilent(false);
    link_.Disconnect();
    if (link_.ConnectTerminal() != S_CONNECTED) Fail("no recovery by reconnecting:", link_.GetDiag().message);
    if (disruptions_ > 0) DownloadAndUpload();
    // Every operation gave the lock back: another thread gets it (or the input hangs).
    std::thread other([this] { link_.IsPortOpen(); });
    other.join();
  }

 private:
  void DownloadAndUpload() {
    TerminalState& state = peer_.State();
    state.lines_count = -1;
    state.tables[kTableJournal] = {"a", "b", "c"};
    StringRowList rows;
    if (link_.RecvTable(kTableJournal, rows, nullptr) != S_LINK_OK || rows.Rows() != state.tables[kTableJournal]) {
      Fail("no download after recovery:", link_.GetDiag().message);
    }
    test::ElementRows upload;
    upload.elements = {"x", "y"};
    if (CheckedUpload(kTableGoods, upload, nullptr, -1) != S_LINK_OK) {
      Fail("no upload after recovery:", link_.GetDiag().message);
    }
  }

  // The terminal's answer to one message from the PC; false lets its normal handling run.
  bool Answer(const std::string& message, TerminalSide& side) {
    if (!hostile_) return false;
    const uint8_t how = in_.Byte();
    if (g_trace) std::fprintf(stderr, "  PC> %s: answer %d\n", Printable(message).c_str(), how % 8);
    const uint32_t count = 1 + (how >> 3) % kMaxRepliesPerMessage;
    // The terminal takes its time to answer: up to past the PC's exchange time-out.
    if (how & 0x80) clock_.Advance(in_.U16() % kMaxAnswerDelayMs);
    switch (how % 8) {
      case 0: return false;
      case 1: return true;  // silence
      case 6:
      case 7: return DisruptOnMessage(how % 8 == 6, how, in_, disrupt_after_sent_, [this] { Disrupt(); });
      case 2:
        side.Emit(EchoOf(message));
        for (uint32_t i = 1; i < count; ++i) side.Emit(Reply(in_, message));
        return true;
      case 3:
        for (uint32_t i = 0; i < count; ++i) side.Emit(Reply(in_, message));
        return true;
      case 4: {
        side.Emit(EchoOf(message));
        const uint32_t rows = in_.Byte() % (kMaxTableRows + 1);
        for (uint32_t i = 0; i < rows; ++i) side.EmitRecord(TableRow(in_, i));
        side.EmitRecord(std::string(1, static_cast<char>(kEOT)));
        return true;
      }
      default:
        side.Emit(Reply(in_, message));  // junk first, then the proper answer
        return false;
    }
  }

  // The terminal program restarts, or the port fails, or the device comes back.
  void Disrupt() {
    const uint8_t what = in_.Byte();
    if (g_trace) std::fprintf(stderr, "  disrupt %d\n", what % 6);
    ++disruptions_;
    if (!fuzz::Disrupt(peer_, what)) return;
    // The messages after this one reach the new session.
    restarts_.push_back(peer_.Side().Received().size());
    sent_.emplace_back();  // no table of the terminal's spans it
  }

  // A port that failed for the whole operation: no exchange could complete.
  bool PortDownThroughout() {
    const test::PortFaults& f = peer_.Faults();
    // A read error shows only once a whole frame went out.
    return disruptions_ == disruptions_at_start_ &&
           (f.send_error != 0 || (f.read_error != 0 && f.send_cut == 0) || f.vanished);
  }

  int32_t Kind() { return static_cast<int32_t>(in_.Byte() % (kTableKindCount + 2)) - 1; }

  void Expect(int32_t r, std::initializer_list<int32_t> allowed, const char* operation) {
    if (g_stats) ++g_results[operation][r];
    if (g_trace) std::fprintf(stderr, "  %s: %d\n", operation, r);
    if (answer_needed_ && PortDownThroughout()) PortFailure(r, operation);
    for (int32_t a : allowed) {
      if (r == a) return;
    }
    Fail("result outside the documented codes:", std::string(operation) + " " + std::to_string(r));
  }

  // An operation that needs the terminal's answer, over a port that failed throughout, fails with
  // the port's code and names the lost device (or a restart of the terminal from before, read first).
  void PortFailure(int32_t r, const char* operation) {
    if (g_stats) ++g_results[std::string("port down: ") + operation][r];
    // The link check reports in its diagnostic only, a beep names no cause there.
    const std::string message = link_.GetDiag().message + "\n" + link_.LastMessage();
    const std::string detail = std::string(operation) + " " + std::to_string(r) + " '" + message + "'";
    switch (r) {
      case E_EXCHANGE:
        if (message.find(TransferResultText(kTransferDeviceLost)) == std::string::npos &&
            message.find(StrFormat(link_text::kPeerRestartedV3, kTransferPeerRestarted)) == std::string::npos) {
          Fail("port failure without the device's text:", detail);
        }
        break;
      case E_NOT_CONNECTED:
      case E_PORT_OPEN:
      case E_NO_PORT:
      case E_BAD_REQUEST: break;
      default: Fail("port failure with another result:", detail);
    }
  }

  // A higher-level operation: its failure is in the diagnostic record with a text and a stage, and
  // its success leaves the record clear.
  int32_t Checked(int32_t r, std::initializer_list<int32_t> allowed, const char* operation) {
    Expect(r, allowed, operation);
    const DiagRecord d = link_.GetDiag();
    if (r < 0 && (d.code != r || d.message.empty() || d.context.empty())) {
      Fail("failure without its diagnostic:", std::string(operation) + " " + std::to_string(r) + " diag " +
                                                  std::to_string(d.code) + " '" + d.message + "'");
    }
    if (r == S_LINK_OK && (d.code != 0 || !d.message.empty() || !d.context.empty())) {
      Fail("success with a diagnostic left:", std::string(operation) + " '" + d.message + "'");
    }
    return r;
  }

  // A low-level operation: its failure leaves LastMessage.
  int32_t LowLevel(int32_t r, std::initializer_list<int32_t> allowed, const char* operation) {
    Expect(r, allowed, operation);
    if (r < 0 && link_.LastMessage().empty()) Fail("failure without LastMessage:", operation);
    return r;
  }

  // A command failure ends with what the failing exchange said.
  void EndsWithLastMessage(int32_t r, const char* operation) {
    if (r != E_EXCHANGE && r != E_NO_PORT) return;
    const std::string tail = " - " + link_.LastMessage();
    const std::string& message = link_.GetDiag().message;
    if (message.size() < tail.size() || message.compare(message.size() - tail.size(), tail.size(), tail) != 0) {
      Fail("command failure without the exchange's text:", std::string(operation) + " '" + message + "'");
    }
  }

  void RecvTable() {
    const int32_t kind = Kind();
    StringRowList rows;
    test::Events progress;
    const int32_t r = Checked(link_.RecvTable(kind, rows, &progress),
                              {0, E_BAD_REQUEST, E_EXCHANGE, E_NO_PORT, E_NO_DATA}, "RecvTable");
    if (progress.received.size() != rows.Rows().size()) Fail("RecvTable: a notification per row");
    for (size_t i = 0; i < progress.received.size(); ++i) {
      if (progress.received[i].first != static_cast<long>(i + 1)) Fail("RecvTable: notifications count the rows");
    }
    if (r != S_LINK_OK) return;
    // Success: the rows are exactly a run of records the terminal sent, closed by its end record,
    // and as many as it announced.
    const std::vector<std::string>& got = rows.Rows();
    const long expected = progress.received.empty() ? -1 : progress.received.back().second;
    if (HasLinesCount(kind) && static_cast<long>(got.size()) != expected) {
      Fail("RecvTable: success with a row count other than announced", std::to_string(got.size()));
    }
    bool found = false;
    for (size_t at = 0; at + got.size() < sent_.size() && !found; ++at) {
      size_t i = 0;
      while (i < got.size() && sent_[at + i] == Record(got[i])) ++i;
      found = i == got.size() && IsEndRecord(sent_[at + i]);
    }
    if (!found) Fail("RecvTable: success with rows the terminal did not send as a table", std::to_string(got.size()));
  }

  void SendTable() {
    const int32_t kind = Kind();
    test::ElementRows source;
    const uint32_t n = in_.Byte() % (kMaxUploadRows + 1);
    for (uint32_t i = 0; i < n; ++i) {
      const uint8_t what = in_.Byte();
      if (what % 16 == 15) {
        source.elements.emplace_back();
      } else if (what % 16 == 14) {
        source.elements.emplace_back(std::string(kEdgeLengths[in_.Byte() % std::size(kEdgeLengths)], 'u'));
      } else {
        source.elements.emplace_back(TableRow(in_, i));
      }
    }
    const int32_t count = in_.Byte() % 2 ? -1 : static_cast<int32_t>(n);
    test::Events progress;
    if (CheckedUpload(kind, source, &progress, count) != S_LINK_OK) return;
    if (progress.sent.size() != source.elements.size()) Fail("SendTable: a notification per row");
  }

  int32_t CheckedUpload(int32_t kind, test::ElementRows& source, test::Events* progress, int32_t count) {
    const size_t before = peer_.Side().Received().size();
    const int32_t r = Checked(link_.SendTable(kind, source, progress, count), {0, E_BAD_REQUEST, E_EXCHANGE, E_NO_PORT},
                              "SendTable");
    if (r != S_LINK_OK) return r;
    // v2 has no word for a restart: what the new program took of the table is beyond the link.
    if (link_.RemoteVersion() != kLinkVersionV3 && !restarts_.empty() && restarts_.back() > before) return r;
    // Success: the terminal got the start command, every row whole and in order, and the end marker.
    std::vector<std::string> wanted{static_cast<char>(kSOH) + std::string(UploadCommand(kind))};
    for (const std::optional<std::string>& row : source.elements) wanted.push_back(Record(*row));
    wanted.push_back(Record(std::string(1, static_cast<char>(kEOT))));
    const std::vector<std::string>& received = peer_.Side().Received();
    if (received.size() - before < wanted.size()) Fail("SendTable: success with messages missing");
    const size_t start = received.size() - wanted.size();
    for (size_t i = 0; i < wanted.size(); ++i) {
      if (received[start + i] != wanted[i]) {
        Fail("SendTable: success but the terminal got another table", std::to_string(i));
      }
    }
    // On v3 a restart announces itself; a table that straddles one did not reach the terminal whole.
    for (size_t at : restarts_) {
      if (at > start && at < received.size()) {
        Fail("SendTable: success though the terminal restarted in the middle of the table");
      }
    }
    return r;
  }

  void PlainCommand() {
    int32_t r = 0;
    const char* name = "";
    switch (in_.Byte() % 10) {
      case 0: r = link_.EnableRecvMode(), name = "EnableRecvMode"; break;
      case 1: r = link_.ResetAllFilters(), name = "ResetAllFilters"; break;
      case 2: r = link_.MakeBeep(), name = "MakeBeep"; break;
      case 3: r = link_.ClearTable(Kind()), name = "ClearTable"; break;
      case 4: r = link_.ActivateUploadingTables(), name = "ActivateUploadingTables"; break;
      case 5: r = link_.StartUploading(Kind()), name = "StartUploading"; break;
      case 6: r = link_.StartDownload(Kind()), name = "StartDownload"; break;
      case 7: r = link_.CloseAllForms(), name = "CloseAllForms"; break;
      case 8: r = link_.Reboot(), name = "Reboot"; break;
      default: r = link_.SyncDateTime(), name = "SyncDateTime"; break;
    }
    Checked(r, {0, E_BAD_REQUEST, E_EXCHANGE, E_NO_PORT}, name);
    if (std::string(name) != "MakeBeep") EndsWithLastMessage(r, name);
  }

  void ParameterCommand() {
    const int32_t kind = Kind();
    const int32_t id = static_cast<int8_t>(in_.Byte());
    int32_t r = 0;
    const char* name = "";
    switch (in_.Byte() % 3) {
      case 0: r = link_.SetCurrentID(kind, id), name = "SetCurrentID"; break;
      case 1: r = link_.SetFilterID(kind, id), name = "SetFilterID"; break;
      default: r = link_.SetFilterText(kind, Text(in_, 8)), name = "SetFilterText"; break;
    }
    Checked(r, {0, E_BAD_REQUEST, E_EXCHANGE, E_NO_PORT}, name);
    EndsWithLastMessage(r, name);
  }

  void Query() {
    int32_t value = -7;
    std::string text;
    int32_t r = 0;
    const char* name = "";
    switch (in_.Byte() % 6) {
      case 0: {
        const int32_t kind = Kind();
        answer_needed_ = kind != kTableService;  // its count is not asked for
        r = link_.GetLinesCount(kind, value), name = "GetLinesCount";
        break;
      }
      case 1: r = link_.GetCurrentID(Kind(), value), name = "GetCurrentID"; break;
      case 2: r = link_.IsReadyToCommunicate(value, text), name = "IsReadyToCommunicate"; break;
      case 3: r = link_.QuerySoftwareInfo(), name = "QuerySoftwareInfo"; break;
      case 4: r = link_.QueryHardwareInfo(), name = "QueryHardwareInfo"; break;
      default: {
        std::vector<std::string> fields{"stale"};
        r = LowLevel(link_.GetPropByCmd(Text(in_, 4), fields), {0, E_EXCHANGE, E_NO_PORT}, "GetPropByCmd");
        if (r != S_LINK_OK && !fields.empty()) Fail("GetPropByCmd: fields left after a failure");
        for (const std::string& field : fields) {
          if (field.empty() || field.find(kFieldSeparator) != std::string::npos) Fail("GetPropByCmd: a bad field");
        }
        return;
      }
    }
    Checked(r, {0, E_BAD_REQUEST, E_EXCHANGE, E_NO_PORT}, name);
    EndsWithLastMessage(r, name);
  }

  void LowLevelSend() {
    switch (in_.Byte() % 4) {
      case 0: LowLevel(link_.SendCmd(Text(in_, 5)), {0, E_EXCHANGE, E_NO_PORT}, "SendCmd"); break;
      case 1: {
        constexpr uint32_t kLongRows[] = {kV2MaxRecordData, kV2MaxRecordData + 1, RecordChannel::kMaxWirePayload - 1,
                                          RecordChannel::kMaxWirePayload};
        const uint8_t what = in_.Byte();
        const std::string row = what % 8 == 7 ? std::string(kLongRows[(what >> 3) % std::size(kLongRows)], 's')
                                              : Text(in_, 12);
        const int32_t r = LowLevel(link_.TryToSend(row), {0, E_BAD_REQUEST, E_EXCHANGE, E_NO_PORT}, "TryToSend");
        const bool v2 = link_.LocalVersion() < kLinkVersionV3 && link_.RemoteVersion() < kLinkVersionV3;
        // On v2 a send that succeeded was acknowledged whole.
        const std::vector<std::string>& received = peer_.Side().Received();
        if (r == S_LINK_OK && v2 && (received.empty() || received.back() != Record(row))) {
          Fail("TryToSend: success but the terminal got another record", std::to_string(row.size()));
        }
        break;
      }
      case 2: LowLevel(link_.TryToSendFinalize(), {0, E_EXCHANGE}, "TryToSendFinalize"); break;
      default: link_.PurgePort(); break;
    }
  }

  void LowLevelReceive() {
    constexpr uint32_t kSizes[] = {1, 2, 5, 64, kPropertyBufferSize, kRowBufferSize};
    switch (in_.Byte() % 3) {
      case 0: {
        const uint32_t size = kSizes[in_.Byte() % std::size(kSizes)];
        std::vector<uint8_t> buffer(size, 0xCC);
        int32_t received = -1;
        const int32_t r = LowLevel(link_.TryToRecv(buffer.data(), size, received), {0, E_EXCHANGE, E_NO_PORT},
                                   "TryToRecv");
        // The row and its terminating zero fit the caller's buffer.
        if (r == S_LINK_OK && (received < 0 || static_cast<uint32_t>(received) >= size || buffer[received] != 0)) {
          Fail("TryToRecv: a row beyond the buffer", std::to_string(received));
        }
        break;
      }
      case 1: {
        std::string row;
        Checked(link_.LineDownload(Kind(), row), {0, E_EXCHANGE, E_NO_PORT}, "LineDownload");
        if (row.size() > kMaxDownloadRow) Fail("LineDownload: a row longer than the row buffer");
        break;
      }
      default:
        Checked(link_.LineUpload(Kind(), Text(in_, 12)), {0, E_BAD_REQUEST, E_EXCHANGE, E_NO_PORT}, "LineUpload");
        break;
    }
  }

  void Port() {
    const uint8_t what = in_.Byte();
    if (g_trace) std::fprintf(stderr, "  port op %d\n", what % 5);
    switch (what % 5) {
      case 0:
        LowLevel(link_.OpenPort(), {0, E_PORT_OPEN}, "OpenPort");
        if (link_.IsPortOpen() == peer_.Faults().vanished) {
          Fail("OpenPort: a vanished device opened or a present one not");
        }
        break;
      case 1: link_.ClosePort(); break;
      case 2: link_.Disconnect(); break;
      case 3: Disrupt(); break;
      default: peer_.SetProtocol(kProtocols[in_.Byte() % std::size(kProtocols)]); break;
    }
  }

  void Operation() {
    const uint8_t op = in_.Byte();
    if (g_trace) std::fprintf(stderr, "op %d at %u\n", op % 16, clock_.Now());
    disruptions_at_start_ = disruptions_;
    const uint64_t calls = peer_.PortCalls();
    // Operations 0 to 8 cannot succeed without the terminal's answer (some refuse first).
    constexpr uint32_t kNeedAnswer = 0b111111111;
    answer_needed_ = (kNeedAnswer >> (op % 16)) & 1;
    Dispatch(op);
    answer_needed_ = false;
    if (peer_.PortCalls() - calls > kMaxPortCallsPerOperation) {
      Fail("the link spins on the port", std::to_string(op % 16));
    }
  }

  void Dispatch(uint8_t op) {
    switch (op % 16) {
      case 0: {
        const int32_t r = link_.ConnectTerminal();
        Expect(r, {S_CONNECTED, E_PORT_OPEN, E_EXCHANGE, E_NOT_CONNECTED, E_NO_PORT}, "ConnectTerminal");
        const DiagRecord d = link_.GetDiag();
        if (d.code != r || d.message.empty() || d.context.empty()) Fail("ConnectTerminal: diagnostic", d.message);
        if (r == S_CONNECTED && !link_.IsConnected()) Fail("ConnectTerminal: connected but not marked");
        break;
      }
      case 1:
        Checked(link_.IsTerminalOnline(in_.Byte() * 20u), {0, E_EXCHANGE, E_NOT_CONNECTED, E_NO_PORT},
                "IsTerminalOnline");
        break;
      case 2: RecvTable(); break;
      case 3: SendTable(); break;
      case 4:
        Checked(link_.SendFinal(static_cast<int8_t>(in_.Byte())),
                {0, E_BAD_REQUEST, E_EXCHANGE, E_NO_PORT, E_TERMINAL_PROCESSING}, "SendFinal");
        break;
      case 5: Checked(link_.RecvPrepare(), {0, E_EXCHANGE, E_NO_PORT, E_NO_JOB, E_NOT_READY}, "RecvPrepare"); break;
      case 6: PlainCommand(); break;
      case 7: ParameterCommand(); break;
      case 8: Query(); break;
      case 9: LowLevelSend(); break;
      case 10: LowLevelReceive(); break;
      case 11: Port(); break;
      case 12:
        switch (in_.Byte() % 3) {
          case 0: Checked(link_.RecvFinal(), {0}, "RecvFinal"); break;
          case 1: Checked(link_.ClearPrepare(), {0, E_EXCHANGE, E_NO_PORT}, "ClearPrepare"); break;
          default: Checked(link_.ClearFinal(in_.Byte() & 1), {0, E_EXCHANGE, E_NO_PORT}, "ClearFinal"); break;
        }
        break;
      case 13: clock_.Advance(in_.U16()); break;
      case 14: peer_.SetSilent(in_.Byte() & 1); break;
      default: {
        TerminalEndpoint* endpoint = peer_.Endpoint();
        const uint8_t code = in_.Byte();
        if (endpoint != nullptr && endpoint->Responder() != nullptr) {
          // v2: the terminal refuses the PC's next frame with a NAK code, known or not.
          endpoint->Responder()->ForceNakOnce(code % 8);
        } else if (endpoint != nullptr && endpoint->FrameBuffer() != nullptr) {
          // v3: the terminal restarts the link under the PC; what it had not delivered is gone.
          uint16_t version = 0;
          uint32_t err = 0;
          endpoint->FrameBuffer()->Sync(0, version, err);
          sent_.clear();
        }
        break;
      }
    }
  }

  Input& in_;
  ManualClock clock_;
  // Before the peer and the link: closing the link at the end still makes the terminal send.
  std::vector<std::string> sent_;
  int sent_opens_ = 0;
  bool hostile_ = true;
  // Restarts and port faults so far, and at the start of the running operation.
  int disruptions_ = 0;
  int disruptions_at_start_ = 0;
  bool answer_needed_ = false;
  // Disrupts after this many more messages of the terminal (0: not armed).
  int disrupt_after_sent_ = 0;
  // Where in the terminal's received messages each restart fell: those from there on reached the new
  // session.
  std::vector<size_t> restarts_;
  test::TerminalPeer peer_;
  TerminalLink link_;
};

}  // namespace
}  // namespace korvane

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Logs and dumps go to a folder of this run's own, where no dump file switches them on.
  char folder[] = "/tmp/fuzz_link_answers.XXXXXX";
  if (mkdtemp(folder) != nullptr) {
    setenv("KORVANE_LOG_DIR", folder, 1);
    korvane::g_link_log = std::string(folder) + "/link.log";
  }
  korvane::fuzz::InitReport();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace korvane;
  Input in(data, size);
  {
    Harness harness(in, kProtocols[in.Byte() % std::size(kProtocols)]);
    harness.Setup();
    harness.Run();
  }
  if (!g_link_log.empty()) std::remove(g_link_log.c_str());
  return 0;
}
