#include "support/memory_port.h"

namespace korvane::test {

void MemoryPort::Answer(const uint8_t* data, size_t size) {
  if (dropping_) return;
  for (size_t i = 0; i < size; ++i) {
    uint8_t b = data[i];
    if (corrupting_ && i == corrupt_at_) b ^= 0x5A;
    incoming_.push_back(b);
  }
}

uint32_t MemoryPort::Send(const uint8_t* data, uint32_t length, int32_t, uint32_t& err) {
  writes_.emplace_back(data, data + length);
  write_times_.push_back(clock_ ? clock_->Now() : 0);
  if (send_error_) {
    err = send_error_;
    return 0;
  }
  err = 0;
  if (send_cut_ && send_cut_ < length) return send_cut_;
  dropping_ = drop_answers_ > 0;
  if (dropping_) --drop_answers_;
  corrupting_ = !corrupt_offsets_.empty();
  if (corrupting_) {
    corrupt_at_ = corrupt_offsets_.front();
    corrupt_offsets_.erase(corrupt_offsets_.begin());
  }
  if (peer_) peer_(writes_.back(), *this);
  dropping_ = false;
  corrupting_ = false;
  return length;
}

uint32_t MemoryPort::ReadMore(uint8_t* buffer, uint32_t count, uint32_t capacity, int32_t timeout_ms, uint32_t& err) {
  err = 0;
  if (incoming_.empty()) {
    if (clock_ && timeout_ms > 0) clock_->Advance(static_cast<uint32_t>(timeout_ms));
    return count;
  }
  uint32_t room = capacity - count;
  if (read_limit_ && room > read_limit_) room = read_limit_;
  while (room-- && !incoming_.empty()) {
    buffer[count++] = incoming_.front();
    incoming_.pop_front();
  }
  return count;
}

void MemoryPort::Purge() {
  ++purges_;
  incoming_.clear();
}

TsPort* MakeMemoryTsPort(ManualClock& clock, MemoryPort*& device) {
  auto dev = std::make_unique<MemoryPort>(&clock);
  device = dev.get();
  TsPort* port = tsAdoptPort(LvlAdopt(std::move(dev), Serial));
  port->clock = &clock;
  return port;
}

MemoryPort::Peer ResponderPeer(V2Responder& responder) {
  return [&responder](const std::vector<uint8_t>& written, MemoryPort& port) {
    responder.Feed(written.data(), written.size());
    port.Answer(responder.TakeOutput());
  };
}

}  // namespace korvane::test
