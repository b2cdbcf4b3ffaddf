// A thread that may still run when the host unloads the library: on Windows it holds a reference
// on the module that contains this code from its start to its very end and gives it back as it
// exits (FreeLibraryAndExitThread), so a thread caught inside a call that has not returned yet
// never comes back into unmapped code. The POSIX build links the core into its programs and has no
// unload; there it is a plain thread.
#pragma once
#include <cstdint>
#include <functional>

namespace korvane {

class ModuleThread {
 public:
  ModuleThread() = default;
  // A thread still running goes on by itself.
  ~ModuleThread();
  ModuleThread(const ModuleThread&) = delete;
  ModuleThread& operator=(const ModuleThread&) = delete;

  // Runs `body` on a new thread. False when no thread could be had: nothing runs then, and `err`
  // is the system's error (kErrNotEnoughMemory when memory ran out).
  bool Start(std::function<void()> body, uint32_t& err) noexcept;
  bool Started() const { return handle_ != nullptr; }
  // Waits for the thread to end. Never from the library's unload: on Windows the thread's end
  // takes the loader lock.
  void Join() noexcept;
  // Lets the thread end by itself.
  void Detach() noexcept;

 private:
  void* handle_ = nullptr;
};

}  // namespace korvane
