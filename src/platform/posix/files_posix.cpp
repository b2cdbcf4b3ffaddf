#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/files.h"
#include "platform/posix/move_file_posix.h"

namespace korvane {

namespace {
constexpr const char* kStateSubfolder = "korvane";

bool WriteAll(int fd, std::string_view data) {
  size_t off = 0;
  while (off < data.size()) {
    ssize_t n = ::write(fd, data.data() + off, data.size() - off);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    off += static_cast<size_t>(n);
  }
  return true;
}

// The file system lacks the call, not a reason of this file: try the next way.
bool Unsupported(int e) { return e == EINVAL || e == ENOSYS || e == ENOTSUP || e == EOPNOTSUPP || e == EPERM; }

}  // namespace

bool AppendToFile(const std::string& path, std::string_view data, bool text_mode) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  bool ok = text_mode ? WriteAll(fd, ToTextModeBytes(data)) : WriteAll(fd, data);
  ::close(fd);
  return ok;
}

bool AppendExclusive(const std::string& path, std::string_view data) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    return false;
  }
  bool ok = ::lseek(fd, 0, SEEK_END) >= 0 && WriteAll(fd, data);
  ::close(fd);
  return ok;
}

bool FileLastWriteLocalTime(const std::string& path, LocalTime& out) {
  struct stat st{};
  if (::stat(path.c_str(), &st) != 0) return false;
  tm t{};
  localtime_r(&st.st_mtime, &t);
  out.year = static_cast<unsigned>(t.tm_year + 1900);
  out.month = static_cast<unsigned>(t.tm_mon + 1);
  out.day = static_cast<unsigned>(t.tm_mday);
  out.hour = static_cast<unsigned>(t.tm_hour);
  out.minute = static_cast<unsigned>(t.tm_min);
  out.second = static_cast<unsigned>(t.tm_sec);
  out.millisecond = 0;
  return true;
}

const MoveFileCalls& SystemMoveFileCalls() {
  static constexpr MoveFileCalls kCalls = {
      [](const char* from, const char* to) { return ::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE); },
      ::link, ::unlink};
  return kCalls;
}

bool MoveFileWith(const MoveFileCalls& calls, const std::string& from, const std::string& to) {
  if (calls.rename_noreplace(from.c_str(), to.c_str()) == 0) return true;
  if (!Unsupported(errno)) return false;  // EEXIST among them: never replace
  if (calls.link(from.c_str(), to.c_str()) == 0) {
    if (calls.unlink(from.c_str()) == 0) return true;
    calls.unlink(to.c_str());  // not under both names
    return false;
  }
  if (!Unsupported(errno)) return false;
  // No hard links here (vfat, many network mounts): a plain rename once the name is seen free.
  struct stat st{};
  if (::lstat(to.c_str(), &st) == 0 || errno != ENOENT) return false;
  return ::rename(from.c_str(), to.c_str()) == 0;
}

// Like MoveFile: never replaces an existing target.
bool MoveFileTo(const std::string& from, const std::string& to) {
  return MoveFileWith(SystemMoveFileCalls(), from, to);
}

bool RemoveFile(const std::string& path) { return ::unlink(path.c_str()) == 0; }

char PathSeparator() { return '/'; }

std::string LogDirectory() {
  if (const char* d = std::getenv("KORVANE_LOG_DIR"); d && *d) return d;
  if (const char* x = std::getenv("XDG_STATE_HOME"); x && *x) return std::string(x) + "/" + kStateSubfolder;
  const char* home = std::getenv("HOME");
  return std::string(home && *home ? home : ".") + "/.local/state/" + kStateSubfolder;
}

std::string LogFilePath(std::string_view name) {
  std::string dir = LogDirectory();
  if (!dir.empty() && dir.back() != '/') dir.push_back('/');
  return dir + std::string(name);
}

bool EnsureDirectory(const std::string& dir) {
  if (dir.empty()) return false;
  std::string partial;
  for (size_t i = 0; i <= dir.size(); ++i) {
    if (i == dir.size() || (dir[i] == '/' && i > 0)) {
      partial = dir.substr(0, i);
      if (::mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) return false;
    }
  }
  return true;
}

}  // namespace korvane
