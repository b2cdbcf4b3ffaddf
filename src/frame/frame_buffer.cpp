#include "frame/frame_buffer.h"

#include <algorithm>
#include <cstring>

#include "frame/frame_layout.h"

namespace korvane {

namespace {

constexpr uint32_t kMaxFrameLength = 0xFFFF;
// Control frames (ACK, NAK, SYN) are a few bytes; this only bounds a stuck line.
constexpr int32_t kControlWriteMs = 500;
// Loops that wait for acknowledgements block on the line at most this long between sends, so
// retransmissions and coalesced frames still leave on time without spinning the CPU.
constexpr int32_t kPollSliceMs = 20;
// Frames held for the owner, gaps included. A peer that sends on while the owner does not read, or
// numbers a frame far ahead, would grow the queue without end and, past half the number space, make
// numbers ambiguous; a frame beyond this is dropped unacknowledged and comes again later.
constexpr size_t kMaxReceiveQueue = 4096;

uint16_t ItemNumber(const CFrameItem& item) { return FrameNumber(item.bytes.data()); }

// An item of n bytes (never below the header): length field written, read offset at the body.
void GrowItem(CFrameItem& item, uint32_t n) {
  n = std::max(n, kFrameHeaderSize);
  item.bytes.resize(n);
  PutU16(item.bytes.data() + kFrameOffLength, static_cast<uint16_t>(n));
  item.read_offset = static_cast<uint16_t>(kFrameHeaderSize);
}

CFrameItem Placeholder(uint16_t number) {
  CFrameItem item;
  GrowItem(item, kFrameHeaderSize);
  PutU16(item.bytes.data() + kFrameOffNumber, number);
  item.filled = false;
  item.stamp = 0;
  return item;
}

int32_t NonNegative(int32_t ms) { return ms < 0 ? 0 : ms; }

// Transmission orders wrap like tick counts.
bool SentBefore(uint32_t a, uint32_t b) { return static_cast<int32_t>(a - b) < 0; }

// Before any delay was measured: a NAK this soon after the frame went again most likely crossed
// that copy on the line; the peer asks again on its own time-out if the copy is lost too.
constexpr uint32_t kNakCrossedResendMs = kMinRetransmitMs / 2;

}  // namespace

CFrameBuffer::CFrameBuffer(const Clock& clock) : clock_(clock), rx_(kFrameHeaderSize) {}

CFrameBuffer::~CFrameBuffer() {
  rx_.clear();
  Reset();
  builder_.bytes.clear();
}

void CFrameBuffer::SetInitiator(bool initiator) { initiator_ = initiator; }
void CFrameBuffer::SetLower(_tag_ReadWriteStream* lower) {
  lower_ = lower;
  // Not flushed: the old stream may be gone, and the new one starts with nothing of ours in it.
  receive_queue_.clear();
  send_queue_.clear();
  builder_.bytes.clear();
  rx_count_ = 0;
  next_outgoing_ = 1;
  next_expected_ = first_expected_;
  peer_version_ = 0;
  peer_syn_block_ = 0;
  retransmit_ms_ = kMinRetransmitMs;
  ack_samples_ = 0;
  frame_limit_ = max_frame_;
  clean_run_ = 0;
  delay_max_ms_ = 0;
  retransmissions_ = 0;
  crc_failures_ = 0;
  output_dropped_ = false;
  resync_pending_ = false;
  ++resets_;
}

void CFrameBuffer::SetNextExpected(uint16_t number) {
  next_expected_ = number;
  first_expected_ = number;
}

void CFrameBuffer::Configure(uint32_t max_frame_size, uint32_t window) {
  max_frame_ = std::min(max_frame_size, kMaxFrameLength);
  frame_limit_ = max_frame_;
  clean_run_ = 0;
  window_ = window;
  rx_.assign(std::max<uint32_t>(2 * max_frame_ + 1, kFrameHeaderSize), 0);
  rx_count_ = 0;
}

uint32_t CFrameBuffer::BuilderBodyBytes() const {
  return builder_.bytes.size() > kFrameHeaderSize ? static_cast<uint32_t>(builder_.bytes.size()) - kFrameHeaderSize : 0;
}

bool CFrameBuffer::DataReady() const { return !receive_queue_.empty() && receive_queue_.front().filled; }

bool CFrameBuffer::TakeOutputDropped() {
  const bool dropped = output_dropped_;
  output_dropped_ = false;
  return dropped;
}

uint32_t CFrameBuffer::Stamp() const {
  const uint32_t now = clock_.Now();
  return now == 0 ? 1 : now;  // 0 means "never sent"
}

bool CFrameBuffer::Overdue(uint32_t stamp) const {
  return stamp == 0 || static_cast<int32_t>(clock_.Now() - stamp) > static_cast<int32_t>(retransmit_ms_);
}

uint32_t CFrameBuffer::RepeatWait(const CFrameItem& item) const {
  if (delay_max_ms_ == 0) return kNakCrossedResendMs;
  const uint32_t copies = std::min<uint32_t>(item.sends > 1 ? item.sends - 2 : 0, 4);
  return std::max(kRepeatFloorMs, kRepeatRoundTrips * delay_max_ms_) << copies;
}

bool CFrameBuffer::Due(const CFrameItem& item) const {
  if (Overdue(item.stamp)) return true;
  if (delay_max_ms_ == 0 || item.sends == 0 || (!item.lost && frame_limit_ >= max_frame_)) return false;
  return static_cast<int32_t>(clock_.Now() - item.stamp) > static_cast<int32_t>(RepeatWait(item));
}

int32_t CFrameBuffer::TimeLeft(uint32_t deadline) const { return NonNegative(TicksLeft(clock_.Now(), deadline)); }

bool CFrameBuffer::WriteLower(int32_t timeout_ms, const uint8_t* data, uint32_t length, uint32_t& err, bool* whole) {
  err = 0;
  const int32_t sent = lower_->Write(NonNegative(timeout_ms), data, length, err);
  if (whole) *whole = err == 0 && sent == static_cast<int32_t>(length);
  return err == 0;
}

void CFrameBuffer::WriteControl(uint8_t control, uint16_t number, uint32_t& err, bool* lower_failed) {
  uint8_t frame[kFrameHeaderSize];
  FinishFrame(frame, number, static_cast<uint16_t>(kFrameHeaderSize), control);
  const bool ok = WriteLower(kControlWriteMs, frame, kFrameHeaderSize, err);
  if (lower_failed) *lower_failed = !ok;
}

void CFrameBuffer::WriteAcks() {
  if (acks_.empty()) return;
  uint32_t ignored = 0;
  WriteLower(kControlWriteMs, acks_.data(), static_cast<uint32_t>(acks_.size()), ignored);
  acks_.clear();
}

void CFrameBuffer::WriteSyn(uint16_t number, uint32_t& err, bool* lower_failed) {
  uint8_t frame[kSynFrameSize];
  PutU16(frame + kFrameOffBody, kProtocolV3);
  PutU16(frame + kFrameOffBody + 2, kSynBlockVersion);
  FinishFrame(frame, number, static_cast<uint16_t>(kSynFrameSize), kCtlSyn);
  const bool ok = WriteLower(kControlWriteMs, frame, kSynFrameSize, err);
  if (lower_failed) *lower_failed = !ok;
}

void CFrameBuffer::Reset() {
  if (lower_) {
    uint32_t ignored = 0;
    lower_->Flush(0, ignored);
  }
  receive_queue_.clear();
  send_queue_.clear();
  // A half-built frame belongs to the stream before the reset: sent later, it would put old bytes
  // in front of the next record.
  builder_.bytes.clear();
  rx_count_ = 0;
  ++resets_;
}

uint32_t CFrameBuffer::SearchAndDispatch() {
  uint32_t dispatched = 0;
  const uint32_t resets_before = resets_;
  uint32_t p = 0;
  for (;;) {
    // A frame longer than the buffer can ever hold is a corrupted length.
    const FrameFound found = FindFrame(rx_.data(), rx_count_, p, static_cast<uint32_t>(rx_.size()));
    p = found.start;
    if (found.length == 0) break;
    if (!found.crc_ok) {
      ++crc_failures_;
      quality_.Note(true, found.length + kFrameHeaderSize, true);
      ++p;
      continue;
    }
    const uint8_t* f = rx_.data() + p;
    const uint16_t length = found.length;
    ++dispatched;
    // Acknowledgements of the old numbering must leave before the new one starts.
    if (FrameControlCode(f) == kCtlSyn) WriteAcks();
    switch (FrameControlCode(f)) {
      case kCtlSyn: OnSyn(f, length); break;
      case kCtlData: OnData(f, length); break;
      case kCtlAck: OnAck(FrameNumber(f)); break;
      case kCtlNak: OnNak(FrameNumber(f)); break;
      default: --dispatched; break;
    }
    if (resets_ != resets_before) return dispatched;  // a SYN emptied the receive bytes
    p += length;
  }
  WriteAcks();
  if (p > 0) {
    std::memmove(rx_.data(), rx_.data() + p, rx_count_ - p);
    rx_count_ -= p;
  }
  return dispatched;
}

int32_t CFrameBuffer::Pump(int32_t timeout_ms, uint32_t& err) {
  const uint32_t deadline = clock_.Now() + static_cast<uint32_t>(NonNegative(timeout_ms));
  for (;;) {
    // Waits even with data ready for the owner: Read never pumps then, and those who wait here
    // wait for acknowledgements, which a record the owner has not read yet does not bring (a silent
    // line would otherwise be read without a pause until the deadline).
    const int32_t wait = TimeLeft(deadline);
    const uint32_t before = rx_count_;
    uint32_t count = rx_count_;
    err = 0;
    lower_->Read(wait, rx_.data(), static_cast<uint32_t>(rx_.size()), count, err);
    if (err != 0) return kFbLowerError;
    rx_count_ = std::min<uint32_t>(count, static_cast<uint32_t>(rx_.size()));
    if (rx_count_ <= before) {
      if (rx_count_ > 0 && static_cast<int32_t>(clock_.Now() - last_arrival_) > static_cast<int32_t>(kStaleDataMs))
        rx_[0] = 0;
      // A read that returned early with nothing (a port that never blocks) is tried again.
      if (wait == 0 || !clock_.PauseAfterEmptyRead(deadline)) break;
      continue;
    }
    last_arrival_ = clock_.Now();
    const uint32_t dispatched = SearchAndDispatch();
    if (dispatched > 0 || DataReady()) break;
    // A line that keeps sending garbage must not hold the caller past its time-out.
    if (TickReached(clock_.Now(), deadline)) break;
  }

  for (CFrameItem& item : receive_queue_) {
    if (item.filled || !Overdue(item.stamp)) continue;
    item.stamp = Stamp();
    bool failed = false;
    WriteControl(kCtlNak, ItemNumber(item), err, &failed);
    if (failed) return kFbLowerError;
    break;
  }
  return kFbDone;
}

// The receive queue holds consecutive numbers from its front on, so a number maps to an index.
CFrameItem* CFrameBuffer::FindReceived(uint16_t number) {
  if (receive_queue_.empty()) return nullptr;
  const uint16_t index = static_cast<uint16_t>(number - ItemNumber(receive_queue_.front()));
  return index < receive_queue_.size() ? &receive_queue_[index] : nullptr;
}

void CFrameBuffer::OnData(const uint8_t* f, uint16_t length) {
  const uint16_t number = FrameNumber(f);
  CFrameItem* held = FindReceived(number);
  const uint16_t first_new = receive_queue_.empty() ? next_expected_
                                                    : static_cast<uint16_t>(ItemNumber(receive_queue_.back()) + 1);
  if (held == nullptr && !FrameNumberBefore(number, next_expected_) &&
      receive_queue_.size() + static_cast<uint16_t>(number - first_new) + 1 > kMaxReceiveQueue) {
    return;
  }
  const size_t at = acks_.size();
  acks_.resize(at + kFrameHeaderSize);
  FinishFrame(acks_.data() + at, number, static_cast<uint16_t>(kFrameHeaderSize), kCtlAck);

  if (held != nullptr) {
    quality_.Note(held->filled, length + kFrameHeaderSize);
    if (held->filled) return;  // duplicate
    held->bytes.assign(f, f + length);
    held->filled = true;
    held->read_offset = static_cast<uint16_t>(kFrameHeaderSize);
    return;
  }
  if (FrameNumberBefore(number, next_expected_)) {
    quality_.Note(true, length + kFrameHeaderSize);
    return;  // already delivered
  }
  quality_.Note(false, length + kFrameHeaderSize);

  for (uint16_t gap = first_new; gap != number; ++gap) receive_queue_.push_back(Placeholder(gap));
  CFrameItem item;
  item.bytes.assign(f, f + length);
  item.filled = true;
  item.read_offset = static_cast<uint16_t>(kFrameHeaderSize);
  receive_queue_.push_back(std::move(item));
  next_expected_ = static_cast<uint16_t>(number + 1);
}

void CFrameBuffer::OnAck(uint16_t number) {
  for (auto it = send_queue_.begin(); it != send_queue_.end(); ++it) {
    if (ItemNumber(*it) != number) continue;
    // The peer cannot hold a frame that never left: the number is from an older session, and its
    // "delay" would be meaningless for the time-out.
    if (it->stamp == 0) return;
    const uint32_t delay = clock_.Now() - it->stamp;
    const uint32_t order = it->sent_order;
    if (it->sends == 1) {
      delay_max_ms_ = std::max(delay, delay_max_ms_ - delay_max_ms_ / 8);
      if (it->bytes.size() >= frame_limit_ / 2) NoteCleanDelivery();
    }
    send_queue_.erase(it);
    // The line keeps order, so a frame that left before this one and is still unacknowledged was
    // lost, or its ACK was: it goes again now instead of holding the window for a time-out.
    for (CFrameItem& earlier : send_queue_) {
      if (earlier.sends > 0 && SentBefore(earlier.sent_order, order)) Resend(earlier);
    }
    if (++ack_samples_ == 0) ack_samples_ = 1;
    const double samples = ack_samples_;
    const double averaged = ((samples - 1.0) * retransmit_ms_ + 3.0 * delay) / samples;
    const double clamped = std::clamp(averaged, static_cast<double>(kMinRetransmitMs),
                                      static_cast<double>(kMaxRetransmitMs));
    retransmit_ms_ = static_cast<uint32_t>(clamped);
    return;
  }
  // A second ACK of a frame already acknowledged: both its copies arrived, so one went again too
  // early. The line is slower than the recent delays said (a queue on a paced line grows with
  // every copy); without this, copies lengthen the queue, every ACK comes late and every frame
  // goes twice. Repeats wait twice as long from now on, and clean deliveries bring it down again.
  const uint16_t behind = static_cast<uint16_t>(next_outgoing_ - number);
  if (behind > 0 && behind <= kSpuriousAckSpan && delay_max_ms_ > 0)
    delay_max_ms_ = std::min(2 * delay_max_ms_, kMaxRetransmitMs);
}

void CFrameBuffer::OnNak(uint16_t number) {
  for (CFrameItem& item : send_queue_) {
    if (ItemNumber(item) != number) continue;
    if (item.sends > 1 && static_cast<int32_t>(clock_.Now() - item.stamp) < static_cast<int32_t>(RepeatWait(item)))
      return;
    Resend(item);
    return;
  }
}

bool CFrameBuffer::Transmit(int32_t timeout_ms, CFrameItem& item, uint32_t& err, bool& whole) {
  const bool ok = WriteLower(timeout_ms, item.bytes.data(), static_cast<uint32_t>(item.bytes.size()), err, &whole);
  if (whole) {
    item.stamp = Stamp();
    item.sent_order = ++sent_order_;
    ++item.sends;
  }
  return ok;
}

void CFrameBuffer::Resend(CFrameItem& item) {
  uint32_t ignored = 0;
  bool whole = false;
  if (item.sends > 0) ++retransmissions_;
  item.lost = true;
  NoteLoss(static_cast<uint32_t>(item.bytes.size()));
  Transmit(kControlWriteMs, item, ignored, whole);
  quality_.Note(true, static_cast<uint32_t>(item.bytes.size()) + kFrameHeaderSize);
}

// Only a NAK or an acknowledgement out of order shrinks frames: a retransmission time-out alone
// may be a slow peer, which smaller frames would not help.
void CFrameBuffer::NoteLoss(uint32_t lost_length) {
  clean_run_ = 0;
  const uint32_t floor = std::min(kV3SmallestFrame, max_frame_);
  frame_limit_ = std::min(frame_limit_, std::max(floor, lost_length / 2));
}

void CFrameBuffer::NoteCleanDelivery() {
  const uint32_t floor = std::min(kV3SmallestFrame, max_frame_);
  if (frame_limit_ >= max_frame_ || ++clean_run_ < kV3CleanFramesToGrow * std::max(1u, frame_limit_ / floor)) return;
  clean_run_ = 0;
  frame_limit_ = std::min(max_frame_, frame_limit_ * 2);
}

void CFrameBuffer::OnSyn(const uint8_t* f, uint16_t length) {
  // Without both version fields it is not a handshake this side understands.
  if (length < kSynFrameSize) return;
  const uint16_t number = FrameNumber(f);
  const uint16_t version = GetU16(f + kFrameOffBody);
  const uint16_t syn_block = GetU16(f + kFrameOffBody + 2);
  ++peer_syns_;
  if (!send_queue_.empty() || BuilderBodyBytes() > 0) output_dropped_ = true;
  // The peer numbers its side afresh and expects ours to follow: until our own handshake it would
  // take our next frames for a gap it can never fill.
  if (initiator_ && !in_handshake_) resync_pending_ = true;
  Reset();
  peer_version_ = version;
  peer_syn_block_ = syn_block;
  next_expected_ = static_cast<uint16_t>(number + 1);
  if (!initiator_) {
    uint32_t ignored = 0;
    WriteSyn(number, ignored, nullptr);
    next_outgoing_ = static_cast<uint16_t>(number + 1);
  }
}

void CFrameBuffer::QueueBuilder() {
  // Frames may have shrunk since the builder was filled: it leaves in pieces of the frame size now.
  const uint32_t body_max = std::max(frame_limit_, kFrameHeaderSize + 1) - kFrameHeaderSize;
  const uint32_t end = static_cast<uint32_t>(builder_.bytes.size());
  for (uint32_t offset = kFrameHeaderSize; offset < end;) {
    const uint32_t n = std::min(body_max, end - offset);
    CFrameItem item;
    item.bytes.resize(kFrameHeaderSize + n);
    std::memcpy(item.bytes.data() + kFrameHeaderSize, builder_.bytes.data() + offset, n);
    FinishFrame(item.bytes.data(), next_outgoing_++, static_cast<uint16_t>(item.bytes.size()), kCtlData);
    item.filled = true;
    item.stamp = 0;
    send_queue_.push_back(std::move(item));
    offset += n;
  }
  builder_.bytes.clear();
}

int32_t CFrameBuffer::Send(int32_t timeout_ms, bool force, uint32_t& err) {
  const uint32_t deadline = clock_.Now() + static_cast<uint32_t>(NonNegative(timeout_ms));
  if (BuilderBodyBytes() > 0) {
    const bool full = builder_.bytes.size() >= frame_limit_;
    const bool aged = static_cast<int32_t>(clock_.Now() - builder_last_append_) > static_cast<int32_t>(kCoalesceMs);
    if (force || full || aged) QueueBuilder();
  }
  // Only frames inside the window leave: a long record queues many frames at once, and sent (and
  // retransmitted) in one burst they outrun the peer until nothing gets through.
  const uint16_t limit = send_queue_.empty()
                             ? 0
                             : static_cast<uint16_t>(ItemNumber(send_queue_.front()) + std::max(window_, 1u));
  burst_.clear();
  due_.clear();
  for (CFrameItem& item : send_queue_) {
    if (!FrameNumberBefore(ItemNumber(item), limit)) break;
    if (!Due(item)) continue;
    quality_.Note(item.stamp != 0, static_cast<uint32_t>(item.bytes.size()) + kFrameHeaderSize);
    burst_.insert(burst_.end(), item.bytes.begin(), item.bytes.end());
    due_.push_back(&item);
  }
  if (burst_.empty()) return kFbDone;
  // One write for every frame due: a write per frame wakes the peer once per frame.
  err = 0;
  const int32_t sent = lower_->Write(TimeLeft(deadline), burst_.data(), static_cast<uint32_t>(burst_.size()), err);
  // A frame cut short at the deadline cannot have reached the peer, so it stays due.
  size_t end = 0;
  for (CFrameItem* item : due_) {
    end += item->bytes.size();
    if (sent < 0 || static_cast<size_t>(sent) < end) break;
    if (item->sends > 0) ++retransmissions_;
    item->stamp = Stamp();
    item->sent_order = ++sent_order_;
    ++item->sends;
  }
  return err == 0 ? kFbDone : kFbLowerError;
}

bool CFrameBuffer::WindowOpen() const {
  if (send_queue_.empty()) return true;
  const uint16_t limit = static_cast<uint16_t>(ItemNumber(send_queue_.front()) + window_);
  return FrameNumberBefore(next_outgoing_, limit);
}

int32_t CFrameBuffer::WaitForWindow(int32_t timeout_ms, uint32_t& err) {
  const uint32_t deadline = clock_.Now() + static_cast<uint32_t>(NonNegative(timeout_ms));
  if (Pump(0, err) != kFbDone) return kFbLowerError;
  for (;;) {
    if (Send(TimeLeft(deadline), false, err) != kFbDone) return kFbLowerError;
    if (WindowOpen()) return kFbDone;
    if (TickReached(clock_.Now(), deadline)) return kFbTimeout;
    if (Pump(std::min(TimeLeft(deadline), kPollSliceMs), err) != kFbDone) return kFbLowerError;
  }
}

int32_t CFrameBuffer::Read(int32_t timeout_ms, uint8_t* buffer, uint32_t size, uint32_t& count, uint32_t& err) {
  if (!lower_ || !buffer) return 0;
  const uint32_t deadline = clock_.Now() + static_cast<uint32_t>(NonNegative(timeout_ms));
  if (!DataReady()) {
    if (Send(0, force_on_read_, err) != kFbDone) return kFbLowerError;
    if (Pump(TimeLeft(deadline), err) != kFbDone) return kFbLowerError;
  }
  // One byte of the caller's buffer stays free.
  const uint32_t limit = size > 0 ? size - 1 : 0;
  while (count < limit && DataReady()) {
    CFrameItem& item = receive_queue_.front();
    const uint32_t end = static_cast<uint32_t>(item.bytes.size());
    const uint32_t offset = std::min<uint32_t>(item.read_offset, end);
    const uint32_t n = std::min(end - offset, limit - count);
    std::memcpy(buffer + count, item.bytes.data() + offset, n);
    count += n;
    if (offset + n >= end) {
      receive_queue_.pop_front();
    } else {
      item.read_offset = static_cast<uint16_t>(offset + n);
    }
  }
  return kFbDone;
}

int32_t CFrameBuffer::Write(int32_t timeout_ms, const uint8_t* data, uint32_t length, uint32_t& err) {
  if (!lower_ || (!data && length > 0)) return 0;
  // Unconfigured: no frame could carry a single byte.
  if (max_frame_ <= kFrameHeaderSize) return 0;
  const uint32_t deadline = clock_.Now() + static_cast<uint32_t>(NonNegative(timeout_ms));
  const int32_t resynced = ResyncIfRestarted(deadline, err);
  if (resynced != kFbDone) return resynced;
  if (TakeOutputDropped()) return kFbPeerRestarted;
  const int32_t r = WaitForWindow(TimeLeft(deadline), err);
  if (r != kFbDone) return r;
  // The wait may have read the peer's restart: our side is renumbered before the data goes in, or
  // that handshake would drop it unreported.
  if (length > 0) {
    const int32_t renumbered = ResyncIfRestarted(deadline, err);
    if (renumbered != kFbDone) return renumbered;
  }
  uint32_t offset = 0;
  while (offset < length) {
    if (builder_.bytes.empty()) GrowItem(builder_, kFrameHeaderSize);
    const uint32_t held = static_cast<uint32_t>(builder_.bytes.size());
    if (held >= frame_limit_) {
      QueueBuilder();
      continue;
    }
    const uint32_t n = std::min(frame_limit_ - held, length - offset);
    builder_.bytes.insert(builder_.bytes.end(), data + offset, data + offset + n);
    builder_last_append_ = clock_.Now();
    offset += n;
    if (builder_.bytes.size() >= frame_limit_) QueueBuilder();
  }
  if (streaming_) return Send(0, false, err);
  return WaitForWindow(TimeLeft(deadline), err);
}

int32_t CFrameBuffer::Flush(int32_t timeout_ms, uint32_t& err) {
  if (!lower_) return 0;
  const uint32_t deadline = clock_.Now() + static_cast<uint32_t>(NonNegative(timeout_ms));
  const int32_t resynced = ResyncIfRestarted(deadline, err);
  if (resynced != kFbDone) return resynced;
  if (TakeOutputDropped()) return kFbPeerRestarted;
  if (Send(TimeLeft(deadline), true, err) != kFbDone) return kFbLowerError;
  if (TickReached(clock_.Now(), deadline)) return kFbTimeout;
  // The first look never waits, so a flush with nothing outstanding costs no time.
  for (int32_t wait = 0;; wait = std::min(TimeLeft(deadline), kPollSliceMs)) {
    if (Pump(wait, err) != kFbDone) return kFbLowerError;
    // A restart of the peer empties the queue by dropping what it held, which is no delivery.
    if (TakeOutputDropped()) return kFbPeerRestarted;
    if (Send(TimeLeft(deadline), false, err) != kFbDone) return kFbLowerError;
    const bool gap_open = std::any_of(receive_queue_.begin(), receive_queue_.end(),
                                      [](const CFrameItem& item) { return !item.filled; });
    if (send_queue_.empty() && !gap_open) return kFbDone;
    if (TickReached(clock_.Now(), deadline)) return kFbTimeout;
  }
}

int32_t CFrameBuffer::Handshake(uint32_t deadline, uint32_t& err) {
  Reset();
  peer_syn_block_ = 0;
  next_outgoing_ = 1;
  in_handshake_ = true;
  bool failed = false;
  WriteSyn(next_outgoing_++, err, &failed);
  int32_t result = failed ? kFbLowerError : 0;
  while (!failed) {
    const int32_t slice = std::min(TimeLeft(deadline), static_cast<int32_t>(kSyncSliceMs));
    if (Pump(slice, err) != kFbDone) {
      result = kFbLowerError;
      break;
    }
    if (peer_syn_block_ != 0) {
      Reset();
      resync_pending_ = false;
      result = kFbDone;
      break;
    }
    if (TickReached(clock_.Now(), deadline)) break;
  }
  in_handshake_ = false;
  return result;
}

int32_t CFrameBuffer::ResyncIfRestarted(uint32_t deadline, uint32_t& err) {
  if (!resync_pending_) return kFbDone;
  const int32_t r = Handshake(deadline, err);
  // The loss is reported once, even when the handshake has to be tried again by the next call.
  if (TakeOutputDropped()) return kFbPeerRestarted;
  if (r == kFbDone) return kFbDone;
  return r == kFbLowerError ? kFbLowerError : kFbTimeout;
}

int32_t CFrameBuffer::Sync(int32_t timeout_ms, uint16_t& peer_version, uint32_t& err) {
  if (!lower_) return 0;
  const uint32_t deadline = clock_.Now() + static_cast<uint32_t>(NonNegative(timeout_ms));
  output_dropped_ = false;
  if (Handshake(deadline, err) != kFbDone) return 0;
  peer_version = peer_version_;
  return kFbDone;
}

}  // namespace korvane
