// A hostile or broken terminal above correct character blocks or frames: the in-process terminal
// (1.00, v2 or v3) answers each message of the PC as the input says (its normal answer, silence, a
// wrong, doubled or late echo, rows, whole tables, noise on the line or a refused frame), while the
// input drives the row-level operations of the KorvaneX objects at 1.00, 2.00 and 3.00. Besides
// crashes and hangs it checks what those operations promise: results from their own list, a
// command, row or end-of-data reported sent only when the terminal took it, a row reported received
// only when the terminal sent it, the end-of-data flag that goes with it, no operation that spins
// or outlasts its attempts, and a new connection that works afterwards. The input also restarts the
// terminal program (a half-received table, a pending answer or block lost) or breaks the port (send
// error, cut send, read error, the device vanishing and coming back), while the terminal handles a
// message, after its next N messages or between operations: an operation over a port dead
// throughout fails, a v3 flush whose rows a restart dropped is no success, and once the device is
// back a new connection works.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <initializer_list>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "frame/ts_port.h"
#include "fuzz_disrupt.h"
#include "fuzz_input.h"
#include "fuzz_report.h"
#include "legacy/korvanex_core.h"
#include "link/link_protocol.h"
#include "support/terminal_peer.h"
#include "terminal/terminal_side.h"

namespace korvane {
namespace {

// The input reader and the reporting.
using namespace fuzz;

constexpr int kMaxOperations = 16;
constexpr uint32_t kMaxRepliesPerMessage = 4;
constexpr uint32_t kMaxTableRows = 6;
constexpr uint32_t kMaxRecvBurst = 8;
// The longest an operation may keep the line: five receive attempts of 5 s, each read may end a
// slice late, and the closing waits.
constexpr uint32_t kMaxOperationMs = kRecvAttempts * (kBlockReadTimeoutMs + 2 * kBlockReadSliceMs) + 1000;
// At 2.00 and 3.00: the version query, a send, a flush and a receive.
constexpr uint32_t kMaxFramedOperationMs = 3 * kComportTimeoutMs + kComportCommandSendTimeoutMs + 2000;
// Results at 2.00 and 3.00 besides success (any positive count): refusals, the transfer results.
constexpr std::initializer_list<int32_t> kFramedResults = {1, 0, -1, -2, -3, -4, -5, -6, -7, -8};
constexpr std::initializer_list<int32_t> kBlockResults = {0, 1};
// The terminal's protocol: the 1.00 blocks, or v2 (either SYN version) or v3 frames.
constexpr uint16_t kTerminalProtocols[] = {kProtocolBlocks, 0x0200, 0x0201, 0x0300};
// Commands a connection remembers as its own, so their echoes are known left-overs.
constexpr size_t kRememberedCodes = 16;
// Reads in a row that bring nothing and let no time pass: the operation spins.
constexpr int kMaxIdleReads = 64;
// More port calls than any operation makes while waiting on the clock: it spins.
constexpr uint64_t kMaxPortCallsPerOperation = 20000;
// Texts at the edges of the block buffer: the longest a block holds, and beyond.
constexpr uint32_t kEdgeLengths[] = {kMaxBlockText - 1, kMaxBlockText, kMaxBlockText + 1, 9000};
const char* const kCodes[] = {kCmdDownloadJournal,
                              kCmdActivateUploading,
                              kCmdUploadOperations,
                              kCmdParseUploaded,
                              kCmdGetLinesCount,
                              kCmdIsReady,
                              kCmdLinkCheck,
                              kCmdBeep,
                              "ab"};
const char* const kVersions[] = {"1", "1.5", "0", "2", "3"};

// What a text may hold: anything (the PC's rows), no RS (noise, which then starts no block), or
// neither RS nor ETB (the terminal's rows: with ETB a row has no block form, and from an RS inside a
// row the rest might pass for a block of its own).
enum class Bytes { kAny, kNoRs, kRowText };

std::string Text(Input& in, uint32_t max_length, Bytes allowed = Bytes::kRowText) {
  std::string out;
  for (uint8_t b : in.Take(in.Byte() % (max_length + 1))) {
    const bool banned = (allowed != Bytes::kAny && b == kBlockRS) || (allowed == Bytes::kRowText && b == kBlockETB);
    out += static_cast<char>(banned ? 'x' : b);
  }
  return out;
}

std::string Record(const std::string& text) { return static_cast<char>(kBlockRS) + text; }
std::string EndOfDataRow() { return std::string(1, static_cast<char>(kBlockEOT)); }
bool IsCommand(const std::string& message) { return !message.empty() && message[0] == static_cast<char>(kBlockSOH); }
std::string EchoOf(const std::string& message) {
  return static_cast<char>(kBlockENQ) + (IsCommand(message) ? message.substr(1) : std::string("???"));
}

// The terminal's line as the PC sees it: noise the terminal puts before its next answer (gone with
// a purge, as what the line held), and a watch on reads that bring nothing and take no time.
class HostileLine final : public ForwardingBlockLine {
 public:
  HostileLine(std::unique_ptr<BlockLine> line, const ManualClock& clock, const test::PortFaults& faults)
      : ForwardingBlockLine(std::move(line)), clock_(clock), faults_(faults) {}
  void Inject(const std::string& bytes) { noise_.insert(noise_.end(), bytes.begin(), bytes.end()); }
  bool Read(uint8_t* buffer, uint32_t size, uint32_t& done) override {
    const uint32_t before = clock_.Now();
    uint32_t n = 0;
    // The noise comes through the port: none while its reads fail.
    const bool readable = faults_.read_error == 0 && !faults_.vanished;
    for (; readable && n < size && !noise_.empty(); ++n) {
      buffer[n] = noise_.front();
      noise_.pop_front();
    }
    const bool ok = ForwardingBlockLine::Read(buffer + n, size - n, done);
    done += n;
    // A failed read ends its attempt; the port-call count bounds those.
    if (ok) idle_reads_ = done == 0 && clock_.Now() == before ? idle_reads_ + 1 : 0;
    if (idle_reads_ > kMaxIdleReads) Fail("reads spin: nothing comes and no time passes");
    return ok;
  }
  bool PurgeAll() override {
    noise_.clear();
    return ForwardingBlockLine::PurgeAll();
  }
  bool PurgeInput() override {
    noise_.clear();
    return ForwardingBlockLine::PurgeInput();
  }

