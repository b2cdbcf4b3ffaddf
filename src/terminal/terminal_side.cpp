#include "terminal/terminal_side.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "frame/frame_layout.h"
#include "log/log_time.h"

namespace korvane {

namespace {

const std::string kEndMarker(1, static_cast<char>(kEOT));
// Download rows queued ahead of the PC's requests on v2.
constexpr size_t kV2BlocksAhead = 2;
// Records handed to the v3 frame buffer together, as the PC's table upload does.
constexpr uint32_t kV3SendBatch = 4 * kV3MaxFrameSize;

// The kind whose command under `lookup` is `code`, or -1.
int32_t KindOf(const std::string& code, const char* (*lookup)(int32_t)) {
  for (int32_t kind = 0; kind < kTableKindCount; ++kind) {
    const char* c = lookup(kind);
    if (c != nullptr && code == c) return kind;
  }
  return -1;
}

bool VerdictAccepts(const std::string& verdict) {
  const std::vector<std::string> fields = SplitAnswerFields(verdict.data(), verdict.size());
  if (fields.empty() || fields[0] != kVerdictTag) return false;
  if (fields.size() > 1 && std::strtol(fields[1].c_str(), nullptr, 10) < 0) return false;
  return fields.size() < 3;
}

}  // namespace

void TerminalSide::ResetSession() {
  expect_ = Expect::kCommand;
  parameter_for_.clear();
  upload_kind_ = -1;
  download_kind_ = -1;
  download_next_ = 0;
  outbox_.clear();
}

void TerminalSide::Restart() {
  ResetSession();
  uploaded_.clear();
  upload_seen_.clear();
}

void TerminalSide::OnMessage(const uint8_t* data, size_t size) {
  std::string message(reinterpret_cast<const char*>(data), size);
  if (keep_received_) received_.push_back(message);
  if (intercept_ && intercept_(message, *this)) return;
  if (message.empty()) return;
  const uint8_t kind = static_cast<uint8_t>(message[0]);
  if (kind == kSOH) {
    HandleCommand(message.substr(1));
  } else if (kind == kRS) {
    // An uploaded row is kept as it came: one copy a row, not three.
    message.erase(0, 1);
    HandleRecord(std::move(message));
  }
}

void TerminalSide::Emit(std::string message) { outbox_.push_back(std::move(message)); }

void TerminalSide::HandleCommand(const std::string& code) {
  commands_.push_back(code);
  expect_ = Expect::kCommand;
  EmitEcho(code);
  int32_t kind = -1;
  if (code == kCmdSyncDateTime) {
    expect_ = Expect::kParameter;
    parameter_for_ = code;
  } else if (code == kCmdIsReady) {
    EmitRecord(StrFormat("%i;%s", state_.readiness, state_.readiness_text.c_str()));
  } else if (code == kCmdResetAllFilters) {
    for (int32_t k = 0; k < kTableKindCount; ++k) {
      state_.filter_id[k] = 0;
      state_.filter_text[k].clear();
    }
  } else if (code == kCmdGetLinesCount) {
    int32_t count = state_.lines_count;
    if (count < 0) {
      count = static_cast<int32_t>(state_.tables[kTableJournal].empty() ? state_.tables[kTableJournal2].size()
                                                                        : state_.tables[kTableJournal].size());
    }
    EmitRecord(StrFormat("%i", count));
  } else if ((kind = KindOf(code, DownloadCommand)) >= 0) {
    download_kind_ = kind;
    download_next_ = 0;
  } else if (code == kCmdClearTable) {
    state_.tables[kTableJournal].clear();
    state_.tables[kTableJournal2].clear();
  } else if (KindOf(code, SetCurrentIdCommand) >= 0 || KindOf(code, SetFilterIdCommand) >= 0 ||
             KindOf(code, SetFilterTextCommand) >= 0) {
    expect_ = Expect::kParameter;
    parameter_for_ = code;
  } else if ((kind = KindOf(code, GetCurrentIdCommand)) >= 0) {
    EmitRecord(StrFormat("%i", state_.current_id[kind]));
  } else if (code == kCmdActivateUploading) {
    uploaded_.assign(kTableKindCount, {});
    upload_seen_.assign(kTableKindCount, false);
  } else if ((kind = KindOf(code, UploadCommand)) >= 0) {
    if (uploaded_.empty()) {
      uploaded_.assign(kTableKindCount, {});
      upload_seen_.assign(kTableKindCount, false);
    }
    uploaded_[kind].clear();
    upload_kind_ = kind;
    expect_ = Expect::kUploadRows;
  } else if (code == kCmdParseUploaded) {
    EmitRecord(state_.verdict);
    if (VerdictAccepts(state_.verdict)) {
      for (int32_t k = 0; k < static_cast<int32_t>(upload_seen_.size()); ++k) {
        if (!upload_seen_[k]) continue;
        state_.tables[k] = std::move(uploaded_[k]);  // cleared below: no copy of every row
        if (table_loaded_) table_loaded_(k, state_.tables[k]);
      }
    }
    uploaded_.clear();
    upload_seen_.clear();
  } else if (code == kCmdSoftwareInfo) {
    EmitRecord(state_.program_name + kFieldSeparator + state_.program_version);
  } else if (code == kCmdHardwareInfo) {
    EmitRecord(state_.device_name + kFieldSeparator + state_.device_id);
  }
  // The link check, beep, close forms, reboot, receive mode: the echo is the whole answer.
}

void TerminalSide::HandleRecord(std::string text) {
  if (expect_ == Expect::kParameter) {
    ApplyParameter(text);
    expect_ = Expect::kCommand;
  } else if (expect_ == Expect::kUploadRows) {
    if (text == kEndMarker) {
      upload_seen_[upload_kind_] = true;
      expect_ = Expect::kCommand;
    } else {
      uploaded_[upload_kind_].push_back(std::move(text));
    }
  }
}

void TerminalSide::ApplyParameter(const std::string& text) {
  int32_t kind = -1;
  if (parameter_for_ == kCmdSyncDateTime) {
    state_.date_time = text;
  } else if ((kind = KindOf(parameter_for_, SetCurrentIdCommand)) >= 0) {
    state_.current_id[kind] = static_cast<int32_t>(std::strtol(text.c_str(), nullptr, 10));
  } else if ((kind = KindOf(parameter_for_, SetFilterIdCommand)) >= 0) {
    state_.filter_id[kind] = static_cast<uint32_t>(std::strtoul(text.c_str(), nullptr, 10));
  } else if (parameter_for_ == kCmdFilterTextJournal) {
    state_.filter_text[kTableJournal] = text;
    state_.filter_text[kTableJournal2] = text;
  } else if (parameter_for_ == kCmdFilterTextGoods) {
    state_.filter_text[kTableGoods] = text;
  }
  parameter_for_.clear();
}

bool TerminalSide::HasOutgoing() const { return !outbox_.empty() || download_kind_ >= 0; }

bool TerminalSide::TakeOutgoing(std::string& message) {
  if (!outbox_.empty()) {
    message = std::move(outbox_.front());
    outbox_.pop_front();
  } else if (download_kind_ < 0) {
    return false;
  } else {
    const std::vector<std::string>& rows = state_.tables[download_kind_];
    message.assign(1, static_cast<char>(kRS));
    if (download_next_ < rows.size()) {
      message += rows[download_next_++];
    } else {
      message += kEndMarker;
      download_kind_ = -1;
    }
  }
  if (sent_tap_) sent_tap_(message);
  return true;
}

// ---- transports ----

int32_t TerminalEndpoint::Wire::Read(int32_t, uint8_t* buffer, uint32_t size, uint32_t& count, uint32_t& err) {
  err = 0;
  const size_t n = std::min<size_t>(size > count ? size - count : 0, in.size() - in_at);
  if (n > 0) std::memcpy(buffer + count, in.data() + in_at, n);
  count += static_cast<uint32_t>(n);
  in_at += n;
  return static_cast<int32_t>(count);
}

void TerminalEndpoint::Wire::Append(const uint8_t* data, size_t size) {
  in.erase(in.begin(), in.begin() + static_cast<std::ptrdiff_t>(in_at));
  in_at = 0;
  in.insert(in.end(), data, data + size);
}

int32_t TerminalEndpoint::Wire::Write(int32_t, const uint8_t* data, uint32_t length, uint32_t& err) {
  err = 0;
  out.insert(out.end(), data, data + length);
  return static_cast<int32_t>(length);
}

int32_t TerminalEndpoint::Wire::Flush(int32_t, uint32_t& err) {
  // As a port purge: unread input is dropped; what was written has left already.
  err = 0;
  in.clear();
  in_at = 0;
  return 1;
}

TerminalEndpoint::TerminalEndpoint(TerminalSide& side, uint16_t protocol, const Clock& clock)
    : side_(side), protocol_(protocol), clock_(clock) {
  if (protocol == kProtocolV3) {
    frame_buffer_ = std::make_unique<CFrameBuffer>(clock);
    frame_buffer_->Configure(kV3MaxFrameSize, kV3Window);
    frame_buffer_->SetNextExpected(1);
    frame_buffer_->SetInitiator(false);
    frame_buffer_->SetLower(&wire_);
    frame_buffer_->SetForceOnRead(false);  // PollV3 forces the last frame once no record is left
    records_ = std::make_unique<RecordChannel>(kMaxRecordPayload, clock);
    records_->Bind(frame_buffer_.get());
    records_->SetSendBatch(kV3SendBatch);
    record_buffer_.resize(kMaxRecordPayload);
  } else {
    StartEngine();
  }
}

void TerminalEndpoint::StartEngine() {
  if (protocol_ == kProtocolBlocks) {
    // Nothing more leaves once the program is to restart: it would be lost with the engine.
    blocks_ = std::make_unique<BlockTerminal>(
        [this](const uint8_t* data, size_t size) { side_.OnMessage(data, size); },
        [this](std::string& message) { return !restart_pending_ && side_.TakeOutgoing(message); }, clock_);
  } else {
    responder_ = std::make_unique<V2Responder>(protocol_);
    responder_->SetBlockHandler([this](std::vector<uint8_t>&& block) { side_.OnMessage(block.data(), block.size()); });
    responder_->SetConnectHandler([this] { StartSession(); });
  }
}

void TerminalEndpoint::TakeRestart() {
  if (!restart_pending_) return;
  restart_pending_ = false;
  side_.Restart();
  if (frame_buffer_ == nullptr) {
    StartEngine();  // the old engine's unsent output goes with it
    return;
  }
  wire_.out.clear();
  uint16_t version = 0;
  uint32_t err = 0;
  frame_buffer_->Sync(0, version, err);
}

TerminalEndpoint::~TerminalEndpoint() {
  if (records_) records_->Bind(nullptr);
  if (frame_buffer_) frame_buffer_->SetLower(nullptr);
}

void TerminalEndpoint::Feed(const uint8_t* data, size_t size) {
  if (data == nullptr || size == 0) return;
  // A restart asked for between exchanges is over before the next bytes come.
  TakeRestart();
  if (responder_) {
    responder_->Feed(data, size);
  } else if (blocks_) {
    blocks_->Feed(data, size);
  } else {
    wire_.Append(data, size);
  }
  TakeRestart();
}

void TerminalEndpoint::Poll() {
  TakeRestart();
  if (responder_) {
    PollV2();
  } else if (blocks_) {
    blocks_->Poll();
  } else {
    PollV3();
  }
  TakeRestart();
}

void TerminalEndpoint::PollV2() {
  std::string message;
  while (!restart_pending_ && responder_->BlocksToSend() < kV2BlocksAhead && side_.TakeOutgoing(message)) {
    responder_->QueueBlock(reinterpret_cast<const uint8_t*>(message.data()), message.size());
  }
}

void TerminalEndpoint::StartSession() {
  side_.ResetSession();
  if (session_start_) session_start_();
}

void TerminalEndpoint::PollV3() {
  uint32_t err = 0;
  // Every frame that came is acknowledged before its records are handled (a read takes at most
  // two frames), and after a burst the acknowledgements leave at once, so the PC's window reopens
  // while the terminal works. A lone request's ACK goes out with its answer, in one write.
  for (size_t left = wire_.in.size() - wire_.in_at; left > 0;) {
    if (frame_buffer_->Absorb(err) != kFbDone) break;
    const size_t now = wire_.in.size() - wire_.in_at;
    if (now >= left) break;
    left = now;
  }
  if (wire_sink_ && frame_buffer_->ReceiveQueueSize() > 1 && !wire_.out.empty()) {
    wire_sink_(wire_.out.data(), static_cast<uint32_t>(wire_.out.size()));
    wire_.out.clear();
  }
  for (;;) {
    const int32_t r = records_->Receive(0, record_buffer_.data(), static_cast<uint32_t>(record_buffer_.size()), err);
    // A record that a read past a SYN returns belongs to the session the SYN began.
    if (frame_buffer_->PeerSyns() != peer_syns_seen_) {
      peer_syns_seen_ = frame_buffer_->PeerSyns();
      StartSession();
    }
    if (r <= 0) break;
    side_.OnMessage(record_buffer_.data(), static_cast<size_t>(r));
    if (restart_pending_) return;  // what came after it is lost with the program
  }
  // Records go out while the window has room; the rest wait for the PC's acknowledgements. They
  // are gathered into batches, since every stream write looks at the line first. A write that
  // finds the window closed drops what it carries, so the window is asked before every record and
  // a batch is only written straight after such a look: when it fills, or below when no record is left.
  // A PC that restarted the link (a new connect on a line the terminal kept open) dropped what was
  // unacknowledged; the terminal has nobody to report that to, and what it sends now is the new
  // session's, so the report must not refuse it.
  frame_buffer_->TakeOutputDropped();
  std::string message;
  bool drained = false;
  while (!restart_pending_ && frame_buffer_->WindowOpen()) {
    if (!side_.TakeOutgoing(message)) {
      drained = true;
      break;
    }
    records_->Send(0, reinterpret_cast<const uint8_t*>(message.data()), static_cast<uint32_t>(message.size()), err);
  }
  // Nothing more to say: the batch and the partial last frame leave now instead of after the
  // coalescing delay. While more waits for the window, the partial frame fills with it instead.
  if (drained && records_->PendingSendBytes() > 0) records_->Flush(0, err);
  if (drained && frame_buffer_->BuilderBodyBytes() > 0) frame_buffer_->Flush(0, err);
  // The acknowledgements read above may have opened the window to frames queued already.
  if (frame_buffer_->SendQueueSize() > 0) frame_buffer_->SendDue(err);
}

bool TerminalEndpoint::Busy() const {
  if (blocks_) return blocks_->Busy();
  return frame_buffer_ != nullptr && (frame_buffer_->SendQueueSize() > 0 || frame_buffer_->BuilderBodyBytes() > 0);
}

std::vector<uint8_t> TerminalEndpoint::TakeOutput() {
  if (responder_) return responder_->TakeOutput();
  if (blocks_) return blocks_->TakeOutput();
  std::vector<uint8_t> out;
  out.swap(wire_.out);
  return out;
}

// ---- in-process line ----

class InProcessLine::Port final : public PortDevice {
 public:
  explicit Port(std::shared_ptr<InProcessLine> line) : line_(std::move(line)) {}
  bool HasHandle() const override { return true; }
  uint32_t Send(const uint8_t* data, uint32_t length, int32_t, uint32_t& err) override {
    err = 0;
    line_->FromPc(data, length);
    return length;
  }
  uint32_t ReadMore(uint8_t* buffer, uint32_t count, uint32_t capacity, int32_t timeout_ms, uint32_t& err) override {
    err = 0;
    return line_->ToPc(buffer, count, capacity, timeout_ms);
  }
  void Purge() override { line_->to_pc_.clear(); }
  void Close() override {}

