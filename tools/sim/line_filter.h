// A simulated line between the library and the terminal side: seeded byte corruption and drops
// in both directions, an outage window, a terminal that falls silent after some frames, a reaction
// delay, and pacing to a serial line's byte rate with a one-way latency. Sits between the
// transport and the protocol engine as a PortDevice, so the engines never know it is there.
#pragma once
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <random>
#include <vector>

#include "port/link_port.h"
#include "transport.h"

namespace korvane::sim {

struct LineFaults {
  uint64_t seed = 1;
  double corrupt = 0;         // probability per byte, each direction
  double drop = 0;            // likewise
  uint32_t delay_ms = 0;      // the terminal's reaction time before each write
  int64_t outage_at_ms = -1;  // from the start of the session; -1: none
  uint32_t outage_len_ms = 0;
  int64_t silent_after_frames = -1;  // frames the terminal sends before it falls silent; -1: never
  uint32_t baud = 0;                 // 0: no pacing; else 8N1 (10 bits per byte)
  uint32_t latency_ms = 0;           // one way, both directions

  bool Active() const {
    return corrupt > 0 || drop > 0 || delay_ms > 0 || outage_at_ms >= 0 || silent_after_frames >= 0 || baud > 0 ||
           latency_ms > 0;
  }
};

// Counts the frames in a byte stream written in any pieces, and tells for each byte whether it
// belongs to a frame at or beyond a limit.
class FrameCounter {
 public:
  explicit FrameCounter(int64_t limit) : limit_(limit) {}
  // Keeps only the bytes of the first `limit` frames (bytes outside frames pass).
  void Filter(std::vector<uint8_t>& bytes);
  uint64_t Frames() const { return frames_; }

 private:
  int64_t limit_;
  uint64_t frames_ = 0;
  std::vector<uint8_t> header_;  // start of a frame whose length is not known yet
  uint32_t left_in_frame_ = 0;   // bytes of the current frame still to come
  bool current_silenced_ = false;
};

// What the faults do to one direction's bytes, deterministic for a seed and a byte stream.
class FaultChannel {
 public:
  using Clock = std::chrono::steady_clock;
  FaultChannel(const LineFaults& faults, uint64_t seed, Clock::time_point session_start);

  struct Piece {
    std::vector<uint8_t> bytes;
    Clock::time_point due;
  };
  // Schedules `bytes` that enter the line at `entry`: returns the pieces in delivery order.
  void Pass(const uint8_t* data, size_t size, Clock::time_point entry, std::deque<Piece>& out);
  uint64_t Corrupted() const { return corrupted_; }
  uint64_t Dropped() const { return dropped_; }

 private:
  bool InOutage(Clock::time_point t) const;

  const LineFaults faults_;
  std::mt19937_64 rng_;
  std::uniform_real_distribution<double> unit_{0.0, 1.0};
  Clock::time_point session_start_;
  Clock::time_point line_free_{};
  std::chrono::nanoseconds byte_time_{0};
  uint64_t corrupted_ = 0;
  uint64_t dropped_ = 0;
};

// Driven by its one caller, no threads: every call writes the outbound bytes that have come due,
// and ReadMore sleeps in the kernel until the next byte is due either way or input arrives, so a
// paced line costs no more thread hand-offs than a plain one.
class LinePort final : public PortDevice {
 public:
  LinePort(std::unique_ptr<SimDevice> inner, const LineFaults& faults);
  ~LinePort() override;

  bool HasHandle() const override { return inner_->HasHandle() || !in_.empty(); }
  // Queues the bytes on the line; they leave as they come due.
  uint32_t Send(const uint8_t* data, uint32_t length, int32_t timeout_ms, uint32_t& err) override;
  uint32_t ReadMore(uint8_t* buffer, uint32_t count, uint32_t capacity, int32_t timeout_ms, uint32_t& err) override;
  void Purge() override {}
  void Close() override;

  // Totals of both directions, for the simulator's summary.
  uint64_t Corrupted() const { return to_terminal_.Corrupted() + to_library_.Corrupted(); }
  uint64_t Dropped() const { return to_terminal_.Dropped() + to_library_.Dropped(); }

 private:
  using Clock = FaultChannel::Clock;
  void WriteDue(Clock::time_point now);
  // Takes whatever the transport holds now onto the inbound line.
  void ReadAvailable();

  std::unique_ptr<SimDevice> inner_;
  const LineFaults faults_;
  FaultChannel to_terminal_;
  FaultChannel to_library_;
  FrameCounter silence_;
  std::deque<FaultChannel::Piece> in_;
  std::deque<FaultChannel::Piece> out_;
  std::vector<uint8_t> scratch_;
};

}  // namespace korvane::sim
