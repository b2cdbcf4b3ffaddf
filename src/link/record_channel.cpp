#include "link/record_channel.h"

#include <algorithm>
#include <cstring>

#include "frame/frame_layout.h"

namespace korvane {

namespace {
constexpr uint32_t kMinReceiveBuffer = 2048;
}

RecordChannel::RecordChannel(uint32_t max_payload, const Clock& clock)
    : clock_(clock), rx_(std::max(2 * max_payload + 1, kMinReceiveBuffer)), max_payload_(max_payload) {}

void RecordChannel::Bind(_tag_ReadWriteStream* stream) {
  stream_ = stream;
  frames_ = nullptr;
  tx_.clear();
  lost_ = false;
  ResetInput();
}

void RecordChannel::Bind(CFrameBuffer* frames) {
  stream_ = frames;
  frames_ = frames;
  session_ = frames != nullptr ? frames->Session() : 0;
  tx_.clear();
  lost_ = false;
  ResetInput();
}

void RecordChannel::ResetInput() {
  filled_ = 0;
  offset_ = 0;
}

int32_t RecordChannel::Send(int32_t timeout_ms, const uint8_t* data, uint32_t length, uint32_t& err) {
  err = 0;
  // A record longer than the 16-bit length allows (or than our buffer) is refused whole.
  if (length < 1 || data == nullptr || stream_ == nullptr) return kTransferBadArguments;
  if (length > kMaxWirePayload || length > max_payload_) return kTransferBadArguments;
  const uint32_t total = length + kRecordLengthPrefix;
  if (tx_.empty()) tx_session_ = frames_ != nullptr ? frames_->Session() : 0;
  const size_t at = tx_.size();
  tx_.resize(at + total);
  PutU16(tx_.data() + at, static_cast<uint16_t>(total));
  std::memcpy(tx_.data() + at + kRecordLengthPrefix, data, length);
  if (tx_.size() < send_batch_) return kTransferOk;
  return WritePending(timeout_ms, err);
}

int32_t RecordChannel::WritePending(int32_t timeout_ms, uint32_t& err) {
  err = 0;
  if (tx_.empty()) return kTransferOk;
  // Gathered before the link started over (a peer's restart, a sync, a new port): the new stream
  // must not begin with them, and the loss is reported as the frame buffer reports its own.
  if (frames_ != nullptr && frames_->Session() != tx_session_) {
    tx_.clear();
    return kTransferPeerRestarted;
  }
  const int32_t r = stream_->Write(std::max<int32_t>(0, timeout_ms), tx_.data(), static_cast<uint32_t>(tx_.size()),
                                   err);
  tx_.clear();
  return r;
}

int32_t RecordChannel::Flush(int32_t timeout_ms, uint32_t& err) {
  err = 0;
  if (stream_ == nullptr) return kTransferBadArguments;
  const uint32_t start = clock_.Now();
  const bool lost = lost_;
  lost_ = false;
  const int32_t r = WritePending(timeout_ms, err);
  if (r < 1) return r;
  const int32_t left = std::max<int32_t>(0, timeout_ms - static_cast<int32_t>(clock_.Now() - start));
  const int32_t flushed = stream_->Flush(left, err);
  if (flushed < 1 || !lost) return flushed;
  err = lost_err_;
  return lost_result_;
}

bool RecordChannel::HoldsCompleteRecord() const {
  const uint32_t unread = filled_ - offset_;
  if (unread < kRecordLengthPrefix) return false;
  return unread >= GetU16(rx_.data() + offset_);
}

int32_t RecordChannel::Receive(int32_t timeout_ms, uint8_t* buffer, uint32_t size, uint32_t& err) {
  err = 0;
  if (stream_ == nullptr) return kTransferBadArguments;
  // An answer is awaited only after its request has left.
  if (!tx_.empty()) {
    const int32_t w = WritePending(timeout_ms, err);
    if (w < 1) {
      // The records were the sender's: told only to this reader, their loss would let the
      // sender's next flush report them delivered.
      lost_ = true;
      lost_result_ = w;
      lost_err_ = err;
      return w;
    }
  }
  bool taken = false;
  return Take(timeout_ms, buffer, size, err, taken);
}

int32_t RecordChannel::DropReceived(uint32_t& err) {
  err = 0;
  if (stream_ == nullptr) return kTransferBadArguments;
  int32_t dropped = 0;
  for (;;) {
    bool taken = false;
    const int32_t r = Take(0, nullptr, 0, err, taken);
    if (r < 0) return r;
    if (!taken) return dropped;
    ++dropped;
  }
}

int32_t RecordChannel::Take(int32_t timeout_ms, uint8_t* buffer, uint32_t size, uint32_t& err, bool& taken) {
  if (SessionChanged()) {
    ResetInput();
    session_ = frames_->Session();
  }
  if (!HoldsCompleteRecord()) {
    const uint32_t unread = filled_ - offset_;
    if (offset_ > 0) std::memmove(rx_.data(), rx_.data() + offset_, unread);
    filled_ = unread;
    offset_ = 0;
    uint32_t count = filled_;
    const int32_t r = stream_->Read(std::max<int32_t>(0, timeout_ms), rx_.data(), static_cast<uint32_t>(rx_.size()),
                                    count, err);
    if (r < 0) return r;
    count = std::min<uint32_t>(count, static_cast<uint32_t>(rx_.size()));
    if (SessionChanged()) {
      // The read itself started a new session: only what it delivered belongs to it.
      const uint32_t fresh = count > filled_ ? count - filled_ : 0;
      std::memmove(rx_.data(), rx_.data() + filled_, fresh);
      filled_ = 0;
      count = fresh;
      session_ = frames_->Session();
    }
    const bool filled_more = count > filled_;
    filled_ = count;
    if (err != 0 || !filled_more || !HoldsCompleteRecord()) return 0;
  }
  const uint16_t length = GetU16(rx_.data() + offset_);
  if (length < kRecordLengthPrefix) {
    // The prefix can never be right again: the stream is out of step, so what is buffered is dropped
    // rather than reported forever.
    ResetInput();
    return kTransferBadStream;
  }
  const uint32_t payload = length - kRecordLengthPrefix;
  last_payload_ = payload;
  const uint32_t copied = std::min(payload, size);
  if (copied > 0 && buffer != nullptr) std::memcpy(buffer, rx_.data() + offset_ + kRecordLengthPrefix, copied);
  offset_ += length;
  if (offset_ == filled_) ResetInput();
  taken = true;
  return static_cast<int32_t>(buffer != nullptr ? copied : 0);
}

}  // namespace korvane
