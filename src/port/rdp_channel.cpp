#include "port/rdp_channel.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <vector>

#include "log/diag_log.h"
#include "platform/errors.h"
#include "port/port_kinds.h"
#include "port/port_names.h"

namespace korvane {

namespace {

constexpr uint32_t kOpenAnswerWaitMs = 5000;

std::mutex& SourceLock() {
  static std::mutex* lock = new std::mutex;
  return *lock;
}
WtsChannelApiSource& Source() {
  static WtsChannelApiSource* source = new WtsChannelApiSource;
  return *source;
}

std::unique_ptr<WtsChannelApi> LoadChannelApi() {
  std::lock_guard<std::mutex> hold(SourceLock());
  return Source() ? Source()() : LoadWtsChannelApi();
}

uint32_t LittleEndian32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

bool StartsWith(const uint8_t* text, uint32_t length, std::string_view prefix) {
  return length >= prefix.size() && std::memcmp(text, prefix.data(), prefix.size()) == 0;
}

class RdpChannelDevice final : public PortDevice {
 public:
  explicit RdpChannelDevice(std::unique_ptr<RdpChannel> channel) : channel_(std::move(channel)) {}
  bool HasHandle() const override { return true; }
  uint32_t Send(const uint8_t* data, uint32_t length, int32_t, uint32_t& err) override {
    uint32_t written = 0;
    const uint32_t step = channel_->Write(data, length, written, err);
    if (step == kRdpOk) return written;
    DiagLogAppend(StrFormat("(RDP::Port->Write) Ошибка №%u", step), static_cast<int32_t>(err));
    return 0;
  }
  uint32_t ReadMore(uint8_t* buffer, uint32_t count, uint32_t capacity, int32_t timeout_ms, uint32_t& err) override {
    channel_->SetReadTimeout(timeout_ms);
    uint32_t received = 0;
    const uint32_t step = channel_->Read(buffer + count, capacity - count, received, err);
    if (step != kRdpOk) DiagLogAppend(StrFormat("(RDP::Port->Read) Ошибка №%u", step), static_cast<int32_t>(err));
    return count + received;
  }
  void Purge() override {}
  void Close() override { channel_->Close(); }

