// The Win32 back ends of the platform layer that no portable test reaches: registry settings,
// system error texts, exclusive appends, file times and the default log folder.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <thread>

#include "platform/dynamic_library.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/settings.h"
#include "platform/thread_id.h"
#include "support/temp_dir.h"

namespace korvane {
namespace {

// A registry key of its own under HKEY_CURRENT_USER, removed afterwards.
class ScratchKey {
 public:
  ScratchKey() : path_("Software\\KorvaneTests\\" + std::to_string(::GetCurrentProcessId())) {
    ::RegCreateKeyExA(HKEY_CURRENT_USER, path_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key_, nullptr);
  }
  ~ScratchKey() {
    if (key_) ::RegCloseKey(key_);
    ::RegDeleteKeyA(HKEY_CURRENT_USER, path_.c_str());
  }
  const std::string& Path() const { return path_; }
  void Set(const char* name, DWORD type, const void* data, DWORD size) {
    ::RegSetValueExA(key_, name, 0, type, static_cast<const BYTE*>(data), size);
  }

 private:
  std::string path_;
  HKEY key_ = nullptr;
};

TEST(Win32Settings, ReadsStringsAndDwordsOfTheirOwnTypeOnly) {
  ScratchKey key;
  const char file[] = "C:\\logs\\addin.log";
  const DWORD level = 2;
  const BYTE blob[] = {1, 2, 3, 4};
  key.Set("LogFile", REG_SZ, file, sizeof file);
  key.Set("LogTraceLevel", REG_DWORD, &level, sizeof level);
  key.Set("Blob", REG_BINARY, blob, sizeof blob);
  // Stored without its terminator, as some writers do.
  key.Set("Bare", REG_SZ, "COM3", 4);

  auto store = OpenUserRegistryKey(key.Path());
  ASSERT_NE(store, nullptr);
  std::string s = "unchanged";
  uint32_t d = 77;
  EXPECT_TRUE(store->ReadString("LogFile", s));
  EXPECT_EQ(s, file);
  EXPECT_TRUE(store->ReadString("Bare", s));
  EXPECT_EQ(s, "COM3");
  EXPECT_TRUE(store->ReadDword("LogTraceLevel", d));
  EXPECT_EQ(d, 2u);

  s = "unchanged";
  d = 77;
  EXPECT_FALSE(store->ReadString("LogTraceLevel", s));
  EXPECT_FALSE(store->ReadDword("LogFile", d));
  EXPECT_FALSE(store->ReadDword("Blob", d));
  EXPECT_FALSE(store->ReadString("Missing", s));
  EXPECT_EQ(s, "unchanged");
  EXPECT_EQ(d, 77u);
}

TEST(Win32Settings, MissingKeyReadsNothing) {
  auto store = OpenUserRegistryKey("Software\\KorvaneTests\\NoSuchKey\\Anywhere");
  ASSERT_NE(store, nullptr);
  std::string s;
  uint32_t d = 0;
  EXPECT_FALSE(store->ReadString("LogFile", s));
  EXPECT_FALSE(store->ReadDword("LogTraceLevel", d));
}

TEST(Win32Errors, SystemTextsCarryNoLineEnd) {
  for (uint32_t err : {kErrFileNotFound, kErrAccessDenied, kErrInvalidHandle}) {
    const std::string text = SystemErrorText(err);
    EXPECT_FALSE(text.empty()) << err;
    if (!text.empty()) {
      EXPECT_NE(text.back(), '\n') << err;
      EXPECT_NE(text.back(), '\r') << err;
    }
  }
  EXPECT_EQ(SerialOpenErrorHint("COM1", kErrAccessDenied), "");
}

TEST(Win32Files, ExclusiveAppendYieldsToAnotherWriterButNotToReaders) {
  test::TempDir dir;
  const std::string path = dir.File("addin.log");
  ASSERT_TRUE(AppendExclusive(path, "one\r\n"));

  HANDLE reader = ::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                0, nullptr);
  ASSERT_NE(reader, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(AppendExclusive(path, "two\r\n"));
  ::CloseHandle(reader);

  HANDLE writer = ::CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(writer, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(AppendExclusive(path, "lost\r\n"));
  ::CloseHandle(writer);

  EXPECT_EQ(test::ReadFileBytes(path), "one\r\ntwo\r\n");
}

TEST(Win32Files, TextAppendWritesCrLfAndBinaryWritesAsGiven) {
  test::TempDir dir;
  const std::string path = dir.File("korvane.log");
  ASSERT_TRUE(AppendToFile(path, "a\nb\n", true));
  ASSERT_TRUE(AppendToFile(path, "c\n", false));
  EXPECT_EQ(test::ReadFileBytes(path), "a\r\nb\r\nc\n");
}

TEST(Win32Files, LastWriteTimeIsLocalAndMoveNeverReplaces) {
  test::TempDir dir;
  const std::string path = dir.File("addin.log");
  test::WriteFileBytes(path, "x");
  SYSTEMTIME local{};
  local.wYear = 2025;
  local.wMonth = 3;
  local.wDay = 5;
  local.wHour = 10;
  local.wMinute = 20;
  local.wSecond = 30;
  SYSTEMTIME utc{};
  FILETIME ft{};
  ASSERT_TRUE(::TzSpecificLocalTimeToSystemTime(nullptr, &local, &utc));
  ASSERT_TRUE(::SystemTimeToFileTime(&utc, &ft));
  HANDLE h = ::CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(::SetFileTime(h, nullptr, nullptr, &ft));
  ::CloseHandle(h);

  LocalTime t;
  ASSERT_TRUE(FileLastWriteLocalTime(path, t));
  EXPECT_EQ(t.year, 2025u);
  EXPECT_EQ(t.month, 3u);
  EXPECT_EQ(t.day, 5u);
  EXPECT_EQ(t.hour, 10u);
  EXPECT_EQ(t.minute, 20u);
  EXPECT_EQ(t.second, 30u);
  EXPECT_FALSE(FileLastWriteLocalTime(dir.File("missing.log"), t));

  const std::string dated = dir.File("addin_2025_03_05.log");
  test::WriteFileBytes(dated, "old");
  EXPECT_FALSE(MoveFileTo(path, dated));
  EXPECT_EQ(test::ReadFileBytes(dated), "old");
  ASSERT_TRUE(RemoveFile(dated));
  EXPECT_TRUE(MoveFileTo(path, dated));
  EXPECT_FALSE(FileExists(path));
  EXPECT_EQ(test::ReadFileBytes(dated), "x");
}

TEST(Win32Files, LogsGoToTheDriveRootUnlessAFolderIsGiven) {
  const char* before = std::getenv("KORVANE_LOG_DIR");
  const std::string saved = before ? before : "";
  ::_putenv_s("KORVANE_LOG_DIR", "");
  EXPECT_EQ(LogDirectory(), "C:\\");
  EXPECT_EQ(LogFilePath("korvane.log"), "C:\\korvane.log");
  ::_putenv_s("KORVANE_LOG_DIR", "D:\\logs");
  EXPECT_EQ(LogFilePath("korvdump.txt"), "D:\\logs\\korvdump.txt");
  ::_putenv_s("KORVANE_LOG_DIR", saved.c_str());
  EXPECT_EQ(PathSeparator(), '\\');
}

TEST(Win32Files, EnsureDirectoryMakesNestedFolders) {
  test::TempDir dir;
  const std::string nested = dir.Path() + "\\a\\b\\c";
  ASSERT_TRUE(EnsureDirectory(nested));
  EXPECT_TRUE(EnsureDirectory(nested));
  const DWORD attrs = ::GetFileAttributesA(nested.c_str());
  ASSERT_NE(attrs, INVALID_FILE_ATTRIBUTES);
  EXPECT_TRUE(attrs & FILE_ATTRIBUTE_DIRECTORY);
}

TEST(Win32Runtime, LoadsLibrariesAndNumbersThreads) {
  DynamicLibrary kernel;
  ASSERT_TRUE(kernel.Load("kernel32.dll"));
  EXPECT_NE(kernel.Symbol("GetTickCount"), nullptr);
  EXPECT_EQ(kernel.Symbol("NoSuchEntryPoint"), nullptr);
  DynamicLibrary missing;
  EXPECT_FALSE(missing.Load("korvane_no_such_library.dll"));
  EXPECT_EQ(missing.Symbol("GetTickCount"), nullptr);

  const uint32_t mine = CurrentThreadId();
  EXPECT_EQ(mine, ::GetCurrentThreadId());
  uint32_t other = mine;
  std::thread([&] { other = CurrentThreadId(); }).join();
  EXPECT_NE(other, mine);
}

}  // namespace
}  // namespace korvane
