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

namespace {
// The slot holds the value with its cleanup: the system calls back with the slot's value only.
struct SlotValue {
  ThreadExitCleanup cleanup;
  void* value;
};
void NTAPI RunSlotCleanup(void* p) {
  auto* v = static_cast<SlotValue*>(p);
  if (v == nullptr) return;
  v->cleanup(v->value);
  delete v;
}
}  // namespace

// Fiber-local slots: their callback runs when a thread ends, with no hook in DllMain needed.
ThreadSlot::ThreadSlot(ThreadExitCleanup cleanup) : cleanup_(cleanup), key_(::FlsAlloc(RunSlotCleanup)) {
  live_ = key_ != FLS_OUT_OF_INDEXES;
}

ThreadSlot::~ThreadSlot() {
  if (live_) ::FlsFree(key_);
  live_ = false;
}

void* ThreadSlot::Get() const {
  auto* v = live_ ? static_cast<SlotValue*>(::FlsGetValue(key_)) : nullptr;
  return v ? v->value : nullptr;
}

void ThreadSlot::Set(void* value) {
  if (!live_) return;
  auto* v = static_cast<SlotValue*>(::FlsGetValue(key_));
  if (v == nullptr) {
    v = new SlotValue{cleanup_, value};
    ::FlsSetValue(key_, v);
  }
  v->value = value;
}

}  // namespace korvane