 private:
  const ManualClock& clock_;
  const test::PortFaults& faults_;
  std::deque<uint8_t> noise_;
  int idle_reads_ = 0;
};

class Harness {
 public:
  // `protocol`: the terminal's; `version`: the object's ("1", "2" or "3").
  Harness(Input& in, bool first_class, uint16_t protocol, const char* version)
      : in_(in),
        protocol_(protocol),
        framed_(protocol != kProtocolBlocks),
        version_(version),
        peer_(protocol, clock_),
        side_(peer_.Side()),
        core_(first_class ? KorvaneXCore::Flavor::kX1 : KorvaneXCore::Flavor::kX2, Profile(), clock_) {
    if (!first_class) core_.SelectProtocolVersion(version_);
    if (!AtTerminalsKind()) Fail("not at the terminal's kind of protocol");
    // Only the terminal's kind of port opens.
    core_.Port().SetBlockLineOpener([this](const std::string&, uint32_t& err) -> std::unique_ptr<BlockLine> {
      if (framed_) return nullptr;
      NewConnection();
      std::unique_ptr<PortDevice> device = peer_.Connect(&err);
      if (!device) return nullptr;
      auto hostile = std::make_unique<HostileLine>(
          MakePortBlockLine(std::unique_ptr<LinkPort>(LvlAdopt(std::move(device), Serial))), clock_, peer_.Faults());
      hostile_line_ = hostile.get();
      return hostile;
    });
    core_.Port().SetPortOpener(
        [this, opener = peer_.Opener()](const std::string& name, uint32_t kind, uint32_t* err) -> TsPort* {
          if (!framed_) return nullptr;
          NewConnection();
          return opener(name, kind, err);
        });
    peer_.KeepWrites(false);
    side_.KeepReceived(true);
    side_.SetIntercept([this](const std::string& message, TerminalSide& side) { return Answer(message, side); });
    side_.SetSentTap([this](const std::string& message) {
      // A message of ENQ and three characters goes as an echo; any other as a row without its
      // first byte.
      const bool echo = message.size() > kCommandChars && message[0] == static_cast<char>(kBlockENQ);
      if (echo) echoes_.insert(message.substr(1, kCommandChars));
      if (!echo && !message.empty()) sent_texts_.insert(message.substr(1));
      // Anything but a row (one v2 can carry, framed as v2) or the echo of a command of this
      // connection may fail the next command; so may an empty v2 block (v3 sends no record for it).
      const bool row = !message.empty() && message[0] == static_cast<char>(kBlockRS) &&
                       (protocol_ == 0x0300 || message.size() <= kV2MaxRecordData + 1);
      const bool left_over_like = (message.empty() && protocol_ == 0x0300) || row ||
                                  (message.size() == kCommandChars + 1 && echo && codes_.count(message.substr(1)));
      if (!left_over_like) tainted_ = true;
      if (g_trace) std::fprintf(stderr, "  <T %s\n", Printable(message).c_str());
      if (disrupt_after_sent_ > 0 && --disrupt_after_sent_ == 0) Disrupt();
    });
    // The tick count wraps every 49.7 days; half the inputs run up to it.
    const uint16_t before_wrap = in_.U16();
    if (before_wrap & 1) clock_.Set(0u - (static_cast<uint32_t>(before_wrap) << 4));
    peer_.State().tables[kTableJournal] = {"d1", "", "d;3"};
  }

