// The link core: port, protocol choice, records and commands on the wire, diagnostics.
#include "link/terminal_link.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "frame/frame_exchange.h"
#include "frame/frame_layout.h"
#include "link/link_texts.h"
#include "log/log_time.h"
#include "platform/errors.h"

namespace korvane {

using namespace link_text;

namespace {

// A v3 receive that comes back this fast with nothing did not wait (a socket the peer closed, a
// device that never waits); only such a receive pauses before the next, so a port that waits adds
// no latency.
constexpr uint32_t kReturnedAtOnceMs = 1;

static_assert(kTransferPeerRestarted == kFbPeerRestarted);

}  // namespace

std::string PortOpenFailureText(const std::string& port_name, const std::string& device, uint32_t err) {
  if (err == kErrFileNotFound) return std::string(kPortNotFound) + port_name + ")";
  if (err == kErrAccessDenied) return std::string(kPortBusy) + port_name + ")";
  if (err == kErrBadPortName) return std::string(kPortBadName) + port_name + ")";
  const std::string system_text = SystemErrorText(err);
  if (system_text.empty()) return std::string(kPortUnknownError) + port_name + ")";
  std::string message = "(" + port_name + ") " + system_text;
  // What to change, where the system knows (a group that may use the device).
  const std::string hint = SerialOpenErrorHint(device, err);
  if (!hint.empty()) message += kSeparator + hint;
  return message;
}

TerminalLink::TerminalLink(const Clock& clock)
    : remote_prog_name_(kUnknown),
      remote_prog_version_(kInitialProgVersion),
      remote_dev_name_(kUnknown),
      remote_dev_id_(kUnknown),
      clock_(clock),
      frame_buffer_(clock),
      records_(kMaxRecordPayload, clock) {
  frame_buffer_.Configure(kLinkMaxFrameSize, kLinkWindow);
  frame_buffer_.SetNextExpected(1);
  frame_buffer_.SetInitiator(true);
  records_.Bind(&frame_buffer_);
  ClearDiag();
}

TerminalLink::~TerminalLink() {
  // Closing first lets a pending v3 send cache leave through the channel before it is unbound.
  ClosePort();
  records_.Bind(nullptr);
  frame_buffer_.SetLower(nullptr);
}

void TerminalLink::SetPortOpener(PortOpener opener) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  opener_ = std::move(opener);
}

void TerminalLink::SetPort(const std::string& name) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  port_name_ = name;
}

std::string TerminalLink::Port() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  return port_name_;
}

void TerminalLink::SetupLogfile(const std::string& file_name, int32_t param) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  log_.SetupLogfile(file_name, param);
}

void TerminalLink::LogStr(const std::string& text) { Log(text, 0); }

std::string TerminalLink::RemoteProgName() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  return remote_prog_name_;
}
std::string TerminalLink::RemoteProgVersion() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  return remote_prog_version_;
}
std::string TerminalLink::RemoteDevName() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  return remote_dev_name_;
}
std::string TerminalLink::RemoteDevID() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  return remote_dev_id_;
}
uint32_t TerminalLink::LocalVersion() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  return local_version_;
}
uint32_t TerminalLink::RemoteVersion() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  return remote_version_;
}
bool TerminalLink::IsConnected() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  return connected_ != 0;
}
bool TerminalLink::IsPortOpen() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  return port_ != nullptr;
}

// ---- diagnostics ----

void TerminalLink::Log(const std::string& message, int32_t code) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  log_.Log(message, code);
}

bool TerminalLink::LogOn() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  return !log_.FileName().empty();
}

void TerminalLink::LogException(const char* operation) {
  try {
    Log(std::string(kExceptionIn) + operation, 0);
  } catch (...) {
    // Nothing more can be reported when even the log line cannot be built.
  }
}

int32_t TerminalLink::SetDiag(int32_t code, const std::string& message, const std::string& context) {
  {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    diag_.code = code;
    diag_.message = message;
    diag_.context = context;
  }
  Log(StrFormat(kDiagLine, context.c_str(), code, message.c_str()), 0);
  return code;
}

