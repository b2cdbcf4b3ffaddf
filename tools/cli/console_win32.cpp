#include "console_win32.h"

#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <string>

#include "console.h"

namespace korvane::tools {

namespace {

constexpr int kOutputDescriptors[] = {1, 2};
constexpr DWORD kStandardHandles[] = {STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
constexpr DWORD kReadChunk = 4096;
constexpr DWORD kRelayDrainMs = 5000;
// The progress bar's clear-to-end-of-line, for a console that takes no escape sequences.
constexpr std::string_view kEraseLine = "\x1b[K";

struct Relay {
  bool console[3] = {};  // by descriptor, as found before the relay took them
  HANDLE target = INVALID_HANDLE_VALUE;
  HANDLE read_end = nullptr;
  bool escapes = false;  // the console interprets ANSI sequences itself
  HANDLE writer = nullptr;
};
Relay g_relay;

bool IsConsoleHandle(HANDLE h) {
  DWORD mode = 0;
  return h != nullptr && h != INVALID_HANDLE_VALUE && ::GetConsoleMode(h, &mode) != 0;
}

DWORD WINAPI WriteToConsole(void*) {
  const HANDLE console = g_relay.target;
  const bool escapes = g_relay.escapes;
  Utf8ToUtf16 decoder;
  std::string bytes(kReadChunk, '\0');
  std::u16string text;
  for (;;) {
    DWORD got = 0;
    if (!::ReadFile(g_relay.read_end, bytes.data(), kReadChunk, &got, nullptr) || got == 0) break;
    std::string piece(bytes.data(), got);
    if (!escapes) {
      for (size_t at = piece.find(kEraseLine); at != std::string::npos; at = piece.find(kEraseLine, at))
        piece.erase(at, kEraseLine.size());
    }
    text.clear();
    decoder.Feed(piece, text);
    DWORD written = 0;
    if (!text.empty()) ::WriteConsoleW(console, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  }
  return 0;
}

}  // namespace

bool IsTerminal(FILE* stream) {
  const int fd = ::_fileno(stream);
  if (fd >= 1 && fd <= 2 && g_relay.console[fd]) return true;
  return IsConsoleHandle(reinterpret_cast<HANDLE>(::_get_osfhandle(fd)));
}

void StartConsoleRelay() {
  // Text mode would add a CR before every LF: rows already end in CR LF, and redirected output
  // stays byte for byte what the tool wrote, as on Linux.
  for (int fd : kOutputDescriptors) ::_setmode(fd, _O_BINARY);
  for (size_t i = 0; i < 2; ++i) {
    const HANDLE h = ::GetStdHandle(kStandardHandles[i]);
    if (!IsConsoleHandle(h)) continue;
    g_relay.console[kOutputDescriptors[i]] = true;
    if (g_relay.target == INVALID_HANDLE_VALUE) g_relay.target = h;
  }
  if (g_relay.target == INVALID_HANDLE_VALUE) return;
  // _dup2 below closes the handles the descriptors held: the relay writes through its own.
  HANDLE own = nullptr;
  if (!::DuplicateHandle(::GetCurrentProcess(), g_relay.target, ::GetCurrentProcess(), &own, 0, FALSE,
                         DUPLICATE_SAME_ACCESS)) {
    g_relay = {};
    return;
  }
  g_relay.target = own;
  DWORD mode = 0;
  ::GetConsoleMode(g_relay.target, &mode);
  g_relay.escapes = ::SetConsoleMode(g_relay.target, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
  HANDLE write_end = nullptr;
  if (!::CreatePipe(&g_relay.read_end, &write_end, nullptr, 0)) {
    ::CloseHandle(own);
    g_relay = {};
    return;
  }
  const int pipe_fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(write_end), _O_BINARY | _O_WRONLY);
  for (int fd : kOutputDescriptors) {
    if (!g_relay.console[fd]) continue;
    std::fflush(fd == 1 ? stdout : stderr);
    ::_dup2(pipe_fd, fd);
    ::_setmode(fd, _O_BINARY);
  }
  ::_close(pipe_fd);
  // Unbuffered: what goes to stdout and stderr reaches the console in the order it was written.
  if (g_relay.console[1]) std::setvbuf(stdout, nullptr, _IONBF, 0);
  g_relay.writer = ::CreateThread(nullptr, 0, WriteToConsole, nullptr, 0, nullptr);
}

void StopConsoleRelay() {
  if (g_relay.writer == nullptr) return;
  std::fflush(stdout);
  std::fflush(stderr);
  // The writer ends when the last write end of the pipe is closed.
  for (int fd : kOutputDescriptors)
    if (g_relay.console[fd]) ::_close(fd);
  if (::WaitForSingleObject(g_relay.writer, kRelayDrainMs) == WAIT_OBJECT_0) {
    ::CloseHandle(g_relay.read_end);
    ::CloseHandle(g_relay.target);
  }
  ::CloseHandle(g_relay.writer);
  g_relay.writer = nullptr;
}

}  // namespace korvane::tools
