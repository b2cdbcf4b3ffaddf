#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/files.h"

namespace korvane {

namespace {
constexpr const char* kDefaultLogDirectory = "C:\\";

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

bool WriteAll(HANDLE h, std::string_view data) {
  size_t off = 0;
  while (off < data.size()) {
    DWORD n = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(data.size() - off, 1u << 30));
    if (!::WriteFile(h, data.data() + off, chunk, &n, nullptr) || n == 0) return false;
    off += n;
  }
  return true;
}

}  // namespace

bool AppendToFile(const std::string& path, std::string_view data, bool text_mode) {
  HANDLE h = ::CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  bool ok = text_mode ? WriteAll(h, ToTextModeBytes(data)) : WriteAll(h, data);
  ::CloseHandle(h);
  return ok;
}

bool AppendExclusive(const std::string& path, std::string_view data) {
  // Readers may look on; a second writer fails its open and loses its line.
  HANDLE h = ::CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  bool ok = ::SetFilePointer(h, 0, nullptr, FILE_END) != INVALID_SET_FILE_POINTER && WriteAll(h, data);
  ::CloseHandle(h);
  return ok;
}

bool FileLastWriteLocalTime(const std::string& path, LocalTime& out) {
  HANDLE h = ::CreateFileA(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  FILETIME written{};
  const bool got = ::GetFileTime(h, nullptr, nullptr, &written) != 0;
  ::CloseHandle(h);
  if (!got) return false;
  SYSTEMTIME utc{}, local{};
  if (!::FileTimeToSystemTime(&written, &utc) || !::SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local))
    return false;
  out.year = local.wYear;
  out.month = local.wMonth;
  out.day = local.wDay;
  out.hour = local.wHour;
  out.minute = local.wMinute;
  out.second = local.wSecond;
  out.millisecond = local.wMilliseconds;
  return true;
}

bool MoveFileTo(const std::string& from, const std::string& to) { return ::MoveFileA(from.c_str(), to.c_str()) != 0; }

bool RemoveFile(const std::string& path) { return ::DeleteFileA(path.c_str()) != 0; }

char PathSeparator() { return '\\'; }

std::string LogDirectory() {
  if (const char* d = std::getenv("KORVANE_LOG_DIR"); d && *d) return d;
  return kDefaultLogDirectory;
}

std::string LogFilePath(std::string_view name) {
  std::string dir = LogDirectory();
  if (!dir.empty() && !IsSeparator(dir.back())) dir.push_back('\\');
  return dir + std::string(name);
}

bool EnsureDirectory(const std::string& dir) {
  if (dir.empty()) return false;
  for (size_t i = 0; i <= dir.size(); ++i) {
    if (i != dir.size() && !(IsSeparator(dir[i]) && i > 0)) continue;
    const std::string partial = dir.substr(0, i);
    // A drive ("C:") or a trailing separator is no folder to create.
    if (partial.empty() || partial.back() == ':' || IsSeparator(partial.back())) continue;
    if (!::CreateDirectoryA(partial.c_str(), nullptr) && ::GetLastError() != ERROR_ALREADY_EXISTS) return false;
  }
  return true;
}

}  // namespace korvane