void TerminalLink::ClearDiag() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  diag_.code = 0;
  diag_.message.clear();
  diag_.context.clear();
}

DiagRecord TerminalLink::GetDiag() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  return diag_;
}

std::string TerminalLink::LastMessage() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  return last_message_;
}

int32_t TerminalLink::SetLastMessage(const std::string& message, int32_t code) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  last_message_ = message;
  log_.Log(message, code);
  return code;
}

int32_t TerminalLink::NoPort() { return SetLastMessage(kNoConnection, E_NO_PORT); }

std::string TerminalLink::V2FailureText(const char* format, int32_t result, uint32_t err) {
  // The port's own error, when there is one, says more than the exchange's result; without one the
  // result is what went wrong (a time-out must not read as bad arguments).
  if (err != 0) return StrFormat(format, static_cast<int32_t>(err), TransferResultText(kTransferDeviceLost));
  return StrFormat(format, result, TransferResultText(result));
}

std::string TerminalLink::V3FailureText(const char* format, int32_t result) {
  if (result == kTransferPeerRestarted) return StrFormat(kPeerRestartedV3, result);
  return StrFormat(format, result, TransferResultText(result));
}

int32_t TerminalLink::V2(int32_t result) {
  // A v3 terminal that slept through the version query answered the v2 handshake: the next
  // exchange asks for the version again and goes v3.
  if (result == kTsPeerIsV3) remote_version_ = 0;
  return result;
}

// ---- port ----

int32_t TerminalLink::OpenPort() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  try {
    level_stream_.Attach(nullptr);
    frame_buffer_.SetLower(nullptr);
    if (port_ != nullptr) {
      tsClosePort(port_);
      port_ = nullptr;
    }
    last_frame_.fill(0);
    std::string device = port_name_;
    const PortKind kind = ResolvePortKind(device);
    uint32_t err = 0;
    TsPort* opened = opener_ ? opener_(device, kind, &err) : tsOpenPort(device, kind, &err);
    if (opened != nullptr) {
      // A new connection may reach another terminal (swapped in the cradle): v3 is learnt afresh.
      local_version_ = kLinkVersionV2;
      remote_version_ = 0;
      version_guessed_ = false;
      answers_.Clear();
      port_ = opened;
      port_->clock = &clock_;
      frame_buffer_.ResetQuality();
      level_stream_.Attach(port_->port);
      // Attached afresh: nothing of the last session (queued, half built, half received) goes on,
      // nor rows the record channel gathered for it (an upload that stopped at a bad element): left
      // there, they made the first exchange of the new connection read as the terminal's restart.
      frame_buffer_.SetLower(&level_stream_);
      records_.Bind(&frame_buffer_);
      Log(StrFormat(kPortOpened, port_name_.c_str(), device.c_str(), static_cast<unsigned>(kind)), 0);
      return S_LINK_OK;
    }
    SetLastMessage(PortOpenFailureText(port_name_, device, err), static_cast<int32_t>(err));
    return E_PORT_OPEN;
  } catch (...) {
    SetLastMessage(kOpenException, 0);
    return E_EXCEPTION;
  }
}

void TerminalLink::ClosePortUnlocked() {
  try {
    if (port_ == nullptr) return;
    TryToSendFinalizeUnlocked();
    level_stream_.Attach(nullptr);
    frame_buffer_.SetLower(nullptr);
    tsClosePort(port_);
    remote_version_ = 0;
    port_ = nullptr;
    Log(StrFormat(kPortClosed, port_name_.c_str()), 0);
  } catch (...) {
    SetLastMessage(kCloseException, 0);
  }
}

void TerminalLink::ClosePort() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  ClosePortUnlocked();
}

void TerminalLink::Disconnect() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  ClosePortUnlocked();
  connected_ = 0;
}

// ---- protocol version ----