  void Run() {
    Begin();
    Expect(core_.OpenPort("COM1"), {1}, "OpenPort");
    for (int step = 0; step < kMaxOperations && !in_.Empty(); ++step) Operation();
    // Whatever the terminal did, once the device is back a new connection to a well-behaved one works.
    hostile_ = false;
    disrupt_after_sent_ = 0;
    peer_.Faults() = {};
    peer_.SetSilent(false);
    core_.ClosePort();
    core_.SelectProtocolVersion(version_);
    if (core_.OpenPort("COM1") != 1) Fail("no recovery: the port does not open");
    peer_.State().tables[kTableJournal] = {"j1", "j2"};
    const size_t before = side_.Received().size();
    if (core_.SendCMD(kCmdUploadOperations) != 1 || core_.TryToSend("u1") < 1 || core_.SendEOT() < 1) {
      Fail("no recovery: the upload fails");
    }
    const std::vector<std::string> want{"\x01" + std::string(kCmdUploadOperations), Record("u1"),
                                        Record(EndOfDataRow())};
    if (std::vector<std::string>(side_.Received().begin() + static_cast<std::ptrdiff_t>(before),
                                 side_.Received().end()) != want) {
      Fail("no recovery: the terminal got another upload");
    }
    if (core_.SendCMD(kCmdDownloadJournal) != 1) Fail("no recovery: the download command fails");
    for (const std::string& row : {std::string("j1"), std::string("j2"), EndOfDataRow()}) {
      if (core_.TryToRecv() < 1 || core_.Buffer() != row) Fail("no recovery: another row", core_.Buffer());
    }
    if (core_.EndOfData() != 1) Fail("no recovery: no end of data");
  }

 private:
  ProfileStore& Profile() {
    profile_.Write(kKorvaneIniSection, kX1VersionKey, version_);
    return profile_;
  }

  void NewConnection() {
    sent_texts_.clear();
    echoes_.clear();
    codes_.clear();
    queued_.clear();
    late_.clear();
    tainted_ = false;
  }

  bool AtBlocks() { return core_.Port().GetProtocolVersion() == kComportVersion100; }
  // The object speaks the terminal's kind: blocks to blocks, frames to frames.
  bool AtTerminalsKind() { return AtBlocks() != framed_; }
  bool PortOpen() { return core_.Port().IsOpen(); }
  // Rows go as v3 records, which leave with the next flush.
  bool Records() {
    return core_.Port().GetProtocolVersion() >= kComportVersion300 ||
           core_.Port().RemoteVersion() >= kComportVersion300;
  }
  std::initializer_list<int32_t> Results() const { return framed_ ? kFramedResults : kBlockResults; }

