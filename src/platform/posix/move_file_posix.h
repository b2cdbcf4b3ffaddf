// The calls a move that never replaces its target is built from on POSIX, replaceable so tests
// can play file systems without a no-replace rename or without hard links.
#pragma once
#include <string>

namespace korvane {

struct MoveFileCalls {
  int (*rename_noreplace)(const char* from, const char* to);  // 0 or -1 with errno, as renameat2
  int (*link)(const char* from, const char* to);
  int (*unlink)(const char* path);
};

const MoveFileCalls& SystemMoveFileCalls();

// Moves `from` to `to` unless `to` exists: a no-replace rename; where the file system has none,
// link and unlink; where it has no hard links either, a rename after checking `to` is absent.
// Never leaves the file under both names.
bool MoveFileWith(const MoveFileCalls& calls, const std::string& from, const std::string& to);

}  // namespace korvane
