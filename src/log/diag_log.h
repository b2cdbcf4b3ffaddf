// The diagnostic log "korvane.log" and the wire dump "korvdump.txt". The dump is written only while
// its file exists: a user switches it on by creating the empty file.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "log/log_time.h"

namespace korvane {

inline constexpr const char* kDiagLogName = "korvane.log";
inline constexpr const char* kDumpName = "korvdump.txt";

std::string DiagLogPath();
std::string DumpPath();

// Creates the dump's process-wide lock now rather than at the first line (the DLL does it on load).
void CreateDumpLock();

// One line to the diagnostic log if the file already exists.
void DiagLog(const std::string& message, int32_t code);
// One line to the diagnostic log (created if missing), mirrored into the wire dump.
void DiagLogAppend(const std::string& message, int32_t code);
// The diagnostic lines this thread logged since the last call (the latest few, oldest first), as
// "message (code)", whether or not the file took them: a tool shows them when no log is kept.
std::vector<std::string> TakeRecentDiagLines();
// A tagged line in the wire dump, with the process-wide elapsed time.
void DumpMirror(const std::string& tag, const std::string& message);
// A line with the call stack, and a hex block when bytes are given, in the wire dump.
void tsDump(const std::string& message, const uint8_t* bytes = nullptr, uint32_t count = 0);
// The legacy port object's hex line: its own elapsed counter, call stack, tag, at most 341 bytes.
void DumpHexLine(ElapsedCounter& counter, const std::string& tag, const uint8_t* bytes, uint32_t count);

}  // namespace korvane
