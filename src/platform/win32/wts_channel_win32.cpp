#include <windows.h>

#include <wtsapi32.h>

#include "platform/wts_channel.h"

namespace korvane {

namespace {

using OpenFn = HANDLE(WINAPI*)(HANDLE, DWORD, LPSTR);
using CloseFn = BOOL(WINAPI*)(HANDLE);
using ReadFn = BOOL(WINAPI*)(HANDLE, ULONG, PCHAR, ULONG, PULONG);
using WriteFn = BOOL(WINAPI*)(HANDLE, PCHAR, ULONG, PULONG);

class SystemWtsChannelApi final : public WtsChannelApi {
 public:
  ~SystemWtsChannelApi() override {
    if (module_) ::FreeLibrary(module_);
  }

  bool Load() {
    module_ = ::LoadLibraryA("wtsapi32.dll");
    if (!module_) return false;
    open_ = reinterpret_cast<OpenFn>(reinterpret_cast<void*>(::GetProcAddress(module_, "WTSVirtualChannelOpen")));
    close_ = reinterpret_cast<CloseFn>(reinterpret_cast<void*>(::GetProcAddress(module_, "WTSVirtualChannelClose")));
    read_ = reinterpret_cast<ReadFn>(reinterpret_cast<void*>(::GetProcAddress(module_, "WTSVirtualChannelRead")));
    write_ = reinterpret_cast<WriteFn>(reinterpret_cast<void*>(::GetProcAddress(module_, "WTSVirtualChannelWrite")));
    return open_ && close_ && read_ && write_;
  }

  Handle Open(const std::string& channel_name, uint32_t& err) override {
    std::string name = channel_name;  // the function takes a non-const name
    // A failure that sets no error must not report a stale one.
    ::SetLastError(0);
    HANDLE h = open_(WTS_CURRENT_SERVER_HANDLE, WTS_CURRENT_SESSION, name.data());
    if (!h) err = ::GetLastError();
    return h;
  }
  bool Close(Handle channel) override { return close_(channel) != FALSE; }
  bool Read(Handle channel, uint32_t timeout_ms, uint8_t* buffer, uint32_t size, uint32_t& read,
            uint32_t& err) override {
    ULONG got = 0;
    ::SetLastError(0);
    const BOOL ok = read_(channel, timeout_ms, reinterpret_cast<PCHAR>(buffer), size, &got);
    read = got;
    if (!ok) err = ::GetLastError();
    return ok != FALSE;
  }
  bool Write(Handle channel, const uint8_t* data, uint32_t length, uint32_t& written, uint32_t& err) override {
    ULONG put = 0;
    ::SetLastError(0);
    const BOOL ok = write_(channel, reinterpret_cast<PCHAR>(const_cast<uint8_t*>(data)), length, &put);
    written = put;
    if (!ok) err = ::GetLastError();
    return ok != FALSE;
  }

 private:
  HMODULE module_ = nullptr;
  OpenFn open_ = nullptr;
  CloseFn close_ = nullptr;
  ReadFn read_ = nullptr;
  WriteFn write_ = nullptr;
};

}  // namespace

std::unique_ptr<WtsChannelApi> LoadWtsChannelApi() {
  auto api = std::make_unique<SystemWtsChannelApi>();
  if (!api->Load()) return nullptr;
  return api;
}

std::string AnsiFromUtf16(const char16_t* text, size_t length) {
  if (length == 0) return {};
  const auto* wide = reinterpret_cast<const wchar_t*>(text);
  const int n = ::WideCharToMultiByte(CP_THREAD_ACP, 0, wide, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
  if (n <= 0) return {};
  std::string out(static_cast<size_t>(n), '\0');
  ::WideCharToMultiByte(CP_THREAD_ACP, 0, wide, static_cast<int>(length), out.data(), n, nullptr, nullptr);
  return out;
}

}  // namespace korvane
