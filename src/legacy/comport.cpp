#include "legacy/comport.h"

#include <algorithm>
#include <cstring>

#include "frame/frame_exchange.h"
#include "legacy/block_trace.h"
#include "log/call_stack.h"
#include "log/diag_log.h"
#include "log/frame_trace.h"
#include "port/link_port.h"

namespace korvane {

namespace {
constexpr uint32_t kDriverQueueBytes = 4096;
constexpr uint32_t kLineBaud = 115200;
constexpr uint8_t kByteSize8 = 8;
constexpr uint32_t kLineChangeWaitMs = 100;
constexpr uint32_t kIrdaInitialBaud = 38400;
constexpr uint32_t kIrdaBaud = 57600;
constexpr uint32_t kIrdaProbeRates[] = {115200, 57600, 38400, 19200, 9600};
constexpr uint8_t kIrdaProbeByte = 0x0F;
constexpr uint8_t kIrdaCommand[] = {0x07, '5', 'Q'};
constexpr uint16_t kSyncV3 = 0x0300;
constexpr uint32_t kCommandMessageSize = 1 + kCommandChars;
constexpr uint32_t kAnswerMessageSize = 1 + kCommandChars + 1;

const SerialTimeouts kOpenTimeouts{50, 0, 5000, 0, 3000};
const SerialTimeouts kIrdaProbeTimeouts{500, 0, 1000, 0, 1000};
const SerialTimeouts kIrdaTimeouts{kMaxDword, kMaxDword, 2500, 0, 1000};

TsPort* DefaultPortOpener(const std::string& device, uint32_t kind, uint32_t* err) {
  return tsOpenPort(device, kind, err);
}

void Refuse(const std::string& what) { DiagLog(what, 0); }

bool IsCommand(const std::string& cmd, const char* op) {
  if (cmd.size() >= kCommandChars) return true;
  Refuse(StrFormat("%s Error. Команда короче %u символов: '%s'", op, kCommandChars, cmd.c_str()));
  return false;
}
}  // namespace

CComport::CComport(const Clock& clock)
    : clock_(clock),
      block_opener_(OpenDeviceBlockLine),
      port_opener_(DefaultPortOpener),
      last_frame_(kLastFrameSize, 0),
      pending_(kPendingTextSize, 0),
      frame_buffer_(clock),
      records_(kMaxRecordPayload, clock) {
  frame_buffer_.Configure(kV3MaxFrameSize, kV3Window);
  frame_buffer_.SetNextExpected(1);
  frame_buffer_.SetInitiator(true);
  records_.Bind(&frame_buffer_);
}

CComport::~CComport() {
  records_.Bind(nullptr);
  CloseNoScope();
  frame_buffer_.SetLower(nullptr);
}

void CComport::SetBlockLineOpener(BlockLineOpener opener) { block_opener_ = std::move(opener); }
void CComport::SetPortOpener(PortOpener opener) { port_opener_ = std::move(opener); }

bool CComport::IsOpen() const { return line_ != nullptr || port_ != nullptr; }

uint32_t CComport::SetProtocolVersion(uint32_t version) {
  uint32_t chosen = local_version_;
  if (version <= kComportVersion100)
    chosen = kComportVersion100;
  else if (version == kComportVersion200)
    chosen = kComportVersion200;
  else if (version >= kComportVersion300)
    chosen = kComportVersion300;
  const bool blocks_before = Blocks();
  if (IsOpen() && blocks_before != (chosen <= kComportVersion100)) {
    // A serial handle of 1.00 is no frame port, nor the reverse.
    DiagLog(StrFormat("SetProtocolVersion() порт закрыт при смене версии %u на %u", local_version_, chosen), 0);
    CloseNoScope();
  }
  local_version_ = chosen;
  return local_version_;
}

bool CComport::ApplyState() { return line_->SetState(dcb_); }

int32_t CComport::Open(const std::string& name) {
  CallStackScope scope("CP::Open('%s')", name.c_str());
  CloseNoScope();
  open_error_ = 0;
  if (Blocks()) {
    uint32_t err = 0;
    line_ = OpenBlockLine(name, err);
    if (!line_) {
      open_error_ = err;
      DiagLog("Open() Error. CreateFile() Error", static_cast<int32_t>(err));
      return 0;
    }
    line_->SetupQueues(kDriverQueueBytes, kDriverQueueBytes);
    if (!line_->SetTimeouts(kOpenTimeouts)) {
      open_error_ = line_->LastError();
      DiagLog("SetCommTimeouts() Error", static_cast<int32_t>(line_->LastError()));
      CloseNoScope();
      return 0;
    }
    dcb_ = SerialLineState{};
    line_->GetState(dcb_);
    dcb_.from_zero = false;
    dcb_.baud_rate = kLineBaud;
    dcb_.byte_size = kByteSize8;
    dcb_.parity = 0;
    dcb_.stop_bits = 0;
    dcb_.binary = true;
    dcb_.cts_flow = true;
    dcb_.dsr_flow = false;
    dcb_.dtr_control = LineControl::kEnable;
    dcb_.rts_control = LineControl::kHandshake;
    dcb_.abort_on_error = true;
    if (!ApplyState()) {
      open_error_ = line_->LastError();
      DiagLog("SetCommState() Error", static_cast<int32_t>(line_->LastError()));
      CloseNoScope();
      return 0;
    }
    line_->SetDtr(true);
    line_->PurgeAll();
    engine_ = std::make_unique<BlockEngine>(*line_, clock_, dump_counter_);
    return 1;
  }
  std::fill(last_frame_.begin(), last_frame_.end(), 0);
  std::string device = name;
  const uint32_t kind = ResolvePortKind(device);
  uint32_t err = 0;
  port_ = port_opener_(device, kind, &err);
  if (port_ == nullptr) {
    open_error_ = err;
    DiagLog(StrFormat("Open() Error: ошибка открытия порта %s (тип %i, %s)", name.c_str(), static_cast<int32_t>(kind),
                      device.c_str()),
            0);
    return 0;
  }
  remote_version_ = 0;
  answers_.Clear();
  level_stream_.Attach(port_->port);
  // Attached afresh: nothing of the last session (queued, half built, half received) goes on.
  frame_buffer_.SetLower(&level_stream_);
  return 1;
}

std::unique_ptr<BlockLine> CComport::OpenBlockLine(const std::string& name, uint32_t& err) {
  std::unique_ptr<BlockLine> line = block_opener_(name, err);
  return line && FrameTraceOn() ? TraceBlockLine(std::move(line), name) : std::move(line);
}

bool CComport::WriteByte(uint8_t b) {
  uint32_t done = 0;
  return line_->Write(&b, 1, done) && done == 1;
}

// Every set-up call of the infrared open must take: a state the driver refused leaves the line at
// another rate, so the probe or the switch to 57600 would never reach the adapter.
bool CComport::IrdaCallOk(bool ok, const char* call) const {
  if (!ok) DiagLog(StrFormat("OpenIRDA() Error. %s Error", call), static_cast<int32_t>(line_->LastError()));
  return ok;
}

bool CComport::ProbeIrdaRate(uint32_t rate, bool& answered) {
  answered = false;
  dcb_.baud_rate = rate;
  dcb_.rts_control = LineControl::kDisable;
  if (!IrdaCallOk(ApplyState(), "SetCommState()")) return false;
  Wait(kLineChangeWaitMs);
  if (!IrdaCallOk(WriteByte(kIrdaProbeByte), "WriteFile()")) return false;
  Wait(kLineChangeWaitMs);
  uint8_t answer = 0;
  uint32_t done = 0;
  if (!IrdaCallOk(line_->Read(&answer, 1, done), "ReadFile()")) return false;
  dcb_.rts_control = LineControl::kEnable;
  if (!IrdaCallOk(ApplyState(), "SetCommState()")) return false;
  Wait(kLineChangeWaitMs);
  answered = done == 1 && answer == kIrdaProbeByte;
  return true;
}

int32_t CComport::OpenIRDA(const std::string& name) {
  CallStackScope scope("CP::OpenIRDA('%s')", name.c_str());
  CloseNoScope();
  if (Blocks()) return OpenIrdaBlocks(name);
  uint32_t err = 0;
  port_ = port_opener_(name, IrDA, &err);
  if (port_ == nullptr) {
    DiagLog(StrFormat("Open() Error: ошибка открытия порта %s", name.c_str()), 0);
    return 0;
  }
  remote_version_ = 0;
  answers_.Clear();
  level_stream_.Attach(port_->port);
  frame_buffer_.SetLower(&level_stream_);
  return 1;
}

int32_t CComport::OpenIrdaBlocks(const std::string& name) {
  uint32_t err = 0;
  line_ = OpenBlockLine(name, err);
  if (!line_) {
    DiagLog("OpenIRDA() Error. CreateFile() Error", static_cast<int32_t>(err));
    return 0;
  }
  // A failed step closes the port: left open it would stay locked for every other program.
  const auto fail = [this] {
    CloseNoScope();
    return 0;
  };
  if (!IrdaCallOk(line_->SetupQueues(kDriverQueueBytes, kDriverQueueBytes), "SetupComm()") ||
      !IrdaCallOk(line_->SetTimeouts(kIrdaProbeTimeouts), "SetCommTimeouts()"))
    return fail();
  dcb_ = FreshSerialLineState();
  dcb_.baud_rate = kIrdaInitialBaud;
  dcb_.byte_size = kByteSize8;
  dcb_.dtr_control = LineControl::kEnable;
  dcb_.rts_control = LineControl::kEnable;
  if (!IrdaCallOk(ApplyState(), "SetCommState()")) return fail();
  Wait(kLineChangeWaitMs);
  bool found = false;
  for (uint32_t rate : kIrdaProbeRates) {
    if (!ProbeIrdaRate(rate, found)) return fail();
    if (found) break;
  }
  if (!found) {
    DiagLog("OpenIRDA() Error. IR-передатчик не найден", static_cast<int32_t>(line_->LastError()));
    return fail();
  }
  dcb_.rts_control = LineControl::kDisable;
  if (!IrdaCallOk(ApplyState(), "SetCommState()")) return fail();
  Wait(kLineChangeWaitMs);
  for (uint8_t b : kIrdaCommand) {
    if (!IrdaCallOk(WriteByte(b), "WriteFile()")) return fail();
    Wait(kLineChangeWaitMs);
  }
  dcb_.baud_rate = kIrdaBaud;
  dcb_.byte_size = kByteSize8;
  dcb_.parity = 0;
  dcb_.cts_flow = false;
  dcb_.xon_xoff_out = false;
  dcb_.rts_control = LineControl::kEnable;
  dcb_.abort_on_error = true;
  if (!IrdaCallOk(ApplyState(), "SetCommState()")) return fail();
  Wait(kLineChangeWaitMs);
  if (!IrdaCallOk(line_->SetTimeouts(kIrdaTimeouts), "SetCommTimeouts()")) return fail();
  engine_ = std::make_unique<BlockEngine>(*line_, clock_, dump_counter_);
  return 1;
}

int32_t CComport::Close() {
  CallStackScope scope("CP::Close()");
  try {
    CloseNoScope();
  } catch (...) {
  }
  return 0;
}

void CComport::CloseNoScope() {
  if (line_) {
    dcb_.dtr_control = LineControl::kEnable;
    dcb_.rts_control = LineControl::kEnable;
    ApplyState();
    Wait(kLineChangeWaitMs);
    line_->PurgeAll();
    engine_.reset();
    line_.reset();
  }
  if (port_) {
    tsClosePort(port_);
    port_ = nullptr;
    level_stream_.Attach(nullptr);
    frame_buffer_.SetLower(nullptr);
  }
  remote_version_ = 0;
  version_guessed_ = false;
  pending_length_ = 0;
  row_pending_ = false;
}

int32_t CComport::SyncRemoteVersion(uint32_t& err, uint32_t timeout_ms) {
  CallStackScope scope("CP::SyncRemoteVersion(to=%u)", timeout_ms);
  err = 0;
  if (port_ == nullptr) {
    Refuse("SyncRemoteVersion() Error. Порт версии 2.00 или 3.00 не открыт");
    return 0;
  }
  tsDump("SyncRemoteVersion() запрос версии протокола удаленного устройства");
  uint16_t version = 0;
  if (frame_buffer_.Sync(static_cast<int32_t>(std::min<uint32_t>(timeout_ms, INT32_MAX)), version, err) == kFbDone) {
    tsDump(StrFormat("SyncRemoteVersion() получен ответ: версия протокола удаленного устройства 0x%X", version));
    version_guessed_ = false;
    if (version == kSyncV3) {
      local_version_ = kComportVersion300;
      remote_version_ = kComportVersion300;
    } else {
      remote_version_ = kComportVersion200;
    }
    return 1;
  }
  if (err != 0) tsDump(StrFormat("SyncRemoteVersion() ошибка связи с устройством (%i)\r\n", static_cast<int32_t>(err)));
  remote_version_ = kComportVersion200;
  version_guessed_ = true;
  tsDump("SyncRemoteVersion() нет ответа о версии, установлена версия 200");
  return 0;
}

int32_t CComport::MsLeft(uint32_t deadline) const { return std::max<int32_t>(0, TicksLeft(clock_.Now(), deadline)); }

int32_t CComport::ReceiveRecord(uint8_t* buffer, uint32_t size, uint32_t deadline, uint32_t& err,
                                RecvOutcome& outcome) {
  for (;;) {
    const int32_t left = MsLeft(deadline);
    if (left <= 0) {
      outcome = RecvOutcome::kTimeout;
      return 0;
    }
    const int32_t r = records_.Receive(left, buffer, size, err);
    if (err != 0) {
      outcome = RecvOutcome::kDeviceError;
      return 0;
    }
    if (r < 0) {
      outcome = RecvOutcome::kFailed;
      return r;
    }
    if (r > 0) {
      outcome = RecvOutcome::kRecord;
      return r;
    }
  }
}

int32_t CComport::SendCmd(const std::string& cmd) {
  CallStackScope scope("CP::SendCmd('%s')", cmd.c_str());
  if (!IsCommand(cmd, "SendCmd()")) return 0;
  if (Blocks()) {
    if (!engine_) {
      Refuse("SendCmd() Error. Порт не открыт");
      return 0;
    }
    return engine_->SendCmd(cmd);
  }
  if (port_ == nullptr) {
    Refuse("SendCmd() Error. Порт не открыт");
    return 0;
  }
  uint32_t err = 0;
  if (NeedsVersion()) {
    SyncRemoteVersion(err, kComportTimeoutMs);
    if (err != 0) return kComportDeviceLost;
  }
  if (RefusedForV2Terminal("SendCmd() Error [v3]. Терминал говорит на версии 2.00, команда не отправлена"))
    return kComportWrongAnswer;
  uint8_t message[kCommandMessageSize] = {kSOH};
  std::memcpy(message + 1, cmd.data(), kCommandChars);
  uint8_t answer[kAnswerMessageSize] = {};
  int32_t n = 0;
  answers_.Sent(message, kCommandMessageSize);
  if (UsesV3()) {
    // What came in before the command cannot be its answer.
    records_.DropReceived(err);
    int32_t r = records_.Send(kComportCommandSendTimeoutMs, message, kCommandMessageSize, err);
    if (r >= 1) r = records_.Flush(kComportTimeoutMs, err);
    if (r < 1) {
      if (err != 0)
        DiagLog(StrFormat("SendCmd() [v3] Error on send cmd - device error %i", static_cast<int32_t>(err)), 0);
      else
        DiagLog(StrFormat("SendCmd() [v3] Error on send cmd, res=%i", r), 0);
      return r;
    }
    RecvOutcome outcome;
    n = ReceiveAnswer(message, answer, clock_.Now() + kComportTimeoutMs, err, outcome);
    if (outcome == RecvOutcome::kDeviceError) {
      DiagLog(StrFormat("SendCmd() [v3] Error on recv enq - device error %i", static_cast<int32_t>(err)), 0);
      return kComportDeviceLost;
    }
    if (outcome == RecvOutcome::kFailed) {
      DiagLog(StrFormat("SendCmd() [v3] Error on recv enq, res=%i", n), 0);
      return n;
    }
    if (outcome == RecvOutcome::kTimeout) {
      DiagLog("SendCmd() [v3] timeout while recv enq", 0);
      return kTsTimeout;
    }
  } else {
    n = SendCommandV2(message, answer, kComportTimeoutMs, "SendCmd()");
    if (n < 1) return n;
  }
  if (answer[0] == kENQ && n > static_cast<int32_t>(kCommandChars) &&
      std::memcmp(answer + 1, cmd.data(), kCommandChars) == 0)
    return 1;
  if (answer[0] == kENQ) {
    DiagLog("SendCmd() Error, wrong answer!", 0);
    return kComportWrongAnswer;
  }
  DiagLog("SendCmd() Error, wrong dataflow!", 0);
  return kComportWrongDataflow;
}

int32_t CComport::SendCommandV2(const uint8_t* message, uint8_t* answer, int32_t timeout_ms, const char* who) {
  const uint32_t deadline = clock_.Now() + static_cast<uint32_t>(timeout_ms);
  PurgePort();
  uint32_t err = 0;
  const int32_t sent = tsSend(port_, last_frame_.data(), message, kCommandMessageSize, MsLeft(deadline), err);
  // A v3 terminal answered the v2 handshake: the next exchange asks for the version again and
  // goes v3, instead of failing each command the same way.
  if (sent == kTsPeerIsV3) remote_version_ = 0;
  if (sent < 1) {
    if (std::strcmp(who, "SendCmd()") == 0)
      DiagLog(StrFormat("SendCmd() Error on send cmd: %i", static_cast<int32_t>(err)), 0);
    return sent;
  }
  RecvOutcome outcome;
  const int32_t n = ReceiveAnswer(message, answer, deadline, err, outcome);
  if (n < 1) DiagLog(StrFormat("%s Error on recv enq: %i", who, static_cast<int32_t>(err)), 0);
  return n;
}

int32_t CComport::ReceiveAnswer(const uint8_t* message, uint8_t* answer, uint32_t deadline, uint32_t& err,
                                RecvOutcome& outcome) {
  // A terminal that answered late, or twice, leaves that answer ahead of the next one (v2 keeps
  // offering it until it is read): taken for this command's answer it would fail this command and
  // every later one. So a data row, the echo of another command sent before, or a v2 block that
  // cannot be an answer (empty, or longer than one) is passed over while more comes in time; with
  // nothing after it, it stands and fails the check as before.
  const bool v3 = UsesV3();
  // v2 takes a whole block or nothing: room for any row, so a left-over one is read past too.
  std::vector<uint8_t> block(kLastFrameSize);
  bool passed = false;
  int32_t passed_result = 0;
  std::vector<uint8_t> passed_over;
  for (;;) {
    int32_t r = 0;
    bool odd = false;
    if (v3) {
      r = ReceiveRecord(block.data(), static_cast<uint32_t>(block.size()), deadline, err, outcome);
    } else {
      r = tsRecv(port_, last_frame_.data(), block.data(), static_cast<uint32_t>(block.size()), MsLeft(deadline), err);
      // An empty block, or one too long for the room (fetched to its end and dropped), is no
      // answer, but the terminal's block all the same, not a failed receive.
      odd = err == 0 && (r == 0 || r == kTsOverflow);
      outcome = r >= 1 || odd ? RecvOutcome::kRecord : RecvOutcome::kFailed;
    }
    if (outcome != RecvOutcome::kRecord) {
      if (!passed || err != 0) return r;
      outcome = RecvOutcome::kRecord;
      // An odd block passed over leaves nothing to copy (and no buffer to copy from).
      if (!passed_over.empty()) std::memcpy(answer, passed_over.data(), passed_over.size());
      return passed_result;
    }
    const size_t n = odd ? 0 : static_cast<size_t>(r);
    const bool fits = v3 || (!odd && n <= kAnswerMessageSize);
    int32_t result = v3 ? static_cast<int32_t>(std::min<size_t>(n, kAnswerMessageSize)) : r;
    // Longer than an answer: the frame layer's overflow, as for a block longer than the room.
    if (!fits && !odd) result = kTsOverflow;
    const bool stale = !fits || answers_.LeftOver(block.data(), n, message, kCommandMessageSize);
    if (!stale || TickReached(clock_.Now(), deadline)) {
      if (fits) std::memcpy(answer, block.data(), std::min<size_t>(n, kAnswerMessageSize));
      return result;
    }
    if (!passed) {
      passed = true;
      passed_result = result;
      if (fits) passed_over.assign(block.begin(), block.begin() + std::min<size_t>(n, kAnswerMessageSize));
    }
  }
}

int32_t CComport::SettleForRow(const char* refusal) {
  if (remote_version_ != 0 && !version_guessed_) return 1;
  // A v3 terminal acknowledges a v2 frame without taking the row in it, and answers a v2 request
  // with its own handshake: on a protocol not known, or only guessed, a row sent would be lost and
  // reported sent, and a row asked for would fail.
  uint32_t err = 0;
  if (SyncRemoteVersion(err, kComportTimeoutMs) == 1) return 1;
  if (err != 0) return kComportDeviceLost;
  Refuse(refusal);
  return kTsTimeout;
}

bool CComport::RefusedForV2Terminal(const char* text) {
  // 3.00 chosen here, 2.00 answered by the terminal: it would leave every v3 frame unanswered and
  // the operation would wait out its time-out.
  if (local_version_ < kComportVersion300 || remote_version_ == 0 || remote_version_ >= kComportVersion300 ||
      version_guessed_)
    return false;
  Refuse(text);
  return true;
}

int32_t CComport::TryToSend(const std::string& text) {
  CallStackScope scope("CP::TryToSend('%s')", text.c_str());
  if (Blocks()) {
    if (!engine_) {
      Refuse("TryToSend() Error. Порт не открыт");
      return 0;
    }
    return engine_->TryToSend(text);
  }
  if (port_ == nullptr) {
    Refuse("TryToSend() Error. Порт не открыт");
    return 0;
  }
  const int32_t settled = SettleForRow(
      "TryToSend() Error. Терминал не ответил на запрос версии протокола, строка не отправлена");
  if (settled != 1) return settled;
  // A v3 record would never be flushed to a 2.00 terminal, and reach it as a row with its length
  // in front if it were.
  if (RefusedForV2Terminal("TryToSend() Error [v3]. Терминал говорит на версии 2.00, строка не отправлена")) return 0;
  const uint32_t room = kMaxFramedRowText - static_cast<uint32_t>(pending_length_);
  if (text.size() > (UsesV3() ? kMaxFramedRowText : room)) {
    Refuse(StrFormat("TryToSend() Error. Строка длиннее %u байт не отправлена (%u)",
                     UsesV3() ? kMaxFramedRowText : room, static_cast<uint32_t>(text.size())));
    return 0;
  }
  if (UsesV3()) {
    pending_[0] = kRS;
    std::memcpy(pending_.data() + 1, text.data(), text.size());
    uint32_t err = 0;
    const int32_t r = records_.Send(kComportTimeoutMs, pending_.data(), static_cast<uint32_t>(text.size() + 1), err);
    if (r < 1) DiagLog(StrFormat("TryToSend() Error [v3]. Ошибка при отправки данных, код возврата: %i", r), 0);
    return r;
  }
  std::memcpy(pending_.data() + pending_length_, text.data(), text.size());
  pending_length_ += static_cast<int32_t>(text.size());
  row_pending_ = true;
  return TryToSendFinalize();
}

int32_t CComport::TryToSendFinalize() {
  CallStackScope scope("CP::TryToSendFinalize()");
  if (Blocks()) return 1;
  if (port_ == nullptr) return 1;  // closing emptied the pending row: nothing to do
  uint32_t err = 0;
  if (remote_version_ >= kComportVersion300) return records_.Flush(kComportTimeoutMs, err);
  if (!row_pending_) return 1;
  std::vector<uint8_t> block(1 + static_cast<size_t>(pending_length_));
  block[0] = kRS;
  std::memcpy(block.data() + 1, pending_.data(), static_cast<size_t>(pending_length_));
  pending_length_ = 0;
  row_pending_ = false;
  const int32_t r = tsSend(port_, last_frame_.data(), block.data(), static_cast<uint32_t>(block.size()),
                           kComportTimeoutMs, err);
  if (r < 1)
    DiagLog(StrFormat("TryToSendFinalize() Error. Ошибка при отправки данных, код возврата: %i; код ошибки: %i", r,
                      static_cast<int32_t>(err)),
            0);
  return r;
}

void CComport::PurgePort() {
  CallStackScope scope("CP::PurgePort()");
  const int32_t r = TryToSendFinalize();
  if (r < 1) DiagLog(StrFormat("PurgePort() Error on finalize prev send, ret=%i", r), 0);
  if (port_ != nullptr && !Blocks() && !UsesV3()) tsResetLink(port_, nullptr);
}

int32_t CComport::TryToRecv(char* buffer, int32_t& size) {
  CallStackScope scope("CP::TryToRecv(sz=%i)", size);
  if (Blocks()) {
    if (!engine_) {
      Refuse("TryToRecv() Error. Порт не открыт");
      return 0;
    }
    return engine_->TryToRecv(buffer, size);
  }
  if (port_ == nullptr || buffer == nullptr || size < 1) {
    Refuse("TryToRecv() Error. Порт не открыт или нет места для строки");
    return 0;
  }
  const int32_t settled = SettleForRow(
      "TryToRecv() Error. Терминал не ответил на запрос версии протокола, строка не принята");
  if (settled != 1) return settled;
  if (RefusedForV2Terminal("TryToRecv() Error [v3]. Терминал говорит на версии 2.00, строка не принята"))
    return kComportWrongAnswer;
  PurgePort();
  auto* bytes = reinterpret_cast<uint8_t*>(buffer);
  const uint32_t capacity = static_cast<uint32_t>(size);
  uint32_t err = 0;
  int32_t n = 0;
  if (UsesV3()) {
    RecvOutcome outcome;
    n = ReceiveRecord(bytes, capacity, clock_.Now() + kComportTimeoutMs, err, outcome);
    if (outcome == RecvOutcome::kDeviceError) {
      DiagLog(StrFormat("TryToRecv() [v3] Error on recv - device error %i", static_cast<int32_t>(err)), 0);
      return kComportDeviceLost;
    }
    if (outcome == RecvOutcome::kFailed) {
      DiagLog(StrFormat("TryToRecv() [v3] Error on recv enq, res=%i", n), 0);
      return n;
    }
    if (outcome == RecvOutcome::kTimeout) {
      DiagLog("TryToRecv() [v3] timeout while recv enq", 0);
      return kTsTimeout;
    }
  } else {
    n = tsRecv(port_, last_frame_.data(), bytes, capacity, kComportTimeoutMs, err);
    if (n < 1) {
      DiagLog(StrFormat("TryToRecv() Error. Ошибка при приеме данных, код возврата: %i; код ошибки: %i", n,
                        static_cast<int32_t>(err)),
              0);
      return n;
    }
  }
  if (bytes[0] == kRS) {
    std::memmove(bytes, bytes + 1, static_cast<size_t>(n - 1));
    bytes[n - 1] = 0;
    size = n - 1;
    return n - 1 > 0 ? n - 1 : 1;
  }
  DiagLog(StrFormat("TryToRecv() Error. Неверный формат данных. Ожидали в начале 0x%2.2X, а получили 0x%2.2X.", kRS,
                    static_cast<int>(static_cast<signed char>(bytes[0]))),
          0);
  return 0;
}

int32_t CComport::IsTerminalOnline(int32_t timeout_ms) {
  CallStackScope scope("CP::IsTerminalOnline(to=%i)", timeout_ms);
  if (port_ == nullptr) {
    Refuse("IsTerminalOnline() Error. Порт версии 2.00 или 3.00 не открыт");
    return 0;
  }
  const uint32_t deadline = clock_.Now() + static_cast<uint32_t>(std::max(timeout_ms, 0));
  uint32_t err = 0;
  if (NeedsVersion() && SyncRemoteVersion(err, static_cast<uint32_t>(MsLeft(deadline))) == 0) return kTsTimeout;
  if (RefusedForV2Terminal("IsTerminalOnline() Error [v3]. Терминал говорит на версии 2.00, команда не отправлена"))
    return kComportWrongAnswer;
  uint8_t message[kCommandMessageSize] = {kSOH};
  std::memcpy(message + 1, kCmdLinkCheck, kCommandChars);
  uint8_t answer[kAnswerMessageSize] = {};
  int32_t n = 0;
  answers_.Sent(message, kCommandMessageSize);
  if (UsesV3()) {
    records_.DropReceived(err);  // as before a command
    int32_t r = records_.Send(MsLeft(deadline), message, kCommandMessageSize, err);
    if (r < 1) return r;
    r = records_.Flush(MsLeft(deadline), err);
    if (r < 1) return r;
    RecvOutcome outcome;
    n = ReceiveAnswer(message, answer, deadline, err, outcome);
    if (outcome == RecvOutcome::kDeviceError) return kComportDeviceLost;
    if (outcome == RecvOutcome::kFailed) {
      DiagLog(StrFormat("IsTerminalOnline() [v3] Error on recv enq, res=%i", n), 0);
      return n;
    }
    if (outcome == RecvOutcome::kTimeout) {
      DiagLog("IsTerminalOnline() [v3] timeout while recv enq", 0);
      return kTsTimeout;
    }
  } else {
    n = SendCommandV2(message, answer, MsLeft(deadline), "IsTerminalOnline()");
    if (n < 1) return n;
  }
  if (answer[0] == kENQ && n > static_cast<int32_t>(kCommandChars) &&
      std::memcmp(answer + 1, kCmdLinkCheck, kCommandChars) == 0)
    return n;
  if (answer[0] == kENQ) {
    DiagLog("IsTerminalOnline() Error, wrong answer!", 0);
    return kComportWrongAnswer;
  }
  DiagLog("IsTerminalOnline() Error, wrong dataflow!", 0);
  return kComportWrongDataflow;
}

}  // namespace korvane