  // One message the hostile terminal sends, unasked.
  std::string Reply() {
    switch (in_.Byte() % 6) {
      case 0: return Record(Text(in_, 15));
      case 1: return Record(EndOfDataRow() + Text(in_, 2));
      case 2: return Record("");
      case 3: return static_cast<char>(kBlockENQ) + Text(in_, 4);  // an echo, or a short one sent as a row
      case 4: return Record(std::string(kEdgeLengths[in_.Byte() % std::size(kEdgeLengths)], 'x'));
      default: return Text(in_, 6);  // its first byte is taken for the block's lead
    }
  }

  // The terminal's answer to one message from the PC; false lets its normal handling run.
  bool Answer(const std::string& message, TerminalSide& side) {
    if (IsCommand(message) && message.size() == kCommandChars + 1) codes_.insert(message.substr(1));
    if (!hostile_) return false;
    // An answer held back from the last message comes now, before this one's.
    if (!late_.empty()) {
      side.Emit(late_);
      late_.clear();
    }
    const uint8_t how = in_.Byte();
    // The echo alone, with nothing queued before it, on a line that carries it.
    clean_echo_ = how % 10 == 0 && !side.HasOutgoing() && !silent_;
    if (g_trace) std::fprintf(stderr, "  PC> %s: answer %d\n", Printable(message).c_str(), how % 10);
    const uint32_t count = 1 + (how >> 3) % kMaxRepliesPerMessage;
    // The terminal takes its time: its own resend timer may run out meanwhile.
    if (how & 0x80) {
      const uint32_t delay = in_.U16() % (2 * kBlockResendMs);
      clock_.Advance(delay);
      delays_ += delay;
    }
    switch (how % 10) {
      case 0: return false;
      case 1: return true;  // silence
      case 8:
      case 9: return DisruptOnMessage(how % 10 == 8, how, in_, disrupt_after_sent_, [this] { Disrupt(); });
      case 2: side.EmitEcho(Text(in_, 3)); return true;
      case 3: side.Emit(EchoOf(message)); return false;  // the echo twice
      case 4:
        for (uint32_t i = 0; i < count; ++i) side.Emit(Reply());
        return true;
      case 5: late_ = EchoOf(message); return true;
      case 6:
        if (!framed_) {
          hostile_line_->Inject(Text(in_, 12, Bytes::kNoRs));
          noise_ = true;
        } else if (V2Responder* responder = peer_.Endpoint()->Responder()) {
          // The terminal refuses the PC's next frame with a NAK code, known or not.
          responder->ForceNakOnce(in_.Byte() % 8);
          tainted_ = true;
        }
        return false;
      default: {
        // A table: counts that lie, an end marker missing or doubled.
        side.Emit(EchoOf(message));
        const uint32_t rows = in_.Byte() % (kMaxTableRows + 1);
        for (uint32_t i = 0; i < rows; ++i) side.EmitRecord(in_.Byte() & 1 ? Text(in_, 8) : "r" + std::to_string(i));
        for (uint32_t i = in_.Byte() % 3; i > 0; --i) side.EmitRecord(EndOfDataRow());
        return true;
      }
    }
  }

  // The terminal program restarts, or the port fails, or the device comes back.
  void Disrupt() {
    const uint8_t what = in_.Byte();
    if (g_trace) std::fprintf(stderr, "  disrupt %d\n", what % 6);
    ++disruptions_;
    fuzz::Disrupt(peer_, what);
  }

  // The port failed before the operation and stayed so: nothing the terminal sends can be read, and
  // with `sends` nothing the PC sends leaves either (a 1.00 receive needs no send but its ACK).
  bool PortDead(bool sends) {
    const test::PortFaults& f = peer_.Faults();
    return disruptions_ == disruptions_at_start_ && (f.read_error != 0 || f.vanished || (sends && f.send_error != 0));
  }
  // The terminal restarted or the port broke during the operation, or the port is faulty.
  bool Disrupted() { return disruptions_ != disruptions_at_start_ || peer_.Faults().Any(); }
  void FailsOverDeadPort(int32_t r, bool sends, const char* operation) {
    if (r >= 1 && PortDead(sends)) Fail(operation, "success over a dead port");
  }

  // Marks the start of an operation, which Expect times.
  void Begin() {
    start_ = clock_.Now();
    delays_ = 0;
    noise_ = false;
    disruptions_at_start_ = disruptions_;
    port_calls_at_start_ = peer_.PortCalls();
  }