 private:
  std::unique_ptr<RdpChannel> channel_;
};

}  // namespace

bool ParseRdpErrorText(const uint8_t* text, uint32_t length, uint32_t& code) {
  if (!StartsWith(text, length, kRdpErrorText)) return false;
  // The text has no terminator: the number ends with the chunk.
  uint32_t value = 0;
  for (uint32_t i = static_cast<uint32_t>(kRdpErrorText.size()); i < length; ++i) {
    if (text[i] < '0' || text[i] > '9') break;
    value = value * 10 + static_cast<uint32_t>(text[i] - '0');
  }
  code = value;
  return true;
}

RdpChannel::RdpChannel(std::unique_ptr<WtsChannelApi> api, const Clock& clock) : api_(std::move(api)), clock_(clock) {}

RdpChannel::~RdpChannel() { Close(); }

void RdpChannel::SetPortName(const std::string& name) {
  const auto pieces = SplitDroppingEmpty(name, ":");
  client_port_ = pieces.size() >= 2 ? pieces[1] : std::string();
  // Cut to fit the request, the name would open another port than the one asked for.
  name_too_long_ = client_port_.size() > kRdpMaxPortName;
}

uint32_t RdpChannel::ReadChunk(uint32_t timeout_ms, Chunk& chunk, uint32_t& err) {
  std::memset(chunk.bytes, 0, sizeof chunk.bytes);
  uint32_t read = 0, e = 0;
  if (!api_->Read(channel_, timeout_ms, chunk.bytes, sizeof chunk.bytes, read, e)) {
    if (e == kErrIoIncomplete) return kRdpNothingArrived;
    err = e;
    return kRdpReadFailed;
  }
  if (read == 0) return kRdpNothingArrived;
  if (read < kRdpPduHeaderSize) return kRdpBadAnswer;
  chunk.flags = LittleEndian32(chunk.bytes + 4);
  chunk.payload_length = std::min<uint32_t>(read, sizeof chunk.bytes) - kRdpPduHeaderSize;
  return kRdpOk;
}

void RdpChannel::SendControl(std::string_view text) {
  std::vector<uint8_t> message(1 + text.size());
  message[0] = kRdpControlMessage;
  std::memcpy(message.data() + 1, text.data(), text.size());
  uint32_t written = 0, e = 0;
  api_->Write(channel_, message.data(), static_cast<uint32_t>(message.size()), written, e);
}

void RdpChannel::CloseHandle(bool say_close) {
  if (!channel_) return;
  if (say_close) SendControl(kRdpCloseText);
  api_->Close(channel_);
  channel_ = nullptr;
  leftover_count_ = 0;
}

uint32_t RdpChannel::Open(uint32_t& err) {
  if (!api_) return kRdpNoLibrary;
  CloseHandle(true);
  if (name_too_long_) {
    err = kErrInvalidParameter;
    return kRdpWriteFailed;
  }
  uint32_t e = 0;
  channel_ = api_->Open(kRdpChannelName, e);
  if (!channel_) {
    err = e;
    return kRdpOpenFailed;
  }
  std::string request(1, static_cast<char>(kRdpControlMessage));
  request += kRdpOpenText;
  request += client_port_;
  uint32_t written = 0;
  if (!api_->Write(channel_, reinterpret_cast<const uint8_t*>(request.data()), static_cast<uint32_t>(request.size()),
                   written, e)) {
    err = e;
    CloseHandle(false);
    return kRdpWriteFailed;
  }
  const uint32_t deadline = clock_.Now() + kOpenAnswerWaitMs;
  Chunk chunk;
  for (;;) {
    const int32_t left = TicksLeft(clock_.Now(), deadline);
    const uint32_t step = left <= 0 ? kRdpNothingArrived : ReadChunk(static_cast<uint32_t>(left), chunk, err);
    if (step != kRdpOk) {
      CloseHandle(false);
      return step;
    }
    // Data still in flight from an earlier session is not the answer.
    if (!chunk.IsControl()) {
      if (!(chunk.flags & kRdpChannelFlagFirst) || chunk.Payload()[0] == kRdpDataMessage) continue;
      CloseHandle(true);
      return kRdpBadAnswer;
    }
    break;
  }
  const uint8_t* text = chunk.Payload() + 1;
  const uint32_t length = chunk.payload_length - 1;
  uint32_t code = 0;
  if (ParseRdpErrorText(text, length, code)) {
    CloseHandle(true);
    err = code;
    return kRdpClientError;
  }
  if (StartsWith(text, length, kRdpOpenOkText)) return kRdpOk;
  CloseHandle(true);
  return kRdpUnexpectedAnswer;
}

uint32_t RdpChannel::Write(const uint8_t* data, uint32_t length, uint32_t& written, uint32_t& err) {
  written = 0;
  if (length == 0) return kRdpOk;
  if (!api_ || !channel_) {
    err = kErrInvalidHandle;
    return kRdpWriteFailed;
  }
  std::vector<uint8_t> message(length + 1);
  message[0] = kRdpDataMessage;
  std::memcpy(message.data() + 1, data, length);
  uint32_t put = 0, e = 0;
  if (!api_->Write(channel_, message.data(), length + 1, put, e)) {
    err = e;
    return kRdpWriteFailed;
  }
  written = put > 0 ? put - 1 : 0;
  return kRdpOk;
}

void RdpChannel::HandOut(const uint8_t* data, uint32_t length, uint8_t* buffer, uint32_t size, uint32_t& received) {
  const uint32_t now = std::min(length, size);
  std::memcpy(buffer, data, now);
  received = now;
  leftover_count_ = length - now;
  std::memmove(leftover_, data + now, leftover_count_);
}

uint32_t RdpChannel::Read(uint8_t* buffer, uint32_t size, uint32_t& received, uint32_t& err) {
  err = 0;
  received = 0;
  if (leftover_count_ > 0) {
    uint8_t held[kRdpChunkSize];
    const uint32_t count = leftover_count_;
    std::memcpy(held, leftover_, count);
    HandOut(held, count, buffer, size, received);
    return kRdpOk;
  }
  if (!api_ || !channel_) {
    err = kErrInvalidHandle;
    return kRdpReadFailed;
  }
  const uint32_t deadline = clock_.Now() + read_timeout_;
  Chunk chunk;
  for (;;) {
    const int32_t left = TicksLeft(clock_.Now(), deadline);
    if (left < 0) return kRdpNothingArrived;
    const uint32_t step = ReadChunk(left > 0 ? static_cast<uint32_t>(left) : read_timeout_, chunk, err);
    if (step == kRdpNothingArrived) return kRdpOk;
    if (step != kRdpOk) return step;
    if (!chunk.IsControl()) {
      const bool typed = (chunk.flags & kRdpChannelFlagFirst) && chunk.payload_length > 0;
      HandOut(chunk.Payload() + (typed ? 1 : 0), chunk.payload_length - (typed ? 1 : 0), buffer, size, received);
      return kRdpOk;
    }
    uint32_t code = 0;
    if (ParseRdpErrorText(chunk.Payload() + 1, chunk.payload_length - 1, code)) {
      err = code;
      return kRdpClientError;
    }
  }
}

void RdpChannel::Close() {
  if (api_) CloseHandle(true);
  client_port_.clear();
  api_.reset();
}

void SetWtsChannelApiSource(WtsChannelApiSource source) {
  std::lock_guard<std::mutex> hold(SourceLock());
  Source() = std::move(source);
}

std::unique_ptr<PortDevice> OpenRdpChannelPort(const std::string& name, uint32_t& step_error, uint32_t& system_error) {
  auto channel = std::make_unique<RdpChannel>(LoadChannelApi());
  channel->SetPortName(name);
  system_error = 0;
  step_error = channel->Open(system_error);
  if (step_error != kRdpOk) {
    channel->Close();
    return nullptr;
  }
  return std::make_unique<RdpChannelDevice>(std::move(channel));
}

}  // namespace korvane
