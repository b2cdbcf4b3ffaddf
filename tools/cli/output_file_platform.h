// What output_file.cpp asks of the platform's half.
#pragma once
#include <string>

namespace korvane::tools {

// Names `path` as the partial file an interrupt must remove, in `slot` (-1: claim one); an empty
// path gives the slot back. Collect writes many files at once, so each OutputFile has its own.
void RemoveOnSignal(int& slot, const std::string& path);
// Replaces `to` by `from`; false with errno set.
bool RenameOver(const std::string& from, const std::string& to);
void RemovePath(const std::string& path);

}  // namespace korvane::tools
