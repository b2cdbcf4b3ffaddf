// The Remote Desktop add-in's trace: a level threshold and a file from the add-in's settings, a
// date (and thread) prefix on every line, and a daily move of the file to a dated name.
#pragma once
#include <cstdarg>
#include <cstdint>
#include <string>

#include "platform/settings.h"

namespace korvane {

inline constexpr const char* kAddinSettingsKey = "Software\\Microsoft\\Terminal Server Client\\Default\\AddIns\\Ostrel";
inline constexpr const char* kTraceLoadLine =
    "-------------------------- load korvane (RDP-сlient plugin) --------------------------";

class AddinTrace {
 public:
  // Reads LogFile, LogTraceLevel (and LocalPort, returned) from the add-in's settings and writes
  // the level-1 load line.
  void Configure(const SettingsStore& settings, std::string* local_port = nullptr);
  void Set(uint32_t threshold, const std::string& file_name);

  // A line that cannot be built is lost like one that cannot be written: nothing throws.
  void TraceWrite(uint32_t level, const std::string& text) noexcept;
  void TraceFormat(uint32_t level, const char* format, ...) noexcept __attribute__((format(printf, 3, 4)));
  void TraceError(const char* format, ...) noexcept __attribute__((format(printf, 2, 3)));
  void TraceException(const char* description, const char* source_file, unsigned line) noexcept;
  void TraceInvalidParameter(const std::string& function, const std::string& file, int line,
                             const std::string& expression);

  uint32_t Threshold() const { return threshold_; }
  const std::string& FileName() const { return file_name_; }

  // The process-wide trace of the add-in.
  static AddinTrace& Instance();

 private:
  void TraceLine(uint32_t level, bool with_thread, const std::string& text);
  void Rotate();
  void FormatAndWrite(uint32_t level, const char* format, va_list args) noexcept;

  uint32_t threshold_ = 0;
  std::string file_name_;
};

}  // namespace korvane
