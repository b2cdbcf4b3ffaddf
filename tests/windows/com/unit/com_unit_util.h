// What the automation unit tests share: a fixture that checks every object went away, an owning
// VARIANT, and a scripted IEnumVARIANT that counts what is done to it.
#pragma once
#include <gtest/gtest.h>
#include <windows.h>
#include <oleauto.h>

#include <string>
#include <vector>

#include "automation/com_module.h"
#include "automation/com_object.h"
#include "../com_test_util.h"

namespace korvane::com::test {

using comtest::Bstr;

inline constexpr LCID kRussian = 0x419;  // CP_THREAD_ACP 1251
inline constexpr LCID kEnglish = 0x409;  // CP_THREAD_ACP 1252

// Each test runs with a Cyrillic thread code page whatever the environment, and must leave no
// object of the library behind.
class ComUnitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_locale_ = ::GetThreadLocale();
    ASSERT_TRUE(::SetThreadLocale(kRussian));
  }
  void TearDown() override {
    ::SetThreadLocale(saved_locale_);
    EXPECT_EQ(ModuleCount(), 0) << "an object of the library is still alive";
  }

 private:
  LCID saved_locale_ = 0;
};

struct Variant : VARIANT {
  Variant() { ::VariantInit(this); }
  ~Variant() { ::VariantClear(this); }
  Variant(const Variant&) = delete;
  Variant& operator=(const Variant&) = delete;
};

// The text of a VT_BSTR variant; a marker when it is not one.
inline std::wstring TextOf(const VARIANT& v) {
  if (V_VT(&v) != VT_BSTR) return L"<vt " + std::to_wstring(V_VT(&v)) + L">";
  return std::wstring(V_BSTR(&v), ::SysStringLen(V_BSTR(&v)));
}

// Counts its references without ever deleting itself, so a test can tell whether (and when) the
// last one went. Answers IUnknown only, unless `dispatch` is set.
class CountedUnknown : public IDispatch {
 public:
  ULONG refs = 1;
  bool dispatch = false;
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    *out = nullptr;
    if (!IsEqualIID(iid, IID_IUnknown) && !(dispatch && IsEqualIID(iid, IID_IDispatch))) return E_NOINTERFACE;
    *out = this;
    AddRef();
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
  STDMETHODIMP_(ULONG) Release() override { return --refs; }
  STDMETHODIMP GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
    return DISP_E_MEMBERNOTFOUND;
  }
};

// An enumerator over copies of `items`; `fail` makes Next answer with that failure.
class FakeEnum final : public IEnumVARIANT {
 public:
  ULONG refs = 1;
  bool died = false;  // the count reached zero at some point
  HRESULT fail = S_OK;
  HRESULT skip_result = S_OK;
  int resets = 0;
  std::vector<ULONG> skips;
  std::vector<VARIANT> items;

  ~FakeEnum() {
    for (VARIANT& v : items) ::VariantClear(&v);
  }
  void AddText(const wchar_t* text) {
    VARIANT v;
    V_VT(&v) = VT_BSTR;
    V_BSTR(&v) = ::SysAllocString(text);
    items.push_back(v);
  }
  void AddI4(LONG value) {
    VARIANT v;
    V_VT(&v) = VT_I4;
    V_I4(&v) = value;
    items.push_back(v);
  }
  void AddUnknown(IUnknown* unknown, VARTYPE type) {
    VARIANT v;
    V_VT(&v) = type;
    V_UNKNOWN(&v) = unknown;
    unknown->AddRef();
    items.push_back(v);
  }

  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    *out = nullptr;
    if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IEnumVARIANT)) return E_NOINTERFACE;
    *out = this;
    AddRef();
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
  STDMETHODIMP_(ULONG) Release() override {
    if (--refs == 0) died = true;
    return refs;
  }
  STDMETHODIMP Next(ULONG celt, VARIANT* rgelt, ULONG* fetched) override {
    if (FAILED(fail)) return fail;
    ULONG given = 0;
    for (; given < celt && position_ < items.size(); ++given, ++position_)
      ::VariantCopy(&rgelt[given], &items[position_]);
    if (fetched) *fetched = given;
    return given == celt ? S_OK : S_FALSE;
  }
  STDMETHODIMP Skip(ULONG celt) override {
    skips.push_back(celt);
    return skip_result;
  }
  STDMETHODIMP Reset() override {
    ++resets;
    position_ = 0;
    return S_OK;
  }
  STDMETHODIMP Clone(IEnumVARIANT**) override { return E_NOTIMPL; }

 private:
  size_t position_ = 0;
};

}  // namespace korvane::com::test
