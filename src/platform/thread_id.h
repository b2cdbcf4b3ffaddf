#pragma once
#include <cstdint>

namespace korvane {

// The calling thread's id as the system numbers threads (32-bit).
uint32_t CurrentThreadId();

// One pointer per thread, null until the thread sets it. When a thread that set one ends,
// `cleanup` gets its pointer. The system's own per-thread slots, because the toolchain's
// thread_local objects with destructors crash at thread exit on the Windows build. Destroying the
// slot gives it back (on Windows running `cleanup` for every thread's pointer), so no call lands in
// an unloaded DLL; afterwards Get gives null and Set does nothing.
using ThreadExitCleanup = void (*)(void* value);
class ThreadSlot {
 public:
  explicit ThreadSlot(ThreadExitCleanup cleanup);
  ~ThreadSlot();
  ThreadSlot(const ThreadSlot&) = delete;
  ThreadSlot& operator=(const ThreadSlot&) = delete;
  void* Get() const;
  void Set(void* value);

 private:
  ThreadExitCleanup cleanup_;
  uint32_t key_ = 0;
  bool live_ = false;
};

}  // namespace korvane
