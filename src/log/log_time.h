// The time sources of the log writers (local time and the performance counter), replaceable so
// tests can pin every line byte for byte; and the elapsed-time prefix shared by three writers.
#pragma once
#include <cstdarg>
#include <cstdint>
#include <string>

#include "platform/local_time.h"

namespace korvane {

class LogTime {
 public:
  virtual LocalTime Now() const { return CurrentLocalTime(); }
  virtual bool PerfCounter(int64_t& v) const { return QueryPerfCounter(v); }
  virtual bool PerfFrequency(int64_t& v) const { return QueryPerfFrequency(v); }

 protected:
  ~LogTime() = default;
};

const LogTime& ActiveLogTime();
// Replaces the time source of every log writer until reset with nullptr (tests only).
void SetLogTimeForTesting(const LogTime* source);

// Performance-counter value at a writer's previous line; 0 before the first.
struct ElapsedCounter {
  int64_t last = 0;
};

// "(now - last) in ms" formatted with `format` (one double), `zero_text` for the first line, empty
// when the counter cannot be read (and then the stored value stays).
std::string ElapsedPrefix(ElapsedCounter& counter, const char* format, const char* zero_text);

// printf into a std::string.
std::string StrFormat(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string StrFormatV(const char* format, va_list args);

}  // namespace korvane
