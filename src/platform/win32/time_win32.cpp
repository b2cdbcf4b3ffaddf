#include <windows.h>

#include "platform/local_time.h"
#include "platform/thread_id.h"
#include "platform/ticks.h"

namespace korvane {

uint32_t TickCount() { return ::GetTickCount(); }

void SleepMs(uint32_t ms) { ::Sleep(ms); }

LocalTime CurrentLocalTime() {
  SYSTEMTIME st{};
  ::GetLocalTime(&st);
  LocalTime lt;
  lt.year = st.wYear;
  lt.month = st.wMonth;
  lt.day = st.wDay;
  lt.hour = st.wHour;
  lt.minute = st.wMinute;
  lt.second = st.wSecond;
  lt.millisecond = st.wMilliseconds;
  return lt;
}

bool QueryPerfCounter(int64_t& value) {
  LARGE_INTEGER v{};
  if (!::QueryPerformanceCounter(&v)) return false;
  value = v.QuadPart;
  return true;
}

bool QueryPerfFrequency(int64_t& value) {
  LARGE_INTEGER v{};
  if (!::QueryPerformanceFrequency(&v)) return false;
  value = v.QuadPart;
  return true;
}

uint32_t CurrentThreadId() { return ::GetCurrentThreadId(); }

}  // namespace korvane
