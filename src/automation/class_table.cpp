#include "automation/class_table.h"

#include <iterator>

#include "automation/com_object.h"
#include "automation/korvane_idl.h"
#include "automation/korvanex.h"
#include "automation/ostrel.h"
#include "automation/ostrel_strings.h"
#include "automation/port_enumeration.h"

namespace korvane::com {

namespace {

const ClassEntry kClasses[] = {
    {&CLSID_KorvaneX, L"Zyl.KorvaneX.1", L"Zyl.KorvaneX", L"KorvaneX Class", false, &CreateKorvaneX},
    {&CLSID_KorvaneX2, L"Zyl.KorvaneX2.1", L"Zyl.KorvaneX2", L"KorvaneX2 Class", true, &CreateObject<CKorvaneX2>},
    {&CLSID_OstrelStrings, L"Zyl.OstrelStrings.1", L"Zyl.OstrelStrings", L"OstrelStrings Class", true,
     &CreateObject<COstrelStrings>},
    {&CLSID_Ostrel, L"Zyl.Ostrel.1", L"Zyl.Ostrel", L"Ostrel Class", true, &CreateObject<COstrel>},
    {&CLSID_Ostrel2, L"Zyl.Ostrel2.1", L"Zyl.Ostrel2", L"Ostrel2 Class", false, &CreateObject<COstrel2>},
    {&CLSID_EnumHelper, L"Zyl.EnumHelper.1", L"Zyl.EnumHelper", L"EnumHelper Class", false, &CreateObject<CEnumHelper>},
    {&CLSID_WCEPortDesc, L"Korvane.WCEPortDesc.1", L"Korvane.WCEPortDesc", L"WCEPortDesc Class", false,
     &CreateObject<CWCEPortDesc>},
    {&CLSID_WCEPortSet, L"Korvane.WCEPortSet.1", L"Korvane.WCEPortSet", L"WCEPortSet Class", false,
     &CreateObject<CWCEPortSet>},
};

// One factory per class for the life of the process. Factories do not keep the library loaded:
// COM may cache them (a multithreaded client's host apartment does); only LockServer counts.
class ClassFactory final : public IClassFactory {
 public:
  const ClassEntry* entry = nullptr;

  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IClassFactory)) {
      *out = static_cast<IClassFactory*>(this);
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return 2; }
  STDMETHODIMP_(ULONG) Release() override { return 1; }
  STDMETHODIMP CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
    return entry->create(outer, iid, out);
  }
  STDMETHODIMP LockServer(BOOL lock) override {
    if (lock)
      ModuleAddRef();
    else
      ModuleRelease();
    return S_OK;
  }
};

ClassFactory g_factories[std::size(kClasses)];

}  // namespace

std::span<const ClassEntry> Classes() { return kClasses; }

const ClassEntry* FindClass(REFCLSID clsid) {
  for (const ClassEntry& entry : kClasses)
    if (IsEqualCLSID(*entry.clsid, clsid)) return &entry;
  return nullptr;
}

HRESULT GetClassFactory(const ClassEntry& entry, REFIID iid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  ClassFactory& factory = g_factories[static_cast<size_t>(&entry - kClasses)];
  factory.entry = &entry;
  return factory.QueryInterface(iid, out);
}

}  // namespace korvane::com
