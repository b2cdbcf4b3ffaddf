#include "log/addin_trace.h"

#include <mutex>

#include "log/log_time.h"
#include "platform/files.h"
#include "platform/thread_id.h"

namespace korvane {

namespace {
constexpr size_t kLogFileValueBuffer = 2048;
constexpr size_t kMaxTraceFileName = 4096;
constexpr uint32_t kLoadLineLevel = 1;
constexpr const char* kEmptyTitle = "DBG";

std::mutex& WriteTurn() {
  static std::mutex* turn = new std::mutex;
  return *turn;
}

size_t LastSeparator(const std::string& path) {
  // Both separators: Windows takes "/" as well, and the POSIX build only has "/".
  return path.find_last_of("\\/");
}
}  // namespace

AddinTrace& AddinTrace::Instance() {
  static AddinTrace* trace = new AddinTrace;
  return *trace;
}

void AddinTrace::Configure(const SettingsStore& settings, std::string* local_port) {
  std::string file;
  if (settings.ReadString("LogFile", file)) {
    if (file.size() >= kLogFileValueBuffer) file.resize(kLogFileValueBuffer - 1);
    if (file.size() + 1 < kMaxTraceFileName) file_name_ = file;
  }
  uint32_t level = 0;
  if (settings.ReadDword("LogTraceLevel", level)) threshold_ = level;
  if (local_port) {
    std::string port;
    if (settings.ReadString("LocalPort", port)) *local_port = port;
  }
  TraceWrite(kLoadLineLevel, kTraceLoadLine);
}

void AddinTrace::Set(uint32_t threshold, const std::string& file_name) {
  threshold_ = threshold;
  file_name_ = file_name;
}

void AddinTrace::TraceWrite(uint32_t level, const std::string& text) noexcept {
  if (level > threshold_) return;
  try {
    TraceLine(level, threshold_ > 0, text);
  } catch (...) {
  }
}

void AddinTrace::FormatAndWrite(uint32_t level, const char* format, va_list args) noexcept {
  if (level > threshold_) return;
  try {
    std::string text;
    if (format) {
      try {
        text = StrFormatV(format, args);
      } catch (...) {
        text = format;
      }
      if (text.empty() && *format) text = std::string("[CRT-ERROR?] ") + format;
    }
    TraceLine(level, threshold_ > 0, text);
  } catch (...) {
  }
}

void AddinTrace::TraceFormat(uint32_t level, const char* format, ...) noexcept {
  va_list args;
  va_start(args, format);
  FormatAndWrite(level, format, args);
  va_end(args);
}

void AddinTrace::TraceError(const char* format, ...) noexcept {
  va_list args;
  va_start(args, format);
  FormatAndWrite(0, format, args);
  va_end(args);
}

void AddinTrace::TraceException(const char* description, const char* source_file, unsigned line) noexcept {
  if (description)
    TraceFormat(0, "Exception \"%s\" in file: \"%s\"(line: %u)\r\n", description, source_file, line);
  else
    TraceFormat(0, "Exception (catch) in file: \"%s\"(line: %u)\r\n", source_file, line);
}

void AddinTrace::TraceInvalidParameter(const std::string& function, const std::string& file, int line,
                                       const std::string& expression) {
  TraceWrite(0, StrFormat("Invalid parameter detected in function %s. File: %s Line: %d\nExpression: %s\n",
                          function.c_str(), file.c_str(), line, expression.c_str()));
}

void AddinTrace::TraceLine(uint32_t level, bool with_thread, const std::string& text) {
  if (level > threshold_) return;
  LocalTime t = ActiveLogTime().Now();
  std::string line = StrFormat("%2.2u.%2.2u.%4.4u %2.2u:%2.2u:%2.2u ", t.day, t.month, t.year, t.hour, t.minute, t.second);
  if (with_thread) {
    uint32_t id = CurrentThreadId();
    line += StrFormat("[TID:%u(0x%X)] ", id, id);
  }
  if (file_name_.empty()) return;
  line += text;
  line += "\r\n";
  // The file is opened denying other writers: the reader and a callback tracing at once would
  // lose one of the lines, so the add-in's own threads take turns.
  std::lock_guard<std::mutex> turn(WriteTurn());
  Rotate();
  AppendExclusive(file_name_, line);
}

void AddinTrace::Rotate() {
  LocalTime written;
  if (!FileLastWriteLocalTime(file_name_, written)) return;
  if (written.day == ActiveLogTime().Now().day) return;
  const size_t sep = LastSeparator(file_name_);
  const std::string folder = sep == std::string::npos ? std::string() : file_name_.substr(0, sep + 1);
  std::string title = sep == std::string::npos ? file_name_ : file_name_.substr(sep + 1);
  title = title.substr(0, title.find('.'));
  if (title.empty()) title = kEmptyTitle;
  const std::string target =
      folder + StrFormat("%s_%4.4u_%2.2u_%2.2u.log", title.c_str(), written.year, written.month, written.day);
  MoveFileTo(file_name_, target);
}

}  // namespace korvane