int32_t TerminalLink::SyncRemoteVersionUnlocked(uint32_t& err, uint32_t timeout_ms) {
  Log(kSyncAsk, 0);
  err = 0;
  uint16_t version = 0;
  if (frame_buffer_.Sync(static_cast<int32_t>(timeout_ms), version, err) == kFbDone) {
    Log(StrFormat(kSyncAnswer, static_cast<unsigned>(version)), 0);
    version_guessed_ = false;
    if (version == kProtocolV3) {
      local_version_ = kLinkVersionV3;
      remote_version_ = kLinkVersionV3;
      Log(kSyncChoseV3, 0);
    } else {
      remote_version_ = kLinkVersionV2;
      Log(kSyncChoseV2, 0);
    }
    return 1;
  }
  if (err != 0) {
    Log(StrFormat(kSyncLinkError, static_cast<int32_t>(err)), 0);
    return 0;
  }
  remote_version_ = kLinkVersionV2;
  version_guessed_ = true;
  Log(kSyncNoAnswer, 0);
  return 0;
}

int32_t TerminalLink::SyncRemoteVersion(uint32_t& err, uint32_t timeout_ms) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  try {
    err = 0;
    if (port_ == nullptr) {
      NoPort();
      return 0;
    }
    return SyncRemoteVersionUnlocked(err, timeout_ms);
  } catch (...) {
    LogException("SyncRemoteVersion");
    return 0;
  }
}

int32_t TerminalLink::IsTerminalOnline(uint32_t timeout_ms) {
  ClearDiag();
  std::lock_guard<std::recursive_mutex> guard(lock_);
  try {
    if (port_ == nullptr) return SetDiag(NoPort(), kNoConnection, kCtxLinkCheck);
    const uint32_t deadline = clock_.Now() + timeout_ms;
    auto left = [&]() { return static_cast<uint32_t>(std::max<int32_t>(0, TicksLeft(clock_.Now(), deadline))); };
    auto not_connected = [&]() {
      return SetDiag(E_NOT_CONNECTED, std::string(kNotConnected) + " (" + port_name_ + ")", kCtxConnect);
    };
    if (remote_version_ == 0) {
      uint32_t err = 0;
      if (SyncRemoteVersionUnlocked(err, left()) == 0) return not_connected();
    }
    const uint8_t check[kLinkCheckLength] = {kSOH, '-', '-', 'p'};
    const std::vector<uint8_t> check_message(check, check + kLinkCheckLength);
    answers_.Sent(check, kLinkCheckLength);
    uint8_t answer[kLinkCheckLength + 1] = {};
    int32_t received = 0;
    if (!UseV3()) {
      PurgePortUnlocked();
      uint32_t err = 0;
      if (V2(tsSend(port_, last_frame_.data(), check, kLinkCheckLength, left(), err)) < 1) return not_connected();
      const int32_t r = V2(ReceiveAnswer(check_message, deadline, answer, sizeof(answer), err));
      if (r < 1) return SetDiag(E_EXCHANGE, V2FailureText(kCheckV2Failed, r, err), kCtxLinkCheck);
      received = r;
    } else {
      uint32_t err = 0;
      records_.DropReceived(err);  // as before a command
      int32_t r = records_.Send(static_cast<int32_t>(left()), check, kLinkCheckLength, err);
      if (r >= 1) r = records_.Flush(static_cast<int32_t>(left()), err);
      // A terminal that restarted the link is there; it only dropped what it had not acknowledged.
      if (r == kTransferPeerRestarted) return SetDiag(E_EXCHANGE, V3FailureText(kCheckV3Failed, r), kCtxLinkCheck);
      if (r < 1) return not_connected();
      r = ReceiveAnswer(check_message, deadline, answer, sizeof(answer), err);
      if (r < 0) return SetDiag(E_EXCHANGE, StrFormat(kCheckV3Failed, r, TransferResultText(r)), kCtxLinkCheck);
      if (r == 0) return SetDiag(E_EXCHANGE, kCheckV3Timeout, kCtxLinkCheck);
      received = r;
    }
    if (answer[0] != kENQ) return SetDiag(E_EXCHANGE, StrFormat(kCheckNotEnq, answer[0]), kCtxLinkCheck);
    if (received < static_cast<int32_t>(kLinkCheckLength) ||
        std::memcmp(answer + 1, kCmdLinkCheck, kCommandCodeLength) != 0) {
      return SetDiag(E_EXCHANGE, kCheckMismatch, kCtxLinkCheck);
    }
    return S_LINK_OK;
  } catch (...) {
    LogException("IsTerminalOnline");
    return E_EXCEPTION;
  }
}

