#include "log/call_stack.h"

#include <atomic>
#include <cstdarg>
#include <vector>

#include "log/log_time.h"
#include "platform/thread_id.h"

namespace korvane {

namespace {

// Counts the threads that hold an entry; the entries themselves are thread-local, so a push or
// pop touches nothing shared and a thread's entry goes with the thread.
class CallStackRegistry {
 public:
  void Added() { live_.fetch_add(1, std::memory_order_relaxed); }
  void Removed() { live_.fetch_sub(1, std::memory_order_relaxed); }
  size_t Live() const { return live_.load(std::memory_order_relaxed); }

 private:
  std::atomic<size_t> live_{0};
};

CallStackRegistry& Registry() {
  static CallStackRegistry* registry = new CallStackRegistry;  // never destroyed: threads may outlive statics
  return *registry;
}

struct ThreadEntry {
  ThreadEntry() : registry(Registry()), thread_id(CurrentThreadId()) { registry.Added(); }
  ~ThreadEntry() { registry.Removed(); }
  ThreadEntry(const ThreadEntry&) = delete;
  ThreadEntry& operator=(const ThreadEntry&) = delete;

  CallStackRegistry& registry;
  const uint32_t thread_id;
  std::vector<std::string> names;  // oldest first; only its own thread touches it
};

ThreadEntry& Entry() {
  thread_local ThreadEntry entry;
  return entry;
}

}  // namespace

void CreateCallStackRegistry() { Registry(); }

size_t CallStackThreadCount() { return Registry().Live(); }

CallStackScope::CallStackScope(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string name = StrFormatV(format, args);
  va_end(args);
  Entry().names.push_back(std::move(name));
}

CallStackScope::~CallStackScope() {
  std::vector<std::string>& names = Entry().names;
  if (!names.empty()) names.pop_back();
}

std::string CallStackText() {
  const ThreadEntry& e = Entry();
  std::string out = StrFormat("[CallStack(%8.8X): ", e.thread_id);
  for (size_t i = 0; i < e.names.size(); ++i) {
    if (i) out += ", ";
    out += e.names[i];
  }
  out += "]";
  return out;
}

}  // namespace korvane
