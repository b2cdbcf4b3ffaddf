// The server end of a terminal-server virtual channel: the four functions of wtsapi32.dll,
// loaded at run time for each channel object so the library runs where they are missing.
#pragma once
#include <cstdint>
#include <memory>
#include <string>

namespace korvane {

// What a channel read reports when nothing arrived within its wait.
constexpr uint32_t kErrIoIncomplete = 996;

class WtsChannelApi {
 public:
  using Handle = void*;
  virtual ~WtsChannelApi() = default;
  // Opens `channel_name` of the current session on the current server; null with `err` on failure.
  virtual Handle Open(const std::string& channel_name, uint32_t& err) = 0;
  virtual bool Close(Handle channel) = 0;
  // One chunk with its 8-byte header, waiting up to `timeout_ms`.
  virtual bool Read(Handle channel, uint32_t timeout_ms, uint8_t* buffer, uint32_t size, uint32_t& read,
                    uint32_t& err) = 0;
  virtual bool Write(Handle channel, const uint8_t* data, uint32_t length, uint32_t& written, uint32_t& err) = 0;
};

// The system's functions, or null when the library or one of them is missing (always on builds
// without terminal services).
std::unique_ptr<WtsChannelApi> LoadWtsChannelApi();

// 8-bit text in the thread's ANSI code page from UTF-16 (a server name handed over by the
// Remote Desktop client); characters the code page lacks become '?'.
std::string AnsiFromUtf16(const char16_t* text, size_t length);

}  // namespace korvane
