#include "automation/class_table.h"

#include <iterator>

#include "automation/com_object.h"
#include "automation/korvane_idl.h"
#include "automation/ostrel.h"
#include "automation/ostrel_strings.h"

namespace korvane::com {

namespace {

const ClassEntry kClasses[] = {
    {&CLSID_OstrelStrings, L"Zyl.OstrelStrings.1", L"Zyl.OstrelStrings", L"OstrelStrings Class", true,
     &CreateObject<COstrelStrings>},
    {&CLSID_Ostrel, L"Zyl.Ostrel.1", L"Zyl.Ostrel", L"Ostrel Class", true, &CreateObject<COstrel>},
    {&CLSID_Ostrel2, L"Zyl.Ostrel2.1", L"Zyl.Ostrel2", L"Ostrel2 Class", false, &CreateObject<COstrel2>},
    {&CLSID_EnumHelper, L"Zyl.EnumHelper.1", L"Zyl.EnumHelper", L"EnumHelper Class", false,
     &CreateObject<CEnumHelper>},
};

class ClassFactory final : public ObjectRoot, public IClassFactory {
 public:
  explicit ClassFactory(IUnknown*) : ObjectRoot(nullptr) {}
  HRESULT Initialize() { return S_OK; }
  void Bind(const ClassEntry& entry) { entry_ = &entry; }
  KORVANE_DELEGATE_IUNKNOWN

  STDMETHODIMP CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
    return entry_->create(outer, iid, out);
  }
  STDMETHODIMP LockServer(BOOL lock) override {
    if (lock)
      ModuleAddRef();
    else
      ModuleRelease();
    return S_OK;
  }

 protected:
  void* InterfaceFor(REFIID iid) override {
    return IsEqualIID(iid, IID_IClassFactory) ? static_cast<IClassFactory*>(this) : nullptr;
  }

 private:
  const ClassEntry* entry_ = nullptr;
};

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
  Ref<ClassFactory> factory;
  if (const HRESULT hr = CreateOwned(factory); FAILED(hr)) return hr;
  factory->Bind(entry);
  return factory->Inner()->QueryInterface(iid, out);
}

}  // namespace korvane::com