  void Expect(int32_t r, std::initializer_list<int32_t> allowed, const char* operation) {
    if (clock_.Now() - start_ - delays_ > (framed_ ? kMaxFramedOperationMs : kMaxOperationMs)) {
      Fail("an operation outlasted its attempts:",
           std::string(operation) + " " + std::to_string(clock_.Now() - start_));
    }
    if (peer_.PortCalls() - port_calls_at_start_ > kMaxPortCallsPerOperation) Fail("spins on the port:", operation);
    if (g_stats) ++g_results[operation][r];
    if (g_stats && PortDead(true)) ++g_results[std::string("port down: ") + operation][r];
    if (g_trace) std::fprintf(stderr, "  %s: %d at %u\n", operation, r, clock_.Now());
    for (int32_t a : allowed) {
      if (r == a || (framed_ && r > 0 && a == 1)) return;
    }
    Fail("result outside the documented codes:", std::string(operation) + " " + std::to_string(r));
  }

  // No port, or one of another version, sends nothing.
  void NothingWithoutPort(int32_t r, size_t received_before, const char* operation) {
    if ((!AtTerminalsKind() || !PortOpen()) && (r != 0 || side_.Received().size() != received_before)) {
      Fail(operation, "sent without an open port of the terminal's kind");
    }
  }

  // A row reported sent is the last message the terminal took; one it took, with no noise before
  // its ACK, is reported sent. v3 rows are only queued: what the next flush confirms.
  void TookIt(int32_t r, const std::string& message, size_t received_before, const char* operation) {
    NothingWithoutPort(r, received_before, operation);
    if (framed_ && Records()) {
      if (r < 1) queued_.clear();  // gone or not: no longer known
      if (r >= 1) queued_.push_back(message);
      return;
    }
    const std::string& taken = side_.Received().empty() ? message + "?" : side_.Received().back();
    if (r >= 1 && taken != message) Fail(operation, "success but the terminal took " + Printable(taken));
    // The terminal takes a row and restarts, or the port breaks, before its ACK is read.
    const bool undisturbed = !noise_ && !Disrupted() && (!framed_ || (delays_ == 0 && !silent_ && !tainted_));
    if (r < 1 && undisturbed && side_.Received().size() > received_before && taken == message) {
      Fail(operation, "the terminal took the row and it failed");
    }
  }

  // A flush that succeeded with `last` took every v3 row reported sent before it, in order.
  void Flushed(int32_t r, const std::string& last, const char* operation) {
    if (!framed_ || !Records()) return;
    std::vector<std::string> want = queued_;
    queued_.clear();
    if (r < 1) return;
    want.push_back(last);
    const std::vector<std::string>& got = side_.Received();
    if (got.size() < want.size() ||
        !std::equal(want.begin(), want.end(), got.end() - static_cast<std::ptrdiff_t>(want.size()))) {
      Fail(operation, "success but the terminal lacks rows reported sent: " + std::to_string(want.size() - 1));
    }
    // No check that no restart fell among the rows: each row is an operation of its own, and rows
    // the old program acknowledged are delivered as far as v3 can tell (it renumbers and goes on).
  }

  void SendCommand(const std::string& code) {
    const size_t before = side_.Received().size();
    Begin();
    clean_echo_ = false;
    const int32_t r = core_.SendCMD(code);
    Expect(r, Results(), "SendCMD");
    if (code.size() < kCommandChars && (r != 0 || side_.Received().size() != before)) Fail("a short command went");
    const std::string three = code.substr(0, kCommandChars);
    if (code.size() >= kCommandChars) Flushed(r, "\x01" + three, "SendCMD");
    // Framed, an echo needs no clean line: what earlier exchanges left (rows, echoes of this
    // connection's commands) is passed over, and anything else taints the line.
    if (framed_ && (tainted_ || delays_ > 0 || codes_.size() > kRememberedCodes)) clean_echo_ = false;
    // A command the terminal took and answered with its echo alone, nothing queued before it,
    // succeeds: what was left on the line from earlier exchanges is no answer to it.
    if (r < 1 && clean_echo_ && !Disrupted() && !side_.Received().empty() &&
        side_.Received().back() == "\x01" + three) {
      Fail("SendCMD: the terminal echoed the command alone and it failed", code);
    }
    // A terminal whose echo the PC never acknowledged takes the same command as a repeat and only
    // echoes it once more (1.00 blocks carry no number): a success says the terminal sent this
    // command's echo on this connection.
    if (r == 1 && echoes_.count(three) == 0) Fail("SendCMD: success unechoed", code);
    NothingWithoutPort(r, before, "SendCMD");
    FailsOverDeadPort(r, true, "SendCMD");
  }

