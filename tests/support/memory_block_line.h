// An in-memory serial line for the block protocol: what the code under test writes goes to a
// scripted peer that queues answer bytes; a read that finds nothing moves the manual clock by its
// time-out, so silence costs no real time. Records every write, time-out and line state. Refuses a
// line state as a driver does (not binary, or equal XON and XOFF), and any call can be made to fail.
#pragma once
#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

#include "legacy/block_line.h"
#include "platform/ticks.h"

namespace korvane::test {

class MemoryBlockLine final : public BlockLine {
 public:
  using Peer = std::function<void(const std::vector<uint8_t>& written, MemoryBlockLine& line)>;
  explicit MemoryBlockLine(ManualClock& clock);

  // The calls a test can make fail; the failure gives kErrInvalidParameter.
  enum class Call { kSetupQueues, kSetTimeouts, kSetState, kRead, kWrite, kCount };
  // The `nth` (from 1) call of `call` from now on fails.
  void FailCall(Call call, int nth) { fail_at_[static_cast<int>(call)] = calls_[static_cast<int>(call)] + nth; }
  // The state the device has before anyone sets one (not recorded).
  void SetDeviceState(const SerialLineState& s) { state_ = s; }

  void SetPeer(Peer peer) { peer_ = std::move(peer); }
  void Answer(const std::vector<uint8_t>& bytes) { incoming_.insert(incoming_.end(), bytes.begin(), bytes.end()); }
  // The next `reads` reads fail and ClearError then gives `flags`.
  void FailReads(int reads, uint32_t flags) {
    failing_reads_ = reads;
    fail_flags_ = flags;
  }

  // Every read waits its whole time-out, bytes there or not (as Wine's serial reads do).
  void HoldReadsForTimeout(bool on) { hold_reads_ = on; }

  const std::vector<std::vector<uint8_t>>& Writes() const { return writes_; }
  const std::vector<SerialTimeouts>& TimeoutHistory() const { return timeouts_; }
  const std::vector<SerialLineState>& StateHistory() const { return states_; }
  const SerialLineState& State() const { return state_; }
  int Purges() const { return purges_; }
  int InputPurges() const { return input_purges_; }
  uint32_t QueueIn() const { return queue_in_; }
  bool Dtr() const { return dtr_; }

  bool SetupQueues(uint32_t in_bytes, uint32_t) override {
    if (Failing(Call::kSetupQueues)) return false;
    queue_in_ = in_bytes;
    return true;
  }
  bool SetTimeouts(const SerialTimeouts& t) override;
  bool GetState(SerialLineState& s) override {
    s = state_;
    return true;
  }
  bool SetState(const SerialLineState& s) override;
  bool Read(uint8_t* buffer, uint32_t size, uint32_t& done) override;
  bool Write(const uint8_t* data, uint32_t size, uint32_t& done) override;
  bool PurgeAll() override;
  bool PurgeInput() override {
    ++input_purges_;
    incoming_.clear();
    return true;
  }
  uint32_t ClearError() override;
  bool SetDtr(bool on) override {
    dtr_ = on;
    return true;
  }
  uint32_t LastError() const override { return last_error_; }

 private:
  bool Failing(Call call);
  ManualClock& clock_;
  Peer peer_;
  std::deque<uint8_t> incoming_;
  std::vector<std::vector<uint8_t>> writes_;
  std::vector<SerialTimeouts> timeouts_;
  std::vector<SerialLineState> states_;
  SerialTimeouts current_{};
  SerialLineState state_{};
  int purges_ = 0;
  int input_purges_ = 0;
  int failing_reads_ = 0;
  uint32_t fail_flags_ = 0;
  uint32_t pending_flags_ = 0;
  uint32_t queue_in_ = 0;
  bool dtr_ = false;
  bool hold_reads_ = false;
  uint32_t last_error_ = 0;
  int calls_[static_cast<int>(Call::kCount)] = {};
  int fail_at_[static_cast<int>(Call::kCount)] = {};
};

}  // namespace korvane::test
