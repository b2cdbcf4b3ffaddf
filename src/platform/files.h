// File operations of the log writers: probe, append, last-write time, move; and where logs live.
#pragma once
#include <string>
#include <string_view>

#include "platform/local_time.h"

namespace korvane {

// True when the file can be opened for reading; the handle is closed at once.
bool FileExists(const std::string& path);

// Appends bytes, creating the file if missing. `text_mode` writes every "\n" as "\r\n", as a
// Windows text-mode stream does, so the files are the same on every build.
bool AppendToFile(const std::string& path, std::string_view data, bool text_mode);

// The bytes a Windows text-mode stream writes for `data` ("\n" as "\r\n").
std::string ToTextModeBytes(std::string_view data);

// Appends while holding the file exclusively against other writers; fails (line lost) when another
// writer has it open.
bool AppendExclusive(const std::string& path, std::string_view data);

bool FileLastWriteLocalTime(const std::string& path, LocalTime& out);
bool MoveFileTo(const std::string& from, const std::string& to);
bool ReadWholeFile(const std::string& path, std::string& out);
bool RemoveFile(const std::string& path);

// The folder separator of this build, "\\" on Windows, "/" elsewhere.
char PathSeparator();

// Folder of the diagnostic log and wire dump. KORVANE_LOG_DIR wins on both builds; otherwise
// "C:\" on Windows, and $XDG_STATE_HOME/korvane or ~/.local/state/korvane elsewhere.
std::string LogDirectory();
// Full path of a log file named `name` in LogDirectory().
std::string LogFilePath(std::string_view name);
// Creates the folder and its parents when missing.
bool EnsureDirectory(const std::string& dir);

}  // namespace korvane
