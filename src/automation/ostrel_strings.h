// The string collection that carries table rows between applications and the library, its
// IEnumVARIANT, and the helper that lets scripts step through any enumerator.
#pragma once
#include <string>
#include <string_view>
#include <vector>

#include "automation/com_object.h"
#include "automation/korvane_idl.h"

namespace korvane::com {

class COstrelStrings final : public ObjectRoot, public DispatchImpl<IOstrelStrings> {
 public:
  explicit COstrelStrings(IUnknown* outer) : ObjectRoot(outer) {}
  HRESULT Initialize() { return S_OK; }
  KORVANE_DELEGATE_IUNKNOWN

  STDMETHODIMP get__NewEnum(IUnknown** ppUnk) override;
  STDMETHODIMP get_Item(LONG Index, BSTR* pVal) override;
  STDMETHODIMP get_Count(LONG* pVal) override;
  STDMETHODIMP Add(BSTR newVal, LONG* pnNewIndex) override;
  STDMETHODIMP Remove(LONG nIndex, LONG* pnItemsCount) override;
  STDMETHODIMP get_Enumerator(IEnumVARIANT** pVal) override;
  STDMETHODIMP Clear() override;

  // The library's own rows enter without conversion. Returns the new row's 0-based index.
  long AppendRow(std::string_view row);
  std::vector<std::string>& Rows() { return rows_; }
  HRESULT NewEnumerator(IEnumVARIANT** out);

 protected:
  void* InterfaceFor(REFIID iid) override;

 private:
  std::vector<std::string> rows_;
};

class CEnumHelper final : public ObjectRoot, public DispatchImpl<IEnumHelper> {
 public:
  explicit CEnumHelper(IUnknown* outer) : ObjectRoot(outer) {}
  HRESULT Initialize() { return S_OK; }
  KORVANE_DELEGATE_IUNKNOWN

  STDMETHODIMP get__NewEnum(IUnknown** ppUnk) override;
  STDMETHODIMP Attach(IEnumVARIANT* pEnumerator) override;
  STDMETHODIMP Detach() override;
  STDMETHODIMP AttachAsUntyped(IUnknown* pEnumerator) override;
  STDMETHODIMP Next(VARIANT* pVar) override;
  STDMETHODIMP Skip(ULONG celt) override;
  STDMETHODIMP Reset() override;
  STDMETHODIMP Clone(IEnumVARIANT** ppEnum) override;

 protected:
  void* InterfaceFor(REFIID iid) override;

 private:
  Ref<IEnumVARIANT> attached_;
};

}  // namespace korvane::com