// ---- records and commands ----

void TerminalLink::PurgePortUnlocked() {
  if (port_ == nullptr) return;
  TryToSendFinalizeUnlocked();
  if (!UseV3()) tsResetLink(port_, nullptr);
}

void TerminalLink::PurgePort() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  try {
    PurgePortUnlocked();
  } catch (...) {
    LogException("PurgePort");
  }
}

LineQuality::Totals TerminalLink::LineTotals() const {
  if (port_ == nullptr) return {};
  return (UseV3() ? frame_buffer_.Quality() : port_->quality).Total();
}

bool TerminalLink::LineFailing(uint32_t samples) {
  if (port_ == nullptr) return false;
  const LineQuality& quality = UseV3() ? frame_buffer_.Quality() : port_->quality;
  if (!quality.Failing(samples)) return false;
  SetLastMessage(
      StrFormat(kLineTooPoor, quality.Samples(), quality.Wasted(), quality.ByteErrorRate() * 100, ProtocolNumber()),
      E_EXCHANGE);
  frame_buffer_.ResetQuality();
  port_->quality.Reset();
  return true;
}

int32_t TerminalLink::LineAware(const std::function<int32_t()>& exchange) {
  auto port_errors = [this] { return port_ != nullptr && port_->port != nullptr ? port_->port->errors.load() : 0u; };
  const uint32_t errors_before = port_errors();
  const int32_t result = exchange();
  if (result == E_EXCHANGE && port_errors() == errors_before) LineFailing(kLineQualityFramesAfterFailure);
  return result;
}

uint32_t TerminalLink::MaxUploadRow() const { return UseV3() ? RecordChannel::kMaxWirePayload - 1 : kV2MaxRecordData; }

int32_t TerminalLink::TryToSendUnlocked(const uint8_t* data, uint32_t length) {
  if (port_ == nullptr) return NoPort();
  if (data == nullptr) length = 0;
  // A v3 terminal acknowledges a v2 frame without taking the record in it: the protocol is settled
  // first, as for a command, and a row does not go on a protocol only guessed.
  if (SettleProtocolUnlocked(true) != S_LINK_OK) return E_EXCHANGE;
  // Cut short, the row would arrive damaged and the send still count as a success.
  if (length > MaxUploadRow()) {
    return SetLastMessage(StrFormat(kRowTooLongToSend, length, ProtocolNumber(), MaxUploadRow()), E_BAD_REQUEST);
  }
  if (LineFailing()) return E_EXCHANGE;
  uint32_t err = 0;
  if (!UseV3()) {
    const uint32_t n = length;
    send_scratch_.resize(n + 1);
    send_scratch_[0] = kRS;
    if (n > 0) std::memcpy(send_scratch_.data() + 1, data, n);
    const int32_t r = V2(tsSend(port_, last_frame_.data(), send_scratch_.data(), n + 1, kLinkExchangeTimeoutMs, err));
    if (r < 1) {
      SetLastMessage(V2FailureText(kSendV2Failed, r, err), E_EXCHANGE);
      return E_EXCHANGE;
    }
    return S_LINK_OK;
  }
  send_scratch_.resize(static_cast<size_t>(length) + 1);
  send_scratch_[0] = kRS;
  if (length > 0) std::memcpy(send_scratch_.data() + 1, data, length);
  const int32_t r = records_.Send(kLinkExchangeTimeoutMs, send_scratch_.data(), length + 1, err);
  if (r < 1) {
    SetLastMessage(V3FailureText(kSendV3Failed, r), E_EXCHANGE);
    return E_EXCHANGE;
  }
  return S_LINK_OK;
}

