// An in-memory port for the frame-protocol tests: what the code under test writes goes to a
// scripted peer, which queues answer bytes; reads hand those out, and when there are none the
// manual clock jumps by the read's time-out, so waiting costs no real time.
#pragma once
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <vector>

#include "frame/ts_port.h"
#include "platform/ticks.h"
#include "port/link_port.h"
#include "terminal/v2_responder.h"

namespace korvane::test {

class MemoryPort final : public PortDevice {
 public:
  // Called with every write; answers go back through Answer().
  using Peer = std::function<void(const std::vector<uint8_t>& written, MemoryPort& port)>;

  explicit MemoryPort(ManualClock* clock) : clock_(clock) {}

  void SetPeer(Peer peer) { peer_ = std::move(peer); }
  void Answer(const uint8_t* data, size_t size);
  void Answer(const std::vector<uint8_t>& bytes) { Answer(bytes.data(), bytes.size()); }

  // Faults applied to what the peer answers to the next writes.
  void DropAnswers(int writes) { drop_answers_ += writes; }
  void CorruptNextAnswer(size_t byte_offset) { corrupt_offsets_.push_back(byte_offset); }
  // Sends fail with this error (0: they succeed).
  void FailSends(uint32_t err) { send_error_ = err; }
  // Sends stop after this many bytes without an error, as a send cut at its deadline (0: whole).
  void CutSends(uint32_t bytes) { send_cut_ = bytes; }
  // At most this many bytes per read (0: no limit), to exercise answers that arrive in pieces.
  void LimitReads(uint32_t bytes) { read_limit_ = bytes; }

  const std::vector<std::vector<uint8_t>>& writes() const { return writes_; }
  const std::vector<uint32_t>& write_times() const { return write_times_; }
  int purges() const { return purges_; }
  size_t pending() const { return incoming_.size(); }
  bool closed() const { return closed_; }

  bool HasHandle() const override { return !closed_; }
  uint32_t Send(const uint8_t* data, uint32_t length, int32_t timeout_ms, uint32_t& err) override;
  uint32_t ReadMore(uint8_t* buffer, uint32_t count, uint32_t capacity, int32_t timeout_ms, uint32_t& err) override;
  void Purge() override;
  void Close() override { closed_ = true; }

 private:
  ManualClock* clock_;
  Peer peer_;
  std::deque<uint8_t> incoming_;
  std::vector<std::vector<uint8_t>> writes_;
  std::vector<uint32_t> write_times_;
  int purges_ = 0;
  int drop_answers_ = 0;
  bool dropping_ = false;
  std::vector<size_t> corrupt_offsets_;
  bool corrupting_ = false;
  size_t corrupt_at_ = 0;
  uint32_t send_error_ = 0;
  uint32_t send_cut_ = 0;
  uint32_t read_limit_ = 0;
  bool closed_ = false;
};

// A TsPort over a fresh MemoryPort on `clock`; `device` gets the port for scripting.
TsPort* MakeMemoryTsPort(ManualClock& clock, MemoryPort*& device);

// A peer that plays the terminal with `responder`.
MemoryPort::Peer ResponderPeer(V2Responder& responder);

}  // namespace korvane::test
