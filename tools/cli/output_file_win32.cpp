// Windows half of the tools' files. Names arrive as UTF-8 and are opened by their wide form; errors
// are given errno values so messages read as on Linux ("No such file or directory").
#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include "output_file.h"
#include "output_file_platform.h"
#include "wide_text.h"

namespace korvane::tools {

namespace {

constexpr const char* kPartialSuffix = ".partial-";
constexpr int kStandardDescriptors = 3;
constexpr int kNameAttempts = 100;

// The partial files a console interrupt must remove, by slot; the handler runs on a thread of its own.
std::mutex g_partial_lock;
std::vector<std::wstring> g_partial;

int ErrnoOf(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_NETPATH: return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_WRITE_PROTECT: return EACCES;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS: return EEXIST;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: return ENOSPC;
    default: return EIO;
  }
}

std::string LastErrorText() {
  errno = ErrnoOf(::GetLastError());
  return std::strerror(errno);
}

BOOL WINAPI OnConsoleInterrupt(DWORD) {
  std::lock_guard<std::mutex> hold(g_partial_lock);
  for (const std::wstring& path : g_partial)
    if (!path.empty()) ::DeleteFileW(path.c_str());
  return FALSE;  // the default handler ends the process
}

std::string Folder(const std::string& path) {
  const auto slash = path.find_last_of("\\/");
  if (slash == std::string::npos) return ".";
  return slash == 0 || (slash == 2 && path[1] == ':') ? path.substr(0, slash + 1) : path.substr(0, slash);
}

DWORD Attributes(const std::string& path) { return ::GetFileAttributesW(Wide(path).c_str()); }

bool Exists(DWORD attributes) { return attributes != INVALID_FILE_ATTRIBUTES; }
bool IsDirectory(DWORD attributes) { return Exists(attributes) && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }

// A disk file (as opposed to a device such as NUL, CON or COM1, written in place).
bool IsDiskFile(const std::string& path) {
  HANDLE h = ::CreateFileW(Wide(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  const bool disk = ::GetFileType(h) == FILE_TYPE_DISK;
  ::CloseHandle(h);
  return disk;
}

// Why `path` cannot be opened with `access`, empty when it can.
std::string OpenProblem(const std::string& path, DWORD access) {
  HANDLE h = ::CreateFileW(Wide(path).c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return LastErrorText();
  ::CloseHandle(h);
  return {};
}

FILE* StreamOf(HANDLE h, const char* mode) {
  const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(h), _O_BINARY);
  if (fd < 0) {
    ::CloseHandle(h);
    return nullptr;
  }
  FILE* f = ::_fdopen(fd, mode);
  if (f == nullptr) ::_close(fd);
  return f;
}

}  // namespace

void RemoveOnSignal(int& slot, const std::string& path) {
  std::lock_guard<std::mutex> hold(g_partial_lock);
  if (path.empty()) {
    if (slot >= 0) g_partial[slot].clear();
    slot = -1;
    return;
  }
  if (slot < 0) {
    const auto free = std::find(g_partial.begin(), g_partial.end(), std::wstring());
    slot = static_cast<int>(free - g_partial.begin());
    if (free == g_partial.end()) g_partial.emplace_back();
  }
  g_partial[slot] = Wide(path);
}

bool RenameOver(const std::string& from, const std::string& to) {
  if (::MoveFileExW(Wide(from).c_str(), Wide(to).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    return true;
  errno = ErrnoOf(::GetLastError());
  return false;
}

void RemovePath(const std::string& path) { ::DeleteFileW(Wide(path).c_str()); }

std::string SystemName(const std::string& name) { return Narrow(Wide(name), kAnsiCodePage); }

bool TruncateFile(FILE* file) { return ::_chsize(::_fileno(file), 0) == 0; }

FILE* OpenNamedFile(const std::string& path, const char* mode) {
  return ::_wfopen(Wide(path).c_str(), Wide(mode).c_str());
}

bool IsFolder(const std::string& path) { return IsDirectory(Attributes(path)); }

bool MakeFolder(const std::string& path) {
  return ::CreateDirectoryW(Wide(path).c_str(), nullptr) || ::GetLastError() == ERROR_ALREADY_EXISTS;
}

bool EnsureStandardDescriptors() {
  for (int fd = 0; fd < kStandardDescriptors; ++fd) {
    if (::_get_osfhandle(fd) != -1) continue;
    const int opened = ::_open("NUL", fd == 0 ? _O_RDONLY : _O_WRONLY);
    if (opened < 0) return false;
    if (opened != fd) {
      if (::_dup2(opened, fd) != 0) return false;
      ::_close(opened);
    }
  }
  return true;
}

void InstallInterruptCleanup() { ::SetConsoleCtrlHandler(OnConsoleInterrupt, TRUE); }

std::string OutputPathProblem(const std::string& path, bool append) {
  if (path.empty() || path == "-") return {};
  const DWORD attributes = Attributes(path);
  if (IsDirectory(attributes)) return std::strerror(EISDIR);
  // A disk file is replaced through a new file in its folder (whose rights Windows checks when it
  // is made), or appended to in place; a device is written in place.
  if (Exists(attributes)) return append || !IsDiskFile(path) ? OpenProblem(path, GENERIC_WRITE) : std::string();
  const std::string folder = Folder(path);
  const DWORD folder_attributes = Attributes(folder);
  if (!Exists(folder_attributes)) return "no folder " + folder + " (" + LastErrorText() + ")";
  if (!IsDirectory(folder_attributes)) return folder + " is not a folder";
  return {};
}

std::string InputPathProblem(const std::string& path, bool read_twice) {
  const DWORD attributes = Attributes(path);
  if (!Exists(attributes)) return LastErrorText();
  if (IsDirectory(attributes)) return std::strerror(EISDIR);
  if (read_twice && !IsDiskFile(path)) return "not a regular file (its rows are counted before they are sent)";
  return OpenProblem(path, GENERIC_READ);
}

std::string FolderProblem(const std::string& folder) {
  const DWORD attributes = Attributes(folder);
  if (!Exists(attributes)) return LastErrorText();
  if (!IsDirectory(attributes)) return "not a folder";
  return {};  // Windows checks the rights when each file is made
}

bool SameFile(const std::string& a, const std::string& b) {
  auto identity = [](const std::string& path, BY_HANDLE_FILE_INFORMATION& info) {
    HANDLE h = ::CreateFileW(Wide(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    const bool ok = ::GetFileInformationByHandle(h, &info) != 0;
    ::CloseHandle(h);
    return ok;
  };
  BY_HANDLE_FILE_INFORMATION ia{};
  BY_HANDLE_FILE_INFORMATION ib{};
  return identity(a, ia) && identity(b, ib) && ia.dwVolumeSerialNumber == ib.dwVolumeSerialNumber &&
         ia.nFileIndexHigh == ib.nFileIndexHigh && ia.nFileIndexLow == ib.nFileIndexLow;
}

bool OutputFile::OpenNamed(const std::string& path) {
  target_ = path;
  const DWORD attributes = Attributes(path);
  existed_ = Exists(attributes);
  if (IsDirectory(attributes)) {
    errno = EISDIR;
    return false;
  }
  if (existed_ && !IsDiskFile(path)) {
    // A device is never replaced: it is written as it is.
    file_ = OpenNamedFile(path, "wb");
    owns_ = file_ != nullptr;
    return owns_;
  }
  static std::atomic<unsigned> serial{0};
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    const std::string temp = target_ + kPartialSuffix + std::to_string(::GetCurrentProcessId()) + "-" +
                             std::to_string(serial.fetch_add(1));
    HANDLE h = ::CreateFileW(Wide(temp).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
      if (::GetLastError() == ERROR_FILE_EXISTS) continue;
      errno = ErrnoOf(::GetLastError());
      return false;
    }
    RemoveOnSignal(signal_slot_, temp);
    file_ = StreamOf(h, "w+b");
    if (file_ == nullptr) {
      const int e = errno;
      RemovePath(temp);
      RemoveOnSignal(signal_slot_, {});
      errno = e;
      return false;
    }
    owns_ = true;
    temp_path_ = temp;
    return true;
  }
  errno = EEXIST;
  return false;
}

}  // namespace korvane::tools
