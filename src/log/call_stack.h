// Per-thread stack of scope names, printed into wire-dump lines.
#pragma once
#include <cstddef>
#include <string>

namespace korvane {

class CallStackScope {
 public:
  explicit CallStackScope(const char* format, ...) __attribute__((format(printf, 2, 3)));
  ~CallStackScope();
  CallStackScope(const CallStackScope&) = delete;
  CallStackScope& operator=(const CallStackScope&) = delete;
};

// Creates the process-wide registry now rather than at the first scope (the DLL does it on load).
void CreateCallStackRegistry();
// Threads that hold a call-stack entry now; a thread's entry is dropped when the thread ends.
size_t CallStackThreadCount();

// "[CallStack(XXXXXXXX): name, name]" for the calling thread.
std::string CallStackText();

}  // namespace korvane
