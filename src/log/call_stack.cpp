#include "log/call_stack.h"

#include <atomic>
#include <cstdarg>
#include <vector>

#include "log/log_time.h"
#include "platform/thread_id.h"

namespace korvane {

namespace {

struct ThreadEntry {
  uint32_t thread_id;
  std::vector<std::string> names;  // oldest first; only its own thread touches it
};

// Each thread's entry sits in a per-thread slot, so a push or pop touches nothing shared; the
// registry only counts the entries and drops a thread's entry when the thread ends.
class CallStackRegistry {
 public:
  CallStackRegistry() : slot_(Drop) {}

  ThreadEntry& Entry() {
    if (auto* e = static_cast<ThreadEntry*>(slot_.Get())) return *e;
    auto* e = new ThreadEntry{CurrentThreadId(), {}};
    slot_.Set(e);
    live_.fetch_add(1, std::memory_order_relaxed);
    return *e;
  }
  size_t Live() const { return live_.load(std::memory_order_relaxed); }

 private:
  static void Drop(void* entry);
  ThreadSlot slot_;
  std::atomic<size_t> live_{0};
};

CallStackRegistry& Registry() {
  static CallStackRegistry* registry = new CallStackRegistry;  // never destroyed: threads may outlive statics
  return *registry;
}

void CallStackRegistry::Drop(void* entry) {
  delete static_cast<ThreadEntry*>(entry);
  Registry().live_.fetch_sub(1, std::memory_order_relaxed);
}

ThreadEntry& Entry() { return Registry().Entry(); }

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
