#include "memory_block_line.h"

#include <algorithm>
#include <cstring>

namespace korvane::test {

bool MemoryBlockLine::SetTimeouts(const SerialTimeouts& t) {
  current_ = t;
  if (timeouts_.empty() || std::memcmp(&timeouts_.back(), &t, sizeof t) != 0) timeouts_.push_back(t);
  return true;
}

bool MemoryBlockLine::SetState(const SerialLineState& s) {
  state_ = s;
  states_.push_back(s);
  return true;
}

bool MemoryBlockLine::Read(uint8_t* buffer, uint32_t size, uint32_t& done) {
  done = 0;
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
