// The creatable classes of the library, in registration order, and their class factories.
#pragma once
#include <windows.h>
#include <unknwn.h>

#include <span>

namespace korvane::com {

using CreateFunction = HRESULT (*)(IUnknown*, REFIID, void**);

struct ClassEntry {
  const CLSID* clsid;
  const wchar_t* prog_id;
  const wchar_t* version_independent_prog_id;
  const wchar_t* description;
  bool app_id;  // "AppID" value on the class key
  CreateFunction create;
};

std::span<const ClassEntry> Classes();
const ClassEntry* FindClass(REFCLSID clsid);

// The class factory of `entry`.
HRESULT GetClassFactory(const ClassEntry& entry, REFIID iid, void** out);

}  // namespace korvane::com