int32_t TerminalLink::TryToSend(const uint8_t* data, uint32_t length) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  try {
    return LineAware([&] { return TryToSendUnlocked(data, length); });
  } catch (...) {
    LogException("TryToSend");
    return E_EXCEPTION;
  }
}

int32_t TerminalLink::TryToSendFinalizeUnlocked() {
  if (port_ == nullptr || remote_version_ < kLinkVersionV3) return S_LINK_OK;
  // Nothing cached, nothing unacknowledged, no gap: a flush would only poll the line. Skipping it
  // keeps a download from pulling frames faster than rows are taken (and from a poll wait per row).
  if (records_.PendingSendBytes() == 0 && frame_buffer_.SendQueueSize() == 0 && frame_buffer_.BuilderBodyBytes() == 0 &&
      frame_buffer_.ReceiveQueueSize() == 0) {
    return S_LINK_OK;
  }
  uint32_t err = 0;
  const int32_t r = records_.Flush(kLinkExchangeTimeoutMs, err);
  if (r != kTransferOk) {
    // Kept as the last message too, so that a flush failure can be told apart in the texts built on it.
    SetLastMessage(r == kTransferPeerRestarted
                       ? StrFormat(kPeerRestartedV3, r)
                       : StrFormat(kCacheFailed, r, static_cast<int32_t>(err), TransferResultText(r)),
                   0);
    return E_EXCHANGE;
  }
  return S_LINK_OK;
}

int32_t TerminalLink::TryToSendFinalize() {
  try {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    return TryToSendFinalizeUnlocked();
  } catch (...) {
    LogException("TryToSendFinalize");
    return E_EXCEPTION;
  }
}

int32_t TerminalLink::FlushSendCache() { return TryToSendFinalize(); }

int32_t TerminalLink::ReceiveRecordUntil(uint32_t deadline, uint8_t* buffer, uint32_t size, uint32_t& err) {
  for (;;) {
    const uint32_t asked = clock_.Now();
    const int32_t r = records_.Receive(std::max<int32_t>(0, TicksLeft(asked, deadline)), buffer, size, err);
    if (r > 0) return r;
    // A lost device never recovers within the wait.
    if (err != 0) return r < 0 ? r : kTransferDeviceLost;
    if (r < 0) return r;
    const uint32_t now = clock_.Now();
    if (TickReached(now, deadline)) return 0;
    if (now - asked < kReturnedAtOnceMs) clock_.PauseAfterEmptyRead(deadline);
  }
}

int32_t TerminalLink::ReceiveAnswer(const std::vector<uint8_t>& message, uint32_t deadline, uint8_t* answer,
                                    uint32_t size, uint32_t& err) {
  // A terminal that answered late, or twice, leaves that answer ahead of the next one; v2 keeps
  // offering it until it is read. Taken for the next command's answer it would fail that command,
  // and every command after it, one answer behind. So a data record, the echo of another command
  // sent before, or a v2 block that cannot be an answer (empty, or longer than one) is passed over
  // while more comes in time; when nothing does, it stands as the answer and fails the check as any
  // wrong answer does.
  bool passed = false;
  int32_t passed_result = 0;
  std::vector<uint8_t> passed_over;
  // v2 takes a whole block or nothing: a left-over row longer than this answer would fail the
  // exchange, so blocks are read into room for any and checked against `size` here.
  std::vector<uint8_t> block(UseV3() ? 0 : std::max<size_t>(size, kLastFrameSize));
  for (;;) {
    uint8_t* into = UseV3() ? answer : block.data();
    const int32_t r = UseV3() ? ReceiveRecordUntil(deadline, answer, size, err)
                              : tsRecv(port_, last_frame_.data(), into, static_cast<uint32_t>(block.size()),
                                       std::max<int32_t>(0, TicksLeft(clock_.Now(), deadline)), err);
    // tsRecv's 0 is an empty block here (the port is there), and a block longer than the room was
    // fetched to its end: the terminal's block all the same, not a failed receive.
    const bool odd = !UseV3() && err == 0 && (r == kTsBadArguments || r == kTsOverflow);
    if (!odd && (r < 1 || err != 0)) {
      if (!passed || err != 0) return r;
      if (!passed_over.empty()) std::memcpy(answer, passed_over.data(), passed_over.size());
      return passed_result;
    }
    const size_t n = odd ? 0 : static_cast<size_t>(r);
    const bool fits = !odd && n <= size && (!UseV3() || records_.LastPayloadLength() <= size);
    // Longer than the answer: the block layer's overflow, as for a block longer than the room.
    const int32_t result = fits || odd ? r : kTsOverflow;
    const bool stale = !fits || answers_.LeftOver(into, n, message.data(), message.size());
    if (!stale || TickReached(clock_.Now(), deadline)) {
      if (fits && into != answer) std::memcpy(answer, into, n);
      return result;
    }
    if (!passed) {
      passed = true;
      passed_result = result;
      if (fits) passed_over.assign(into, into + n);
    }
  }
}

