// rapi.dll behind the portable table: the library's calls have the system's calling convention and
// types, so each table entry is a small adapter over the resolved function.
#include <windows.h>

#include <cstddef>

#include "platform/remote_api.h"

namespace korvane {

namespace {

// The library ships no header with the compilers used here; these are its declarations.
struct SystemRapiInit {
  DWORD cbSize;
  HANDLE heRapiInit;
  HRESULT hrRapiInit;
};
static_assert(sizeof(SystemRapiInit) == sizeof(RapiInitRecord));
static_assert(offsetof(SystemRapiInit, heRapiInit) == offsetof(RapiInitRecord, start_event));
static_assert(offsetof(SystemRapiInit, hrRapiInit) == offsetof(RapiInitRecord, result));
static_assert(sizeof(wchar_t) == sizeof(char16_t));

using InitFn = HRESULT(WINAPI*)();
using InitExFn = HRESULT(WINAPI*)(SystemRapiInit*);
using UninitFn = HRESULT(WINAPI*)();
using CloseKeyFn = LONG(WINAPI*)(HKEY);
using OpenKeyFn = LONG(WINAPI*)(HKEY, LPCWSTR, DWORD, REGSAM, PHKEY);
using SetValueFn = LONG(WINAPI*)(HKEY, LPCWSTR, DWORD, DWORD, const BYTE*, DWORD);
using LastErrorFn = DWORD(WINAPI*)();

constexpr const char* kLibraryName = "rapi.dll";

// Never freed by a destructor: that would run under the loader lock when korvane.dll unloads.
struct Loaded {
  HMODULE module = nullptr;
  InitFn init = nullptr;
  InitExFn init_ex = nullptr;
  UninitFn uninit = nullptr;
  CloseKeyFn close_key = nullptr;
  OpenKeyFn open_key = nullptr;
  SetValueFn set_value = nullptr;
  LastErrorFn last_error = nullptr;
} g_rapi;

template <typename Fn>
Fn Proc(const char* name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(::GetProcAddress(g_rapi.module, name)));
}

int32_t Init() { return g_rapi.init(); }
int32_t InitEx(RapiInitRecord* init) { return g_rapi.init_ex(reinterpret_cast<SystemRapiInit*>(init)); }
int32_t Uninit() { return g_rapi.uninit(); }
int32_t CloseKey(RapiHandle key) { return g_rapi.close_key(static_cast<HKEY>(key)); }
int32_t OpenKey(RapiHandle root, const char16_t* subkey, uint32_t options, uint32_t access, RapiHandle* key) {
  HKEY opened = nullptr;
  const LONG r = g_rapi.open_key(static_cast<HKEY>(root), reinterpret_cast<LPCWSTR>(subkey), options, access, &opened);
  *key = opened;
  return r;
}
int32_t SetValue(RapiHandle key, const char16_t* name, uint32_t reserved, uint32_t type, const uint8_t* data,
                 uint32_t size) {
  return g_rapi.set_value(static_cast<HKEY>(key), reinterpret_cast<LPCWSTR>(name), reserved, type, data, size);
}
uint32_t LastError() { return g_rapi.last_error(); }
bool WaitEvent(RapiHandle event, uint32_t timeout_ms) {
  return ::WaitForSingleObject(static_cast<HANDLE>(event), timeout_ms) == WAIT_OBJECT_0;
}
void CloseEvent(RapiHandle event) { ::CloseHandle(static_cast<HANDLE>(event)); }

}  // namespace

bool LoadSystemRapi() {
  if (!g_rapi.module) g_rapi.module = ::LoadLibraryA(kLibraryName);
  return g_rapi.module != nullptr;
}

void ResolveSystemRapi(RapiEntryPoints& table) {
  table = {};
  if (!g_rapi.module) return;
  g_rapi.init = Proc<InitFn>("CeRapiInit");
  g_rapi.init_ex = Proc<InitExFn>("CeRapiInitEx");
  g_rapi.uninit = Proc<UninitFn>("CeRapiUninit");
  g_rapi.close_key = Proc<CloseKeyFn>("CeRegCloseKey");
  g_rapi.open_key = Proc<OpenKeyFn>("CeRegOpenKeyEx");
  g_rapi.set_value = Proc<SetValueFn>("CeRegSetValueEx");
  g_rapi.last_error = Proc<LastErrorFn>("CeGetLastError");
  if (g_rapi.init) table.CeRapiInit = Init;
  if (g_rapi.init_ex) table.CeRapiInitEx = InitEx;
  if (g_rapi.uninit) table.CeRapiUninit = Uninit;
  if (g_rapi.close_key) table.CeRegCloseKey = CloseKey;
  if (g_rapi.open_key) table.CeRegOpenKeyEx = OpenKey;
  if (g_rapi.set_value) table.CeRegSetValueEx = SetValue;
  if (g_rapi.last_error) table.CeGetLastError = LastError;
  table.WaitEvent = WaitEvent;
  table.CloseEvent = CloseEvent;
}

void UnloadSystemRapi() {
  if (g_rapi.module) ::FreeLibrary(g_rapi.module);
  g_rapi = Loaded{};
}

}  // namespace korvane
