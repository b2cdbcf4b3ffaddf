#include <gtest/gtest.h>

#include <unistd.h>

#include <cerrno>

#include "platform/files.h"
#include "platform/posix/move_file_posix.h"
#include "support/temp_dir.h"

namespace korvane {
namespace {

int NoRenameNoReplace(const char*, const char*) {
  errno = EINVAL;
  return -1;
}
int NoHardLinks(const char*, const char*) {
  errno = EPERM;
  return -1;
}
int UnlinkRefused(const char* path) {
  if (std::string(path).find("trace.log") == std::string::npos) return ::unlink(path);
  errno = EACCES;
  return -1;
}

// The daily move of the add-in trace on file systems that lack one way or another of moving
// without replacing: it moves, never replaces, and never leaves the file under both names.
TEST(FileMove, EveryFallbackMovesOnceAndNeverReplaces) {
  const MoveFileCalls& sys = SystemMoveFileCalls();
  struct Case {
    const char* name;
    MoveFileCalls calls;
    bool target_exists;
    bool moved;
  };
  const Case cases[] = {
      {"no-replace rename", sys, false, true},
      {"no-replace rename, target there", sys, true, false},
      {"link and unlink", {NoRenameNoReplace, sys.link, sys.unlink}, false, true},
      {"link and unlink, target there", {NoRenameNoReplace, sys.link, sys.unlink}, true, false},
      {"no hard links", {NoRenameNoReplace, NoHardLinks, sys.unlink}, false, true},
      {"no hard links, target there", {NoRenameNoReplace, NoHardLinks, sys.unlink}, true, false},
      {"source cannot be removed", {NoRenameNoReplace, sys.link, UnlinkRefused}, false, false},
  };
  for (const Case& c : cases) {
    test::TempDir dir;
    const std::string from = dir.File("trace.log");
    const std::string to = dir.File("trace_2025_03_09.log");
    ASSERT_TRUE(AppendToFile(from, "today", false));
    if (c.target_exists) {
      ASSERT_TRUE(AppendToFile(to, "yesterday", false));
    }
    EXPECT_EQ(MoveFileWith(c.calls, from, to), c.moved) << c.name;
    std::string at_from, at_to;
    const bool from_left = ReadWholeFile(from, at_from);
    const bool to_there = ReadWholeFile(to, at_to);
    EXPECT_EQ(from_left, !c.moved) << c.name;
    EXPECT_EQ(to_there, c.moved || c.target_exists) << c.name;
    EXPECT_EQ(at_to, to_there ? (c.moved ? "today" : "yesterday") : "") << c.name;
    EXPECT_EQ(at_from, from_left ? "today" : "") << c.name;
  }
}

}  // namespace
}  // namespace korvane
