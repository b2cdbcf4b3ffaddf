#include "memory_block_line.h"

#include <algorithm>
#include <cstring>

#include "platform/errors.h"

namespace korvane::test {

MemoryBlockLine::MemoryBlockLine(ManualClock& clock) : clock_(clock) {
  // A device as it comes: binary, distinct flow-control characters.
  state_.baud_rate = 9600;
  state_.binary = true;
  state_.byte_size = 8;
  state_.xon_char = kSerialXonChar;
  state_.xoff_char = kSerialXoffChar;
}

bool MemoryBlockLine::Failing(Call call) {
  const int i = static_cast<int>(call);
  if (++calls_[i] != fail_at_[i]) return false;
  last_error_ = kErrInvalidParameter;
  return true;
}

bool MemoryBlockLine::SetTimeouts(const SerialTimeouts& t) {
  if (Failing(Call::kSetTimeouts)) return false;
  current_ = t;
  if (timeouts_.empty() || std::memcmp(&timeouts_.back(), &t, sizeof t) != 0) timeouts_.push_back(t);
  return true;
}

bool MemoryBlockLine::SetState(const SerialLineState& s) {
  if (Failing(Call::kSetState)) return false;
  SerialLineState applied = s;
  if (!s.from_zero) {
    applied.xon_char = state_.xon_char;
    applied.xoff_char = state_.xoff_char;
  }
  // What a driver refuses: SetCommState fails on these and the line keeps its old state.
  if (!applied.binary || applied.xon_char == applied.xoff_char) {
    last_error_ = kErrInvalidParameter;
    return false;
  }
  state_ = applied;
  states_.push_back(applied);
  return true;
}

bool MemoryBlockLine::Read(uint8_t* buffer, uint32_t size, uint32_t& done) {
  done = 0;
  if (Failing(Call::kRead)) return false;
  if (failing_reads_ > 0) {
    --failing_reads_;
    pending_flags_ = fail_flags_;
    return false;
  }
  if (incoming_.empty() || hold_reads_) {
    clock_.Advance(current_.read_multiplier == kMaxDword ? current_.read_constant
                                                         : current_.read_constant + current_.read_multiplier * size);
    if (incoming_.empty()) return true;
  }
  done = static_cast<uint32_t>(std::min<size_t>(size, incoming_.size()));
  std::copy_n(incoming_.begin(), done, buffer);
  incoming_.erase(incoming_.begin(), incoming_.begin() + done);
  return true;
}

bool MemoryBlockLine::Write(const uint8_t* data, uint32_t size, uint32_t& done) {
  done = 0;
  if (Failing(Call::kWrite)) return false;
  writes_.emplace_back(data, data + size);
  done = size;
  if (peer_) peer_(writes_.back(), *this);
  return true;
}

bool MemoryBlockLine::PurgeAll() {
  ++purges_;
  incoming_.clear();
  return true;
}

uint32_t MemoryBlockLine::ClearError() {
  const uint32_t flags = pending_flags_;
  pending_flags_ = 0;
  return flags;
}

}  // namespace korvane::test
