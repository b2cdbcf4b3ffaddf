#include "automation/ostrel_strings.h"

#include <algorithm>

#include "automation/bstr_text.h"

namespace korvane::com {

namespace {

// Walks the collection's live sequence: rows added later are seen, rows removed are not read.
class StringsEnumerator final : public ObjectRoot, public IEnumVARIANT {
 public:
  explicit StringsEnumerator(IUnknown*) : ObjectRoot(nullptr) {}
  HRESULT Initialize() { return S_OK; }
  void Bind(COstrelStrings* owner, size_t position) {
    owner_ = Ref<IUnknown>(owner->Controlling());
    rows_ = &owner->Rows();
    position_ = position;
    collection_ = owner;
  }
  KORVANE_DELEGATE_IUNKNOWN

  STDMETHODIMP Next(ULONG celt, VARIANT* rgelt, ULONG* fetched) override {
    if (!rgelt || (celt != 1 && !fetched)) return E_POINTER;
    if (fetched) *fetched = 0;
    return Boundary([&] { return Fetch(celt, rgelt, fetched); });
  }
  HRESULT Fetch(ULONG celt, VARIANT* rgelt, ULONG* fetched) {
    ULONG given = 0;
    for (; given < celt && position_ < rows_->size(); ++given) {
      // Callers may hand in garbage: the variant is initialised, never cleared.
      ::VariantInit(&rgelt[given]);
      BSTR text = nullptr;
      const HRESULT hr = AnsiToBstr((*rows_)[position_], &text);
      if (FAILED(hr)) {
        for (ULONG i = 0; i < given; ++i) ::VariantClear(&rgelt[i]);
        return hr;
      }
      V_VT(&rgelt[given]) = VT_BSTR;
      V_BSTR(&rgelt[given]) = text;
      ++position_;
    }
    if (fetched) *fetched = given;
    return given == celt ? S_OK : S_FALSE;
  }
  STDMETHODIMP Skip(ULONG celt) override {
    const size_t left = position_ < rows_->size() ? rows_->size() - position_ : 0;
    if (celt > left) {
      position_ = std::max(position_, rows_->size());
      return S_FALSE;
    }
    position_ += celt;
    return S_OK;
  }
  STDMETHODIMP Reset() override {
    position_ = 0;
    return S_OK;
  }
  STDMETHODIMP Clone(IEnumVARIANT** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    return Boundary([&] {
      Ref<StringsEnumerator> copy;
      if (const HRESULT hr = CreateOwned(copy); FAILED(hr)) return hr;
      copy->Bind(collection_, position_);
      *out = copy.detach();
      return S_OK;
    });
  }

 protected:
  void* InterfaceFor(REFIID iid) override {
    return IsEqualIID(iid, IID_IEnumVARIANT) ? static_cast<IEnumVARIANT*>(this) : nullptr;
  }

