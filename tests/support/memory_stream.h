// In-memory byte streams for tests of anything written against _tag_ReadWriteStream.
#pragma once
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <vector>

#include "frame/read_write_stream.h"
#include "platform/ticks.h"

namespace korvane::test {

using Bytes = std::vector<uint8_t>;

// A lower stream played by the test: incoming bytes are fed by hand, every Write is recorded as
// one entry, and a read that finds nothing advances the manual clock by its time-out, as a
// blocking read would have taken that long.
class ScriptedStream final : public _tag_ReadWriteStream {
 public:
  explicit ScriptedStream(ManualClock* clock = nullptr) : clock_(clock) {}

  void Feed(const Bytes& bytes) { incoming_.insert(incoming_.end(), bytes.begin(), bytes.end()); }
  // At most this many bytes per Read (0: no limit), to split frames across reads.
  void SetReadChunk(uint32_t bytes) { read_chunk_ = bytes; }
  // The next Read / every Write fails with `err` (0 clears).
  void FailNextRead(uint32_t err) { read_error_ = err; }
  void FailWrites(uint32_t err) { write_error_ = err; }
  // Every Write stops after this many bytes without an error (0: whole), as a send cut at its deadline.
  void CutWrites(uint32_t bytes) { write_cut_ = bytes; }
  // Called after each recorded Write with the written bytes; the test can Feed an answer.
  void OnWrite(std::function<void(const Bytes&)> hook) { on_write_ = std::move(hook); }
  // Flush drops unread input, as a port purge does; set false to keep it.
  void SetPurgeOnFlush(bool purge) { purge_on_flush_ = purge; }
  // A read that finds nothing takes at least this long even when told not to wait, as on a port
  // whose reads never block under a clock that runs (0: no time at all).
  void SetEmptyReadCost(uint32_t ms) { empty_read_cost_ = ms; }

  const std::vector<Bytes>& Writes() const { return writes_; }
  void ClearWrites() { writes_.clear(); }
  size_t Pending() const { return incoming_.size(); }
  uint32_t Flushes() const { return flushes_; }
  uint32_t Reads() const { return reads_; }
  // Waits passed to Read, in call order.
  const std::vector<int32_t>& ReadWaits() const { return read_waits_; }

  int32_t Read(int32_t timeout_ms, uint8_t* buffer, uint32_t size, uint32_t& count, uint32_t& err) override;
  int32_t Write(int32_t timeout_ms, const uint8_t* data, uint32_t length, uint32_t& err) override;
  int32_t Flush(int32_t timeout_ms, uint32_t& err) override;

 private:
  ManualClock* clock_;
  std::deque<uint8_t> incoming_;
  uint32_t read_chunk_ = 0;
  uint32_t read_error_ = 0;
  uint32_t write_error_ = 0;
  uint32_t write_cut_ = 0;
  bool purge_on_flush_ = true;
  uint32_t empty_read_cost_ = 0;
  std::function<void(const Bytes&)> on_write_;
  std::vector<Bytes> writes_;
  std::vector<int32_t> read_waits_;
  uint32_t flushes_ = 0;
  uint32_t reads_ = 0;
};

// Two connected ends: what one end writes, the other reads. Thread-safe. With a manual clock, a
// read that finds nothing advances the clock by its time-out instead of waiting; without one it
// waits in real time. A transform hook sees every write and may alter or drop bytes in transit.
class MemoryPipe {
 public:
  explicit MemoryPipe(ManualClock* clock = nullptr);
  MemoryPipe(const MemoryPipe&) = delete;
  MemoryPipe& operator=(const MemoryPipe&) = delete;

  // side 0 or 1.
  _tag_ReadWriteStream& End(int side) { return ends_[side]; }
  // Called under the pipe's lock with the writing side and the bytes; returns what travels.
  void SetTransform(std::function<Bytes(int side, const Bytes&)> transform);
  size_t Pending(int side) const;  // bytes waiting to be read by `side`
  uint64_t BytesWritten(int side) const;

 private:
  class EndStream final : public _tag_ReadWriteStream {
   public:
    MemoryPipe* pipe = nullptr;
    int side = 0;
    int32_t Read(int32_t timeout_ms, uint8_t* buffer, uint32_t size, uint32_t& count, uint32_t& err) override;
    int32_t Write(int32_t timeout_ms, const uint8_t* data, uint32_t length, uint32_t& err) override;
    int32_t Flush(int32_t timeout_ms, uint32_t& err) override;
  };

  ManualClock* clock_;
  mutable std::mutex mutex_;
  std::condition_variable arrived_;
  std::deque<uint8_t> queue_[2];  // bytes waiting for side i
  uint64_t written_[2] = {0, 0};
  std::function<Bytes(int, const Bytes&)> transform_;
  EndStream ends_[2];
};

}  // namespace korvane::test
