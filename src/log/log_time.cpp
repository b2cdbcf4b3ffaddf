#include "log/log_time.h"

#include <atomic>
#include <cstdio>
#include <vector>

namespace korvane {

namespace {
class SystemLogTime final : public LogTime {};
const SystemLogTime kSystemLogTime;
std::atomic<const LogTime*> g_log_time{nullptr};
}  // namespace

const LogTime& ActiveLogTime() {
  const LogTime* t = g_log_time.load(std::memory_order_acquire);
  return t ? *t : kSystemLogTime;
}

void SetLogTimeForTesting(const LogTime* source) { g_log_time.store(source, std::memory_order_release); }

std::string ElapsedPrefix(ElapsedCounter& counter, const char* format, const char* zero_text) {
  const LogTime& t = ActiveLogTime();
  int64_t freq = 0, now = 0;
  if (!t.PerfFrequency(freq) || !t.PerfCounter(now)) return {};
  std::string out;
  if (counter.last == 0 || freq == 0) {
    out = zero_text;
  } else {
    double ms = static_cast<double>(now - counter.last) * (1000.0 / static_cast<double>(freq));
    out = StrFormat(format, ms);
  }
  counter.last = now;
  return out;
}

std::string StrFormatV(const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  char small[512];
  int n = std::vsnprintf(small, sizeof small, format, copy);
  va_end(copy);
  if (n < 0) return {};
  if (static_cast<size_t>(n) < sizeof small) return std::string(small, static_cast<size_t>(n));
  std::vector<char> big(static_cast<size_t>(n) + 1);
  std::vsnprintf(big.data(), big.size(), format, args);
  return std::string(big.data(), static_cast<size_t>(n));
}

std::string StrFormat(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string s = StrFormatV(format, args);
  va_end(args);
  return s;
}

}  // namespace korvane