 private:
  Ref<IUnknown> owner_;  // keeps the collection alive
  COstrelStrings* collection_ = nullptr;
  const std::vector<std::string>* rows_ = nullptr;
  size_t position_ = 0;
};

}  // namespace

void* COstrelStrings::InterfaceFor(REFIID iid) {
  if (IsEqualIID(iid, IID_IOstrelStrings) || IsEqualIID(iid, IID_IDispatch)) return static_cast<IOstrelStrings*>(this);
  return nullptr;
}

HRESULT COstrelStrings::NewEnumerator(IEnumVARIANT** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  Ref<StringsEnumerator> e;
  if (const HRESULT hr = CreateOwned(e); FAILED(hr)) return hr;
  e->Bind(this, 0);
  *out = e.detach();
  return S_OK;
}

STDMETHODIMP COstrelStrings::get__NewEnum(IUnknown** ppUnk) {
  if (!ppUnk) return E_POINTER;
  *ppUnk = nullptr;
  return Boundary([&] {
    IEnumVARIANT* e = nullptr;
    const HRESULT hr = NewEnumerator(&e);
    *ppUnk = e;  // IEnumVARIANT is its IUnknown
    return hr;
  });
}

STDMETHODIMP COstrelStrings::get_Enumerator(IEnumVARIANT** pVal) {
  return Boundary([&] { return NewEnumerator(pVal); });
}

STDMETHODIMP COstrelStrings::get_Item(LONG Index, BSTR* pVal) {
  if (!pVal) return E_POINTER;
  *pVal = nullptr;
  if (Index < 1) return E_INVALIDARG;
  if (static_cast<size_t>(Index) > rows_.size()) return E_FAIL;
  return AnsiToBstr(rows_[static_cast<size_t>(Index) - 1], pVal);
}

STDMETHODIMP COstrelStrings::get_Count(LONG* pVal) {
  if (!pVal) return E_POINTER;
  *pVal = static_cast<LONG>(rows_.size());
  return S_OK;
}

STDMETHODIMP COstrelStrings::Add(BSTR newVal, LONG* pnNewIndex) {
  if (!pnNewIndex) return E_POINTER;
  return Boundary([&] {
    std::string row;
    if (const HRESULT hr = BstrToAnsi(newVal, row); FAILED(hr)) return hr;
    *pnNewIndex = AppendRow(row);
    return S_OK;
  });
}

STDMETHODIMP COstrelStrings::Remove(LONG nIndex, LONG* pnItemsCount) {
  if (!pnItemsCount) return E_POINTER;
  if (nIndex < 0 || static_cast<size_t>(nIndex) >= rows_.size()) return E_INVALIDARG;
  rows_.erase(rows_.begin() + nIndex);
  *pnItemsCount = static_cast<LONG>(rows_.size());
  return S_OK;
}

STDMETHODIMP COstrelStrings::Clear() {
  rows_.clear();
  return S_OK;
}

long COstrelStrings::AppendRow(std::string_view row) {
  rows_.emplace_back(row);
  return static_cast<long>(rows_.size() - 1);
}

// --- CEnumHelper -----------------------------------------------------------------------------

void* CEnumHelper::InterfaceFor(REFIID iid) {
  if (IsEqualIID(iid, IID_IEnumHelper) || IsEqualIID(iid, IID_IDispatch)) return static_cast<IEnumHelper*>(this);
  return nullptr;
}

STDMETHODIMP CEnumHelper::get__NewEnum(IUnknown** ppUnk) {
  if (!ppUnk) return E_POINTER;
  *ppUnk = nullptr;
  return Boundary([&] {
    if (attached_) {
      IEnumVARIANT* clone = nullptr;
      if (SUCCEEDED(attached_->Clone(&clone))) *ppUnk = clone;
    }
    return S_OK;
  });
}

STDMETHODIMP CEnumHelper::Attach(IEnumVARIANT* pEnumerator) {
  if (!pEnumerator) return E_POINTER;
  attached_ = Ref<IEnumVARIANT>(pEnumerator);  // held before the old one goes
  return S_OK;
}

STDMETHODIMP CEnumHelper::Detach() {
  attached_ = Ref<IEnumVARIANT>();
  return S_OK;
}

STDMETHODIMP CEnumHelper::AttachAsUntyped(IUnknown* pEnumerator) {
  if (!pEnumerator) return E_POINTER;
  Ref<IEnumVARIANT> e;
  const HRESULT hr = pEnumerator->QueryInterface(IID_IEnumVARIANT, reinterpret_cast<void**>(e.put()));
  attached_ = std::move(e);
  return SUCCEEDED(hr) ? S_OK : E_INVALIDARG;
}

STDMETHODIMP CEnumHelper::Next(VARIANT* pVar) {
  if (!attached_) {
    if (pVar) ::VariantInit(pVar);
    return S_OK;
  }
  if (!pVar) return E_INVALIDARG;
  ULONG fetched = 0;
  const HRESULT hr = attached_->Next(1, pVar, &fetched);
  // The end is S_OK with the caller's VT_EMPTY left alone; a broken enumerator is reported.
  return FAILED(hr) ? hr : S_OK;
}

STDMETHODIMP CEnumHelper::Skip(ULONG celt) { return attached_ ? attached_->Skip(celt) : S_OK; }

STDMETHODIMP CEnumHelper::Reset() { return attached_ ? attached_->Reset() : S_OK; }

STDMETHODIMP CEnumHelper::Clone(IEnumVARIANT** ppEnum) {
  if (!attached_) {
    if (ppEnum) *ppEnum = nullptr;
    return S_OK;
  }
  return attached_->Clone(ppEnum);
}

}  // namespace korvane::com
