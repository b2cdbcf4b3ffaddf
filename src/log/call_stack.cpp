#include "log/call_stack.h"

#include <cstdarg>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "log/log_time.h"
#include "platform/thread_id.h"

namespace korvane {

namespace {

struct ThreadEntry {
  uint32_t thread_id;
  std::mutex lock;
  std::vector<std::string> names;
};

// Entries live until the library unloads. One lock over the table makes the first push of two
// threads at once safe; each entry's list has its own lock.
class CallStackRegistry {
 public:
  ThreadEntry& Entry(uint32_t id) {
    std::lock_guard<std::mutex> g(table_lock_);
    for (auto& e : entries_)
      if (e->thread_id == id) return *e;
    entries_.push_back(std::make_unique<ThreadEntry>());
    entries_.back()->thread_id = id;
    return *entries_.back();
  }

 private:
  std::mutex table_lock_;
  std::deque<std::unique_ptr<ThreadEntry>> entries_;
};

CallStackRegistry& Registry() {
  static CallStackRegistry* registry = new CallStackRegistry;  // never destroyed: scopes may outlive statics
  return *registry;
}

}  // namespace

void CreateCallStackRegistry() { Registry(); }

CallStackScope::CallStackScope(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string name = StrFormatV(format, args);
  va_end(args);
  ThreadEntry& e = Registry().Entry(CurrentThreadId());
  std::lock_guard<std::mutex> g(e.lock);
  e.names.push_back(std::move(name));
}

CallStackScope::~CallStackScope() {
  ThreadEntry& e = Registry().Entry(CurrentThreadId());
  std::lock_guard<std::mutex> g(e.lock);
  if (!e.names.empty()) e.names.pop_back();
}

std::string CallStackText() {
  const uint32_t id = CurrentThreadId();
  ThreadEntry& e = Registry().Entry(id);
  std::string out = StrFormat("[CallStack(%8.8X): ", id);
  std::lock_guard<std::mutex> g(e.lock);
  for (size_t i = 0; i < e.names.size(); ++i) {
    if (i) out += ", ";
    out += e.names[i];
  }
  out += "]";
  return out;
}

}  // namespace korvane
