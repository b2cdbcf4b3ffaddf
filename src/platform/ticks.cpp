#include "platform/ticks.h"

namespace korvane {

namespace {
class RealClock final : public Clock {
 public:
  uint32_t Now() const override { return TickCount(); }
  void Sleep(uint32_t ms) const override { SleepMs(ms); }
};
}  // namespace

const Clock& SystemClock() {
  static const RealClock clock;
  return clock;
}

}  // namespace korvane
