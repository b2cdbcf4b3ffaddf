#include "output_file.h"
#include "output_file_platform.h"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace korvane::tools {

namespace {

constexpr const char* kPartialSuffix = ".partial-XXXXXX";
constexpr mode_t kNewFileMode = 0666;
constexpr mode_t kModeBits = 07777;
constexpr mode_t kNewFolderMode = 0755;
constexpr int kMaxLinkHops = 40;  // the kernel's own limit
constexpr int kCleanupSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};

// The partial files a signal must remove, one slot per open OutputFile (collect writes many at
// once). A slot's name is written only while its flag is clear and the slot is claimed under a
// lock the handler never takes; a file beyond the last slot is left to the caller's own Discard.
constexpr int kPartialSlots = 256;
char g_partial[kPartialSlots][PATH_MAX + 1];
volatile sig_atomic_t g_has_partial[kPartialSlots];
std::mutex g_slots_lock;
bool g_slot_taken[kPartialSlots];

void OnFatalSignal(int sig) {
  for (int i = 0; i < kPartialSlots; ++i)
    if (g_has_partial[i]) ::unlink(g_partial[i]);
  ::signal(sig, SIG_DFL);
  ::raise(sig);
}

class SignalsBlocked {
 public:
  SignalsBlocked() {
    sigset_t set;
    sigemptyset(&set);
    for (int s : kCleanupSignals) sigaddset(&set, s);
    ::pthread_sigmask(SIG_BLOCK, &set, &old_);
  }
  ~SignalsBlocked() { ::pthread_sigmask(SIG_SETMASK, &old_, nullptr); }

 private:
  sigset_t old_;
};

}  // namespace

void RemoveOnSignal(int& slot, const std::string& path) {
  SignalsBlocked blocked;
  std::lock_guard<std::mutex> guard(g_slots_lock);
  if (slot >= 0) {
    g_has_partial[slot] = 0;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    if (path.empty()) {
      g_slot_taken[slot] = false;
      slot = -1;
      return;
    }
  }
  if (path.empty() || path.size() >= sizeof g_partial[0]) return;
  for (int i = 0; slot < 0 && i < kPartialSlots; ++i) {
    if (!g_slot_taken[i]) {
      g_slot_taken[i] = true;
      slot = i;
    }
  }
  if (slot < 0) return;
  std::memcpy(g_partial[slot], path.c_str(), path.size() + 1);
  std::atomic_thread_fence(std::memory_order_seq_cst);
  g_has_partial[slot] = 1;
}

namespace {

std::string Folder(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// The file a chain of symbolic links ends at (which may not exist yet).
std::string FollowLinks(std::string path) {
  for (int hop = 0; hop < kMaxLinkHops; ++hop) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
    char target[PATH_MAX + 1];
    const ssize_t n = ::readlink(path.c_str(), target, PATH_MAX);
    if (n <= 0) return path;
    target[n] = 0;
    path = target[0] == '/' ? std::string(target) : Folder(path) + "/" + target;
  }
  return path;
}

std::string ErrnoText(int e) { return std::strerror(e); }

}  // namespace

bool EnsureStandardDescriptors() {
  for (int fd = 0; fd <= STDERR_FILENO; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    const int opened = ::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    if (opened < 0) return false;
    // The lowest free number is this one, unless a lower one was closed too (then filled first).
    if (opened != fd) {
      if (::dup2(opened, fd) < 0) return false;
      ::close(opened);
    }
  }
  return true;
}

