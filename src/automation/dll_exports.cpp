// The DLL's entry point and the COM exports (see korvane.def).
#include <windows.h>

#include <cstdlib>
#include <cwctype>
#include <string>

#include "automation/class_table.h"
#include "automation/com_module.h"
#include "automation/com_object.h"
#include "automation/registration.h"
#include "log/addin_trace.h"
#include "log/call_stack.h"
#include "log/diag_log.h"

using namespace korvane;

void KorvaneRdpAddinUnload();  // virtual_channel_entry_win32.cpp

namespace {

std::string AnsiText(const wchar_t* text) {
  if (!text) return "(null)";
  const int n = ::WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (n <= 1) return {};
  std::string out(static_cast<size_t>(n), '\0');
  ::WideCharToMultiByte(CP_ACP, 0, text, -1, out.data(), n, nullptr, nullptr);
  out.resize(static_cast<size_t>(n - 1));
  return out;
}

// The run-time library reports a bad argument to one of its functions here; the add-in trace
// keeps the line. It may run on any thread, in the middle of any call.
void __cdecl TraceInvalidParameter(const wchar_t* expression, const wchar_t* function, const wchar_t* file,
                                   unsigned int line, uintptr_t) {
  com::Quietly([&] {
    AddinTrace::Instance().TraceInvalidParameter(AnsiText(function), AnsiText(file), static_cast<int>(line),
                                                 AnsiText(expression));
  });
}

}  // namespace

// Loading does as little as the loader lock allows: no Winsock, no COM, no threads.
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_ATTACH) {
    com::SetModuleHandleFromDllMain(instance);
    ::DisableThreadLibraryCalls(instance);
    CreateCallStackRegistry();
    CreateDumpLock();
    // Only a pointer is stored: nothing is loaded or started under the loader lock.
    _set_invalid_parameter_handler(&TraceInvalidParameter);
  } else if (reason == DLL_PROCESS_DETACH && reserved == nullptr) {
    // The process goes on without this code: leave no handler pointing into it.
    if (_get_invalid_parameter_handler() == &TraceInvalidParameter) _set_invalid_parameter_handler(nullptr);
    // Unloaded by FreeLibrary; at process exit the other threads are gone already.
    KorvaneRdpAddinUnload();
  }
  return TRUE;
}

extern "C" HRESULT WINAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  return com::Boundary([&] {
    const com::ClassEntry* entry = com::FindClass(clsid);
    if (!entry) return CLASS_E_CLASSNOTAVAILABLE;
    return com::GetClassFactory(*entry, iid, out);
  });
}

extern "C" HRESULT WINAPI DllCanUnloadNow() { return com::ModuleCount() == 0 ? S_OK : S_FALSE; }

extern "C" HRESULT WINAPI DllRegisterServer() {
  return com::Boundary([] { return com::RegisterServer(com::RegistrationScope::kMachine); });
}

extern "C" HRESULT WINAPI DllUnregisterServer() {
  return com::Boundary([] { return com::UnregisterServer(com::RegistrationScope::kMachine); });
}

// regsvr32 /n /i:user registers for the current user only; an empty command line is the
// machine registration.
extern "C" HRESULT WINAPI DllInstall(BOOL install, LPCWSTR command_line) {
  return com::Boundary([&] {
    std::wstring scope = command_line ? command_line : L"";
    for (wchar_t& c : scope) c = static_cast<wchar_t>(std::towlower(c));
    com::RegistrationScope target;
    if (scope.empty())
      target = com::RegistrationScope::kMachine;
    else if (scope == L"user")
      target = com::RegistrationScope::kUser;
    else
      return E_INVALIDARG;
    return install ? com::RegisterServer(target) : com::UnregisterServer(target);
  });
}
