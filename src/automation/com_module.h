// What the whole DLL shares: its module handle, the count of live objects and factory locks that
// DllCanUnloadNow reads, and the type library embedded as resource 1.
#pragma once
#include <windows.h>
#include <oaidl.h>

#include <atomic>
#include <string>

namespace korvane::com {

// The module that holds this code (the DLL, or a test program linking the objects in).
HMODULE ModuleHandle();
void SetModuleHandleFromDllMain(HMODULE module);
// Full path of this module, however long; empty only when the system cannot tell it.
std::wstring ModulePath();

// Every object, enumerator and factory lock handed out counts here.
void ModuleAddRef();
void ModuleRelease();
long ModuleCount();

// Type information of one interface of the embedded library, loaded once per process and kept.
// Null with the failure in `hr` when the library cannot be loaded.
ITypeInfo* TypeInfoOf(REFIID iid, HRESULT* hr = nullptr);
HRESULT LoadEmbeddedTypeLib(ITypeLib** lib);

// Counts one module reference for the life of the holder.
class ModuleReference {
 public:
  ModuleReference() { ModuleAddRef(); }
  ~ModuleReference() { ModuleRelease(); }
  ModuleReference(const ModuleReference&) = delete;
  ModuleReference& operator=(const ModuleReference&) = delete;
};

}  // namespace korvane::com