 private:
  std::shared_ptr<InProcessLine> line_;
};

InProcessLine::InProcessLine(TerminalSide& side, uint16_t protocol, const Clock& clock)
    : clock_(clock), endpoint_(side, protocol, clock) {}

std::unique_ptr<PortDevice> InProcessLine::MakePort(std::shared_ptr<InProcessLine> line) {
  return std::make_unique<Port>(std::move(line));
}

void InProcessLine::FromPc(const uint8_t* data, uint32_t length) {
  if (tap_) tap_(data, length);
  if (silent_) return;
  endpoint_.Feed(data, length);
  Service();
}

void InProcessLine::Service() {
  if (silent_) return;
  endpoint_.Poll();
  std::vector<uint8_t> out = endpoint_.TakeOutput();
  to_pc_.insert(to_pc_.end(), out.begin(), out.end());
}

uint32_t InProcessLine::ToPc(uint8_t* buffer, uint32_t count, uint32_t capacity, int32_t timeout_ms) {
  if (to_pc_.empty()) Service();
  if (to_pc_.empty() && timeout_ms > 0) {
    // Nothing will come while the PC waits: the wait passes, then the terminal's timers run.
    clock_.Sleep(static_cast<uint32_t>(timeout_ms));
    Service();
  }
  while (count < capacity && !to_pc_.empty()) {
    buffer[count++] = to_pc_.front();
    to_pc_.pop_front();
  }
  return count;
}

}  // namespace korvane
