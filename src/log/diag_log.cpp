#include "log/diag_log.h"

#include <mutex>

#include "log/call_stack.h"
#include "platform/files.h"
#include "platform/thread_id.h"

namespace korvane {

namespace {

// The legacy hex line was built in a 1024-character buffer: three characters a byte.
constexpr uint32_t kMaxHexLineBytes = 341;
// Enough for one failed operation's chain of reasons (port layer, then the object above it).
constexpr size_t kRecentDiagLines = 8;

void DropRecentLines(void* lines) { delete static_cast<std::vector<std::string>*>(lines); }

// A per-thread slot rather than a thread_local object: those crash at thread exit in the Windows
// build, and the add-in's reader thread logs too. The slot is given back when the library unloads.
ThreadSlot& RecentLinesSlot() {
  static ThreadSlot slot(DropRecentLines);
  return slot;
}

// Null when `create` is false and the thread has none, or after the slot was given back.
std::vector<std::string>* RecentDiagLines(bool create) {
  ThreadSlot& slot = RecentLinesSlot();
  auto* lines = static_cast<std::vector<std::string>*>(slot.Get());
  if (lines != nullptr || !create) return lines;
  lines = new std::vector<std::string>;
  slot.Set(lines);
  if (slot.Get() == lines) return lines;
  delete lines;
  return nullptr;
}

void Remember(const std::string& message, int32_t code) {
  auto* lines = RecentDiagLines(true);
  if (lines == nullptr) return;
  if (lines->size() >= kRecentDiagLines) lines->erase(lines->begin());
  lines->push_back(code != 0 ? message + StrFormat(" (%ld)", static_cast<long>(code)) : message);
}

std::mutex& DumpCounterLock() {
  static std::mutex* m = new std::mutex;
  return *m;
}

ElapsedCounter& DumpMirrorCounter() {
  static ElapsedCounter c;
  return c;
}

std::string DumpTimeText(const LocalTime& t) {
  return StrFormat("%02u.%02u.%04u %02u:%02u:%02u", t.day, t.month, t.year, t.hour, t.minute, t.second);
}

std::string DiagLine(const std::string& message, int32_t code) {
  LocalTime t = ActiveLogTime().Now();
  std::string line = StrFormat("[%02d-%02d-%04d %02d:%02d:%02d]\t", t.day, t.month, t.year, t.hour, t.minute, t.second);
  line += message;
  if (code != 0) line += StrFormat(" (%ld)", static_cast<long>(code));
  line += "\n";
  return line;
}

}  // namespace

void CreateDumpLock() {
  RecentLinesSlot();
  DumpCounterLock();
  DumpMirrorCounter();
}

std::string DiagLogPath() { return LogFilePath(kDiagLogName); }
std::string DumpPath() { return LogFilePath(kDumpName); }

std::vector<std::string> TakeRecentDiagLines() {
  std::vector<std::string> taken;
  if (auto* lines = RecentDiagLines(false)) taken.swap(*lines);
  return taken;
}

void DiagLog(const std::string& message, int32_t code) {
  Remember(message, code);
  const std::string path = DiagLogPath();
  if (!FileExists(path)) return;
  AppendToFile(path, DiagLine(message, code), true);
}

void DiagLogAppend(const std::string& message, int32_t code) {
  Remember(message, code);
  const std::string path = DiagLogPath();
  if (!AppendToFile(path, DiagLine(message, code), true)) {
    // The default folder may not exist yet on a fresh machine.
    if (EnsureDirectory(LogDirectory())) AppendToFile(path, DiagLine(message, code), true);
  }
  DumpMirror(kDiagLogName, message);
}

void DumpMirror(const std::string& tag, const std::string& message) {
  const std::string path = DumpPath();
  if (!FileExists(path)) return;
  std::string prefix;
  {
    std::lock_guard<std::mutex> g(DumpCounterLock());
    prefix = ElapsedPrefix(DumpMirrorCounter(), "[%1.5lf ms] ", "[0.00000 ms] ");
  }
  std::string line = "[" + DumpTimeText(ActiveLogTime().Now()) + "] " + prefix;
  line += "[" + tag + "] " + message + "\n";
  AppendToFile(path, line, true);
}

void tsDump(const std::string& message, const uint8_t* bytes, uint32_t count) {
  const std::string path = DumpPath();
  if (!FileExists(path)) return;
  LocalTime t = ActiveLogTime().Now();
  std::string text = StrFormat("[%2.2u.%2.2u.%4.4u %2.2u:%2.2u:%2.2u] ", t.day, t.month, t.year, t.hour, t.minute,
                               t.second);
  text += CallStackText() + " " + message + "\r\n";
  if (bytes) {
    text += "--- DUMP:\r\n";
    for (uint32_t i = 0; i < count; ++i) text += StrFormat("%2.2X ", bytes[i]);
    text += "\r\n";
  }
  AppendToFile(path, text, false);
}

void DumpHexLine(ElapsedCounter& counter, const std::string& tag, const uint8_t* bytes, uint32_t count) {
  const std::string path = DumpPath();
  if (!FileExists(path)) return;
  std::string line = ElapsedPrefix(counter, "[%1.5lf ms] ", "[0.00000 ms] ");
  line += CallStackText() + tag + ": ";
  const uint32_t shown = count < kMaxHexLineBytes ? count : kMaxHexLineBytes;
  for (uint32_t i = 0; i < shown && bytes; ++i) line += StrFormat("%02X ", bytes[i]);
  line += "\n";
  AppendToFile(path, line, true);
}

}  // namespace korvane
