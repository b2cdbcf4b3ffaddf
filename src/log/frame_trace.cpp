#include "log/frame_trace.h"

#include <cstdlib>
#include <mutex>

#include "log/log_time.h"
#include "platform/files.h"

namespace korvane {

namespace {

struct TraceState {
  std::mutex lock;
  std::string path;  // empty: off
};

// Never destroyed: frames may still be traced from other threads while the process ends.
TraceState& State() {
  static TraceState* s = new TraceState;
  return *s;
}

// Port names become one field: no blanks inside.
std::string Field(const std::string& text) {
  if (text.empty()) return "-";
  std::string s = text;
  for (char& c : s)
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') c = '_';
  return s;
}

std::string TimeStamp() {
  const LocalTime t = ActiveLogTime().Now();
  return StrFormat("%04u-%02u-%02u %02u:%02u:%02u.%03u", t.year, t.month, t.day, t.hour, t.minute, t.second,
                   t.millisecond);
}

}  // namespace

bool OpenFrameTrace(const std::string& path) {
  TraceState& s = State();
  std::lock_guard<std::mutex> guard(s.lock);
  s.path.clear();
  if (path.empty()) return false;
  const std::string first = "# " + TimeStamp() + " frame trace opened\n";
  if (!AppendToFile(path, first, false)) return false;
  s.path = path;
  return true;
}

void OpenFrameTraceFromEnvironment() {
  const char* path = std::getenv(kFrameTraceEnvironment);
  if (path == nullptr || *path == 0) return;
  TraceState& s = State();
  std::lock_guard<std::mutex> guard(s.lock);
  s.path = path;
}

void CloseFrameTrace() {
  TraceState& s = State();
  std::lock_guard<std::mutex> guard(s.lock);
  s.path.clear();
}

bool FrameTraceOn() {
  TraceState& s = State();
  std::lock_guard<std::mutex> guard(s.lock);
  return !s.path.empty();
}

std::string FormatTraceUnit(const TraceUnit& u) {
  std::string line = Field(u.link) + ' ' + u.direction + ' ' + u.unit + ' ' +
                     (u.number < 0 ? std::string("-") : std::to_string(u.number)) + ' ' + Field(u.kind) + ' ' +
                     std::to_string(u.length) + ' ' + u.check;
  static constexpr char kHex[] = "0123456789ABCDEF";
  line.reserve(line.size() + 3 * static_cast<size_t>(u.length));
  for (uint32_t i = 0; i < u.length; ++i) {
    line += ' ';
    line += kHex[u.bytes[i] >> 4];
    line += kHex[u.bytes[i] & 0x0F];
  }
  return line;
}

void TraceFrameUnit(const TraceUnit& u) {
  TraceState& s = State();
  if (!FrameTraceOn()) return;
  const std::string line = TimeStamp() + ' ' + FormatTraceUnit(u) + '\n';
  // One append a line under the lock: lines of several links never interleave.
  std::lock_guard<std::mutex> guard(s.lock);
  if (!s.path.empty()) AppendToFile(s.path, line, false);
}

TraceCutter::TraceCutter(std::string link, char direction) : link_(std::move(link)), direction_(direction) {}

void TraceCutter::Emit(const char* unit, const char* kind, uint32_t length) {
  TraceUnit u;
  u.link = link_;
  u.direction = direction_;
  u.unit = unit;
  u.kind = kind;
  u.bytes = held_.data();
  u.length = length;
  TraceFrameUnit(u);
  held_.erase(held_.begin(), held_.begin() + length);
}

void TraceCutter::Feed(const uint8_t* data, uint32_t length) {
  // Bytes of a unit that never completes are shown once this much is held.
  constexpr size_t kMaxHeld = 2 * 65536;
  held_.insert(held_.end(), data, data + length);
  for (;;) {
    uint32_t noise = 0;
    TraceUnit u;
    const bool whole = Cut(held_.data(), static_cast<uint32_t>(held_.size()), noise, u);
    if (noise > 0) Emit("bytes", "noise", noise);
    if (!whole) break;
    u.link = link_;
    u.direction = direction_;
    u.bytes = held_.data();
    TraceFrameUnit(u);
    held_.erase(held_.begin(), held_.begin() + u.length);
  }
  if (held_.size() > kMaxHeld) Emit("bytes", "noise", static_cast<uint32_t>(held_.size()));
}

void TraceCutter::Finish() {
  if (!held_.empty()) Emit("bytes", "partial", static_cast<uint32_t>(held_.size()));
}

}  // namespace korvane
