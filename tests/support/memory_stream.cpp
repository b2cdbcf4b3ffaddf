#include "support/memory_stream.h"

#include <algorithm>
#include <chrono>

namespace korvane::test {

int32_t ScriptedStream::Read(int32_t timeout_ms, uint8_t* buffer, uint32_t size, uint32_t& count, uint32_t& err) {
  ++reads_;
  read_waits_.push_back(timeout_ms);
  if (read_error_ != 0) {
    err = read_error_;
    read_error_ = 0;
    return static_cast<int32_t>(count);
  }
  err = 0;
  uint32_t room = size > count ? size - count : 0;
  if (read_chunk_ > 0) room = std::min(room, read_chunk_);
  const uint32_t n = std::min<uint32_t>(room, static_cast<uint32_t>(incoming_.size()));
  if (n == 0) {
    if (clock_) clock_->Advance(std::max(timeout_ms > 0 ? static_cast<uint32_t>(timeout_ms) : 0u, empty_read_cost_));
    return static_cast<int32_t>(count);
  }
  std::copy_n(incoming_.begin(), n, buffer + count);
  incoming_.erase(incoming_.begin(), incoming_.begin() + n);
  count += n;
  return static_cast<int32_t>(count);
}

int32_t ScriptedStream::Write(int32_t, const uint8_t* data, uint32_t length, uint32_t& err) {
  if (write_error_ != 0) {
    err = write_error_;
    return 0;
  }
  err = 0;
  if (write_cut_ && write_cut_ < length) length = write_cut_;
  writes_.emplace_back(data, data + length);
  if (on_write_) on_write_(writes_.back());
  return static_cast<int32_t>(length);
}

int32_t ScriptedStream::Flush(int32_t, uint32_t& err) {
  err = 0;
  ++flushes_;
  if (purge_on_flush_) incoming_.clear();
  return 1;
}

MemoryPipe::MemoryPipe(ManualClock* clock) : clock_(clock) {
  for (int side = 0; side < 2; ++side) {
    ends_[side].pipe = this;
    ends_[side].side = side;
  }
}

void MemoryPipe::SetTransform(std::function<Bytes(int, const Bytes&)> transform) {
  std::lock_guard<std::mutex> lock(mutex_);
  transform_ = std::move(transform);
}

size_t MemoryPipe::Pending(int side) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return queue_[side].size();
}

uint64_t MemoryPipe::BytesWritten(int side) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return written_[side];
}

int32_t MemoryPipe::EndStream::Read(int32_t timeout_ms, uint8_t* buffer, uint32_t size, uint32_t& count,
                                    uint32_t& err) {
  err = 0;
  std::unique_lock<std::mutex> lock(pipe->mutex_);
  std::deque<uint8_t>& q = pipe->queue_[side];
  if (q.empty() && timeout_ms > 0) {
    if (pipe->clock_) {
      pipe->clock_->Advance(static_cast<uint32_t>(timeout_ms));
    } else {
      pipe->arrived_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return !q.empty(); });
    }
  }
  const uint32_t room = size > count ? size - count : 0;
  const uint32_t n = std::min<uint32_t>(room, static_cast<uint32_t>(q.size()));
  std::copy_n(q.begin(), n, buffer + count);
  q.erase(q.begin(), q.begin() + n);
  count += n;
  return static_cast<int32_t>(count);
}

int32_t MemoryPipe::EndStream::Write(int32_t, const uint8_t* data, uint32_t length, uint32_t& err) {
  err = 0;
  std::lock_guard<std::mutex> lock(pipe->mutex_);
  Bytes bytes(data, data + length);
  if (pipe->transform_) bytes = pipe->transform_(side, bytes);
  std::deque<uint8_t>& q = pipe->queue_[1 - side];
  q.insert(q.end(), bytes.begin(), bytes.end());
  pipe->written_[side] += length;
  pipe->arrived_.notify_all();
  return static_cast<int32_t>(length);
}

// A purge drops what this end has not read yet.
int32_t MemoryPipe::EndStream::Flush(int32_t, uint32_t& err) {
  err = 0;
  std::lock_guard<std::mutex> lock(pipe->mutex_);
  pipe->queue_[side].clear();
  return 1;
}

}  // namespace korvane::test