int32_t TerminalLink::TryToRecvUnlocked(uint8_t* buffer, uint32_t size, int32_t& received) {
  // Refused before a record is taken from the line, so no row is lost to a bad call.
  if (buffer == nullptr || size == 0) return SetLastMessage(kRecvNoBuffer, E_BAD_REQUEST);
  if (port_ == nullptr) return NoPort();
  recv_too_long_ = false;
  if (SettleProtocolUnlocked() != S_LINK_OK) return E_EXCHANGE;
  if (LineFailing()) return E_EXCHANGE;
  PurgePortUnlocked();
  int32_t n = 0;
  uint32_t err = 0;
  auto too_long = [&]() {
    recv_too_long_ = true;
    return SetLastMessage(StrFormat(kRecvRowTooLong, size - 1), E_EXCHANGE);
  };
  if (!UseV3()) {
    const int32_t r = V2(tsRecv(port_, last_frame_.data(), buffer, size, kLinkExchangeTimeoutMs, err));
    if (r == kTsOverflow && err == 0) return too_long();
    if (r < 1) {
      SetLastMessage(V2FailureText(kRecvV2Failed, r, err), E_EXCHANGE);
      return E_EXCHANGE;
    }
    n = r;
  } else {
    const int32_t r = ReceiveRecordUntil(clock_.Now() + kLinkExchangeTimeoutMs, buffer, size, err);
    if (r < 0) {
      SetLastMessage(StrFormat(kRecvV3Failed, r, TransferResultText(r)), E_EXCHANGE);
      return E_EXCHANGE;
    }
    if (r == 0) {
      SetLastMessage(kRecvV3Timeout, E_EXCHANGE);
      return E_EXCHANGE;
    }
    // The channel keeps the stream in step by dropping the rest; the row itself is lost.
    if (records_.LastPayloadLength() > size) return too_long();
    n = r;
  }
  if (buffer[0] != kRS) {
    SetLastMessage(StrFormat(kRecvNotRs, buffer[0]), E_EXCHANGE);
    return E_EXCHANGE;
  }
  std::memmove(buffer, buffer + 1, static_cast<size_t>(n - 1));
  buffer[n - 1] = 0;
  received = n - 1;
  return S_LINK_OK;
}

int32_t TerminalLink::TryToRecv(uint8_t* buffer, uint32_t size, int32_t& received) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  try {
    return LineAware([&] { return TryToRecvUnlocked(buffer, size, received); });
  } catch (...) {
    LogException("TryToRecv");
    return E_EXCEPTION;
  }
}

int32_t TerminalLink::SettleProtocolUnlocked(bool for_row) {
  if (remote_version_ != 0 && !(for_row && version_guessed_)) return S_LINK_OK;
  uint32_t err = 0;
  const bool answered = SyncRemoteVersionUnlocked(err, kLinkExchangeTimeoutMs) != 0;
  if (err != 0) {
    return SetLastMessage(StrFormat(kCmdLinkError, static_cast<int32_t>(err), TransferResultText(kTransferDeviceLost)),
                          E_EXCHANGE);
  }
  // v2 was only guessed because nothing answered: a v3 terminal that answers later would
  // acknowledge the row's v2 frame and drop it.
  if (for_row && !answered) return SetLastMessage(V2FailureText(kSendV2Failed, kTsTimeout, 0), E_EXCHANGE);
  return S_LINK_OK;
}

