#include <pthread.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include "platform/local_time.h"
#include "platform/thread_id.h"
#include "platform/ticks.h"

namespace korvane {

uint32_t TickCount() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint32_t>(static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u);
}

void SleepMs(uint32_t ms) {
  timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0) {
  }
}

LocalTime CurrentLocalTime() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  // localtime_r takes the C library's time-zone lock on every call, on which the log lines of
  // every link in the process would queue: each thread keeps the last second's broken-down time.
  struct SecondCache {
    time_t second = -1;
    tm t{};
  };
  static thread_local SecondCache cache;
  if (cache.second != ts.tv_sec) {
    localtime_r(&ts.tv_sec, &cache.t);
    cache.second = ts.tv_sec;
  }
  const tm& t = cache.t;
  LocalTime lt;
  lt.year = static_cast<unsigned>(t.tm_year + 1900);
  lt.month = static_cast<unsigned>(t.tm_mon + 1);
  lt.day = static_cast<unsigned>(t.tm_mday);
  lt.hour = static_cast<unsigned>(t.tm_hour);
  lt.minute = static_cast<unsigned>(t.tm_min);
  lt.second = static_cast<unsigned>(t.tm_sec);
  lt.millisecond = static_cast<unsigned>(ts.tv_nsec / 1000000L);
  return lt;
}

bool QueryPerfCounter(int64_t& value) {
  timespec ts{};
  if (clock_gettime(CLOCK_MONOTONIC, &ts) != 0) return false;
  value = static_cast<int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
  return true;
}

bool QueryPerfFrequency(int64_t& value) {
  value = 1000000000LL;
  return true;
}

uint32_t CurrentThreadId() { return static_cast<uint32_t>(syscall(SYS_gettid)); }

ThreadSlot::ThreadSlot(ThreadExitCleanup cleanup) : cleanup_(cleanup) {
  pthread_key_t key{};
  live_ = ::pthread_key_create(&key, cleanup_) == 0;
  key_ = static_cast<uint32_t>(key);
}

ThreadSlot::~ThreadSlot() {
  if (live_) ::pthread_key_delete(static_cast<pthread_key_t>(key_));
  live_ = false;
}

void* ThreadSlot::Get() const { return live_ ? ::pthread_getspecific(static_cast<pthread_key_t>(key_)) : nullptr; }

void ThreadSlot::Set(void* value) {
  if (live_) ::pthread_setspecific(static_cast<pthread_key_t>(key_), value);
}

}  // namespace korvane
