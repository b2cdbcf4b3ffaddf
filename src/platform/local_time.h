// Wall-clock local time and the high-resolution counter used for log prefixes.
#pragma once
#include <cstdint>

namespace korvane {

struct LocalTime {
  unsigned year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, millisecond = 0;
};

LocalTime CurrentLocalTime();
bool QueryPerfCounter(int64_t& value);
bool QueryPerfFrequency(int64_t& value);

}  // namespace korvane
