// The DLL's entry point and the COM exports (see korvane.def).
#include <windows.h>

#include <cwctype>
#include <string>

#include "automation/class_table.h"
#include "automation/com_module.h"
#include "automation/com_object.h"
#include "automation/invalid_parameter_trace.h"
#include "automation/registration.h"
#include "log/call_stack.h"
#include "log/diag_log.h"
#include "log/frame_trace.h"

using namespace korvane;

void KorvaneRdpAddinUnload();  // virtual_channel_entry_win32.cpp

// Loading does as little as the loader lock allows: no Winsock, no COM, no threads.
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_ATTACH) {
    com::SetModuleHandleFromDllMain(instance);
    ::DisableThreadLibraryCalls(instance);
    CreateCallStackRegistry();
    CreateDumpLock();
    OpenFrameTraceFromEnvironment();
    // Only a pointer is stored: nothing is loaded or started under the loader lock.
    com::InstallInvalidParameterTrace(com::RunTimeInvalidParameterSetter());
  } else if (reason == DLL_PROCESS_DETACH && reserved == nullptr) {
    // The process goes on without this code: leave no handler pointing into it.
    com::UninstallInvalidParameterTrace(com::RunTimeInvalidParameterSetter());
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