void InstallInterruptCleanup() {
  struct sigaction sa {};
  sa.sa_handler = OnFatalSignal;
  sigemptyset(&sa.sa_mask);
  for (int s : kCleanupSignals) {
    struct sigaction old {};
    // A signal the caller ignores (nohup, a pipe reader gone with SIGPIPE ignored) stays ignored.
    if (::sigaction(s, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
    ::sigaction(s, &sa, nullptr);
  }
}

std::string OutputPathProblem(const std::string& path, bool append) {
  if (path.empty() || path == "-") return {};
  struct stat st {};
  // Devices and pipes are opened by the name given (the kernel follows its own links, such as
  // /dev/stdout); only a file that is replaced needs the link's target spelt out.
  const bool in_place = ::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode);
  const std::string target = in_place ? path : FollowLinks(path);
  if (::stat(target.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return ErrnoText(EISDIR);
    // A regular file is replaced through a new file in its folder, or appended to in place.
    const bool replaced = S_ISREG(st.st_mode) && !append;
    const std::string& needs = replaced ? Folder(target) : target;
    if (::access(needs.c_str(), replaced ? W_OK | X_OK : W_OK) != 0) return ErrnoText(errno);
    return {};
  }
  if (errno != ENOENT) return ErrnoText(errno);
  const std::string folder = Folder(target);
  if (::stat(folder.c_str(), &st) != 0) return "no folder " + folder + " (" + ErrnoText(errno) + ")";
  if (!S_ISDIR(st.st_mode)) return folder + " is not a folder";
  if (::access(folder.c_str(), W_OK | X_OK) != 0) return ErrnoText(errno);
  return {};
}

std::string InputPathProblem(const std::string& path, bool read_twice) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return ErrnoText(errno);
  if (S_ISDIR(st.st_mode)) return ErrnoText(EISDIR);
  // A pipe or a device gives its rows once: counted first, they would never be sent.
  if (read_twice && !S_ISREG(st.st_mode)) return "not a regular file (its rows are counted before they are sent)";
  if (::access(path.c_str(), R_OK) != 0) return ErrnoText(errno);
  return {};
}

std::string FolderProblem(const std::string& folder) {
  struct stat st {};
  if (::stat(folder.c_str(), &st) != 0) return ErrnoText(errno);
  if (!S_ISDIR(st.st_mode)) return "not a folder";
  if (::access(folder.c_str(), W_OK | X_OK) != 0) return ErrnoText(errno);
  return {};
}

bool SameFile(const std::string& a, const std::string& b) {
  struct stat sa {};
  struct stat sb {};
  return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

bool OutputFile::OpenNamed(const std::string& path) {
  struct stat st {};
  const bool in_place = ::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode);
  target_ = in_place ? path : FollowLinks(path);
  existed_ = ::stat(target_.c_str(), &st) == 0;
  if (existed_ && S_ISDIR(st.st_mode)) {
    errno = EISDIR;
    return false;
  }
  if (existed_ && !S_ISREG(st.st_mode)) {
    // A device or a pipe is never replaced: it is written as it is.
    const int fd = ::open(target_.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return false;
    file_ = ::fdopen(fd, "wb");
    if (file_ == nullptr) {
      const int e = errno;
      ::close(fd);
      errno = e;
      return false;
    }
    owns_ = true;
    return true;
  }
  std::string temp = target_ + kPartialSuffix;
  const int fd = ::mkstemp(temp.data());
  if (fd < 0) return false;
  if (existed_) {
    // The replaced file keeps its mode and, where allowed, its owner.
    ::fchmod(fd, st.st_mode & kModeBits);
    if (::fchown(fd, st.st_uid, st.st_gid) != 0) {
      // Not ours to give away: the new file stays the writer's.
    }
  } else {
    // The mode a plainly created file would get, not mkstemp's owner-only one.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(fd, kNewFileMode & ~mask);
  }
  RemoveOnSignal(signal_slot_, temp);
  file_ = ::fdopen(fd, "wb");
  if (file_ == nullptr) {
    const int e = errno;
    ::close(fd);
    ::unlink(temp.c_str());
    RemoveOnSignal(signal_slot_, {});
    errno = e;
    return false;
  }
  owns_ = true;
  temp_path_ = temp;
  return true;
}

bool RenameOver(const std::string& from, const std::string& to) { return std::rename(from.c_str(), to.c_str()) == 0; }

void RemovePath(const std::string& path) { ::unlink(path.c_str()); }

std::string SystemName(const std::string& name) { return name; }

bool TruncateFile(FILE* file) { return ftruncate(fileno(file), 0) == 0; }

FILE* OpenNamedFile(const std::string& path, const char* mode) { return std::fopen(path.c_str(), mode); }

bool IsFolder(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool MakeFolder(const std::string& path) { return ::mkdir(path.c_str(), kNewFolderMode) == 0 || errno == EEXIST; }

}  // namespace korvane::tools
