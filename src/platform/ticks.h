// Millisecond tick count (32-bit, wraps about every 49.7 days) and the clock seam that protocol
// timers read, so tests can drive time by hand.
#pragma once
#include <cstdint>

namespace korvane {

uint32_t TickCount();
void SleepMs(uint32_t ms);

// True once `now` has reached or passed `deadline`, across the 32-bit wrap.
inline bool TickReached(uint32_t now, uint32_t deadline) { return static_cast<int32_t>(now - deadline) >= 0; }
// Milliseconds left until `deadline` (negative when it has passed), across the wrap.
inline int32_t TicksLeft(uint32_t now, uint32_t deadline) { return static_cast<int32_t>(deadline - now); }

class Clock {
 public:
  virtual uint32_t Now() const = 0;
  virtual void Sleep(uint32_t ms) const = 0;

  // The one wait after a read that returned nothing: a port that never blocks (USB serial) would
  // otherwise turn every polling loop into a busy one. Sleeps about a millisecond, never past
  // `deadline`; false (no sleep) once the deadline is reached, so the caller stops polling.
  bool PauseAfterEmptyRead(uint32_t deadline) const {
    if (TicksLeft(Now(), deadline) <= 0) return false;
    Sleep(1);
    return true;
  }

 protected:
  ~Clock() = default;
};

// The real tick source.
const Clock& SystemClock();

// A clock that moves only when told to; Sleep advances it.
class ManualClock final : public Clock {
 public:
  explicit ManualClock(uint32_t start = 1000) : now_(start) {}
  uint32_t Now() const override { return now_; }
  void Sleep(uint32_t ms) const override { now_ += ms; }
  void Advance(uint32_t ms) { now_ += ms; }
  void Set(uint32_t t) { now_ = t; }

 private:
  mutable uint32_t now_;
};

}  // namespace korvane
