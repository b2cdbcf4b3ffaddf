// Pins the log writers' clock and counter for byte-exact line checks.
#pragma once
#include "log/log_time.h"

namespace korvane::test {

class FixedLogTime final : public LogTime {
 public:
  FixedLogTime() { SetLogTimeForTesting(this); }
  ~FixedLogTime() { SetLogTimeForTesting(nullptr); }
  FixedLogTime(const FixedLogTime&) = delete;
  FixedLogTime& operator=(const FixedLogTime&) = delete;

  LocalTime Now() const override { return now; }
  bool PerfCounter(int64_t& v) const override {
    v = counter;
    return counter_ok;
  }
  bool PerfFrequency(int64_t& v) const override {
    v = frequency;
    return counter_ok;
  }

  LocalTime now{2025, 3, 5, 9, 7, 3, 0};
  int64_t counter = 1000000;
  int64_t frequency = 1000000;  // one tick a microsecond
  bool counter_ok = true;
};

}  // namespace korvane::test
