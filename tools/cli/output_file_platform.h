// What output_file.cpp asks of the platform's half.
#pragma once
#include <string>

namespace korvane::tools {

// The partial file an interrupt must remove (empty: none).
void RemoveOnSignal(const std::string& path);
// Replaces `to` by `from`; false with errno set.
bool RenameOver(const std::string& from, const std::string& to);
void RemovePath(const std::string& path);

}  // namespace korvane::tools
