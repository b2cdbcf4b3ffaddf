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

std::atomic<size_t> g_live_entries{0};

void DropEntry(void* entry) {
  delete static_cast<ThreadEntry*>(entry);
  g_live_entries.fetch_sub(1, std::memory_order_relaxed);
}

// Each thread's entry sits in a per-thread slot, so a push or pop touches nothing shared and a
// thread's entry goes with the thread. The slot is given back when the library unloads (the
// system then drops every entry), so no thread's end calls into an unloaded DLL.
ThreadSlot& Slot() {
  static ThreadSlot slot(DropEntry);
  return slot;
}

ThreadEntry& Entry() {
  ThreadSlot& slot = Slot();
  if (auto* e = static_cast<ThreadEntry*>(slot.Get())) return *e;
  auto* e = new ThreadEntry{CurrentThreadId(), {}};
  slot.Set(e);
  if (slot.Get() == e) {
    g_live_entries.fetch_add(1, std::memory_order_relaxed);
    return *e;
  }
  // Scopes run after the slot was given back (at unload): one leaked entry per such thread.
  delete e;
  static thread_local ThreadEntry* late = nullptr;
  if (late == nullptr) late = new ThreadEntry{CurrentThreadId(), {}};
  return *late;
}

}  // namespace

void CreateCallStackRegistry() { Slot(); }

size_t CallStackThreadCount() { return g_live_entries.load(std::memory_order_relaxed); }

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