int32_t TerminalLink::SendCmdUnlocked(const uint8_t* command, uint32_t length) {
  if (port_ == nullptr) return NoPort();
  if (command == nullptr) length = 0;
  std::vector<uint8_t> message(static_cast<size_t>(length) + 1);
  message[0] = kSOH;
  if (length > 0) std::memcpy(message.data() + 1, command, length);
  const uint32_t message_length = static_cast<uint32_t>(message.size());
  std::vector<uint8_t> answer(message.size());
  if (SettleProtocolUnlocked() != S_LINK_OK) return E_EXCHANGE;
  uint32_t err = 0;
  int32_t received = 0;
  answers_.Sent(message.data(), message.size());
  if (UseV3()) {
    // What came in before the command cannot be its answer (see ReceiveAnswer).
    records_.DropReceived(err);
    int32_t r = records_.Send(kLinkCommandSendTimeoutMs, message.data(), message_length, err);
    if (r >= 1) r = records_.Flush(kLinkExchangeTimeoutMs, err);
    if (r < 1) {
      const std::string text = err == 0 ? V3FailureText(kCmdSendV3Failed, r)
                                        : StrFormat(kLinkV3Error, static_cast<int32_t>(err),
                                                    TransferResultText(kTransferDeviceLost));
      SetLastMessage(text, E_EXCHANGE);
      return E_EXCHANGE;
    }
    r = ReceiveAnswer(message, clock_.Now() + kLinkExchangeTimeoutMs, answer.data(), message_length, err);
    if (err != 0) {
      SetLastMessage(StrFormat(kLinkV3Error, static_cast<int32_t>(err), TransferResultText(kTransferDeviceLost)),
                     E_EXCHANGE);
      return E_EXCHANGE;
    }
    if (r < 0) {
      SetLastMessage(StrFormat(kCmdAnswerV3Failed, r, TransferResultText(r)), E_EXCHANGE);
      return E_EXCHANGE;
    }
    if (r == 0) {
      SetLastMessage(kCmdAnswerV3Timeout, E_EXCHANGE);
      return E_EXCHANGE;
    }
    received = r;
  } else {
    PurgePortUnlocked();
    int32_t r = V2(tsSend(port_, last_frame_.data(), message.data(), message_length, kLinkExchangeTimeoutMs, err));
    if (r < 1) {
      SetLastMessage(V2FailureText(kCmdSendV2Failed, r, err), E_EXCHANGE);
      return E_EXCHANGE;
    }
    r = V2(ReceiveAnswer(message, clock_.Now() + kLinkExchangeTimeoutMs, answer.data(), message_length, err));
    if (r < 1) {
      SetLastMessage(V2FailureText(kCmdAnswerV2Failed, r, err), E_EXCHANGE);
      return E_EXCHANGE;
    }
    received = r;
  }
  if (answer[0] != kENQ) {
    SetLastMessage(StrFormat(kCmdAnswerNotEnq, answer[0]), E_EXCHANGE);
    return E_EXCHANGE;
  }
  if (static_cast<uint32_t>(received) != message_length ||
      (length > 0 && std::memcmp(answer.data() + 1, command, length) != 0)) {
    SetLastMessage(kCmdAnswerMismatch, E_EXCHANGE);
    return E_EXCHANGE;
  }
  return S_LINK_OK;
}

int32_t TerminalLink::SendCmd(const uint8_t* command, uint32_t length) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  try {
    return LineAware([&] { return SendCmdUnlocked(command, length); });
  } catch (...) {
    LogException("SendCmd");
    return E_EXCEPTION;
  }
}

}  // namespace korvane