  void SendRow(const std::string& row) {
    const size_t before = side_.Received().size();
    Begin();
    const int32_t r = core_.TryToSend(row);
    Expect(r, Results(), "TryToSend");
    if (row.size() > (framed_ ? kMaxFramedRowText : kMaxBlockText) && (r > 0 || side_.Received().size() != before)) {
      Fail("a long row went");
    }
    TookIt(r, Record(row), before, "TryToSend");
    // A v3 row is only queued: the flush finds the port dead.
    if (!framed_ || !Records()) FailsOverDeadPort(r, true, "TryToSend");
  }

  void SendEndOfData() {
    const size_t before = side_.Received().size();
    Begin();
    const int32_t r = core_.SendEOT();
    Expect(r, Results(), "SendEOT");
    if (framed_ && Records()) {
      Flushed(r, Record(EndOfDataRow()), "SendEOT");
      NothingWithoutPort(r, before, "SendEOT");
    } else {
      TookIt(r, Record(EndOfDataRow()), before, "SendEOT");
    }
    FailsOverDeadPort(r, true, "SendEOT");
  }

  // A received row is a text the terminal sent as a block on this connection, cut at its first NUL,
  // and the end-of-data flag tells whether it starts with EOT; a failure leaves neither.
  bool Receive() {
    Begin();
    // Framed, a receive flushes v3 rows first, and a failed flush is only logged: whether the rows
    // went is no longer known.
    if (framed_ && Records()) queued_.clear();
    const int32_t r = core_.TryToRecv();
    Expect(r, Results(), "TryToRecv");
    // At 1.00 a row comes whole or not at all, its ACK aside; v3 may hand out a record read earlier.
    if (!framed_ || !Records()) FailsOverDeadPort(r, framed_, "TryToRecv");
    const std::string& text = core_.Buffer();
    if (r < 1) {
      if (!text.empty() || core_.EndOfData() != 0) Fail("TryToRecv: a failure left a row", Printable(text));
      return false;
    }
    bool sent = false;
    for (const std::string& t : sent_texts_) sent = sent || t.substr(0, t.find('\0')) == text;
    if (!sent) Fail("TryToRecv: a row the terminal never sent", Printable(text));
    if (core_.EndOfData() != (!text.empty() && text[0] == static_cast<char>(kBlockEOT) ? 1 : 0)) {
      Fail("TryToRecv: end-of-data flag", Printable(text));
    }
    return core_.EndOfData() == 0;
  }

  void Operation() {
    const uint8_t op = in_.Byte();
    if (g_trace) std::fprintf(stderr, "op %d at %u\n", op % 13, clock_.Now());
    switch (op % 13) {
      case 0: SendCommand(kCodes[in_.Byte() % std::size(kCodes)]); break;
      case 1: SendCommand(Text(in_, 4)); break;
      case 2:
        SendRow(in_.Byte() % 8 == 7 ? std::string(kEdgeLengths[in_.Byte() % 4], 'u') : Text(in_, 10, Bytes::kAny));
        break;
      case 3: SendEndOfData(); break;
      case 4: Receive(); break;
      case 5:
        for (uint32_t i = in_.Byte() % kMaxRecvBurst; i > 0 && Receive(); --i) {
        }
        break;
      case 6: {
        // An upload as an application makes it.
        SendCommand(kCmdUploadOperations);
        for (uint32_t i = in_.Byte() % 4; i > 0; --i) SendRow("o" + std::to_string(i));
        SendEndOfData();
        break;
      }
      case 7: {
        const size_t writes = side_.Received().size();
        Begin();
        const int32_t r = core_.IsTerminalOnline(in_.Byte() * 100);
        // There is no link check at 1.00: refused unsent.
        Expect(r, framed_ ? Results() : std::initializer_list<int32_t>{0}, "IsTerminalOnline");
        if (!framed_ && side_.Received().size() != writes) Fail("IsTerminalOnline sent at 1.00");
        Flushed(r, "\x01" + std::string(kCmdLinkCheck), "IsTerminalOnline");
        if (r > 0 && echoes_.count(kCmdLinkCheck) == 0) Fail("IsTerminalOnline: success unechoed");
        NothingWithoutPort(r, writes, "IsTerminalOnline");
        FailsOverDeadPort(r, true, "IsTerminalOnline");
        break;
      }
      case 8:
        Begin();
        if (in_.Byte() & 1) {
          Expect(core_.ClosePort(), {0}, "ClosePort");
          queued_.clear();
        } else {
          const bool opens = AtTerminalsKind() && !peer_.Faults().vanished;
          Expect(core_.OpenPort("COM1"), opens ? std::initializer_list<int32_t>{1} : std::initializer_list<int32_t>{0},
                 "OpenPort");
        }
        break;
      case 9: {
        const std::string asked = kVersions[in_.Byte() % std::size(kVersions)];
        const bool was_blocks = AtBlocks();
        const std::string chosen = core_.SelectProtocolVersion(asked);
        if (g_trace) std::fprintf(stderr, "  version %s: %s\n", asked.c_str(), chosen.c_str());
        // Moving between 1.00 and the frames closes the port.
        if (was_blocks != AtBlocks() && PortOpen()) Fail("a port left open at another kind of version");
        queued_.clear();  // v3 rows left queued by a switch to 2.00 are the owner's to lose
        break;
      }
      case 10: clock_.Advance(in_.U16()); break;
      case 11:
        silent_ = in_.Byte() & 1;
        peer_.SetSilent(silent_);
        break;
      default: Disrupt(); break;
    }
  }

  Input& in_;
  const uint16_t protocol_;
  const bool framed_;
  const char* const version_;
  ManualClock clock_;
  MemoryProfile profile_;
  // The terminal, its connections and the faults of the PC's port.
  test::TerminalPeer peer_;
  TerminalSide& side_;
  HostileLine* hostile_line_ = nullptr;
  // On this connection: texts of the rows the terminal sent, and the echoes it sent.
  std::set<std::string> sent_texts_;
  std::set<std::string> echoes_;
  // Framed: the codes of the commands the terminal took, v3 rows reported sent and not yet
  // flushed, and whether the terminal sent what may fail a later command.
  std::set<std::string> codes_;
  std::vector<std::string> queued_;
  bool tainted_ = false;
  bool clean_echo_ = false;
  bool noise_ = false;  // the terminal put noise on the line during the operation
  bool silent_ = false;
  std::string late_;
  uint32_t start_ = 0;
  uint32_t delays_ = 0;  // what the terminal took to answer during the operation
  bool hostile_ = true;
  // Restarts and port faults so far, and at the start of the running operation.
  int disruptions_ = 0;
  int disruptions_at_start_ = 0;
  uint64_t port_calls_at_start_ = 0;
  // Disrupts after this many more messages of the terminal (0: not armed).
  int disrupt_after_sent_ = 0;
  KorvaneXCore core_;
};

}  // namespace
}  // namespace korvane

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Logs and dumps go to a folder of this run's own, where no dump file switches them on.
  char folder[] = "/tmp/fuzz_legacy_answers.XXXXXX";
  if (mkdtemp(folder) != nullptr) setenv("KORVANE_LOG_DIR", folder, 1);
  korvane::fuzz::InitReport();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  korvane::fuzz::Input in(data, size);
  const uint8_t head = in.Byte();
  const uint16_t protocol = korvane::kTerminalProtocols[(head >> 1) % std::size(korvane::kTerminalProtocols)];
  // The object at the terminal's kind; framed, at 2.00 (learning 3.00 from a v3 terminal), or at
  // 3.00 towards a v3 terminal (towards a v2 one only after a switch: it cannot work there).
  const char* version = protocol == korvane::kProtocolBlocks       ? "1"
                        : protocol == 0x0300 && (head & 0x10) != 0 ? "3"
                                                                   : "2";
  korvane::Harness harness(in, head & 1, protocol, version);
  harness.Run();
  return 0;
}
