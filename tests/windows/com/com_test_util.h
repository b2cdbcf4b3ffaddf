// What the C++ client tests of korvane.dll share: COM set-up, the simulators behind the tests,
// text and file helpers, and a strict event sink.
#pragma once
#include <windows.h>
#include <ocidl.h>
#include <oleauto.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "automation/korvane_idl.h"

namespace korvane::comtest {

// COM for the calling thread, apartment or multithreaded.
class ComApartment {
 public:
  explicit ComApartment(DWORD model = COINIT_APARTMENTTHREADED) { hr_ = ::CoInitializeEx(nullptr, model); }
  ~ComApartment() {
    if (SUCCEEDED(hr_)) ::CoUninitialize();
  }
  HRESULT Result() const { return hr_; }

 private:
  HRESULT hr_;
};

// Owns one BSTR.
class Bstr {
 public:
  Bstr() = default;
  explicit Bstr(const wchar_t* text) : b_(::SysAllocString(text)) {}
  ~Bstr() { ::SysFreeString(b_); }
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;
  BSTR get() const { return b_; }
  BSTR* out() {
    ::SysFreeString(b_);
    b_ = nullptr;
    return &b_;
  }
  std::wstring wide() const { return b_ ? std::wstring(b_, ::SysStringLen(b_)) : std::wstring(); }
  // The text as the terminal's bytes (Windows-1251).
  std::string cp1251() const;

 private:
  BSTR b_ = nullptr;
};

std::wstring Wide1251(const std::string& bytes);

// "LAN:127.0.0.1:PORT" of a simulator fixture (v3, v2, silent, nojob); empty when it is not running.
std::wstring SimPort(const char* name);
// A file of a simulator's state folder (data/..., journal.txt), read whole.
std::string SimFile(const char* name, const std::string& relative);
std::string ReadBytes(const std::string& path);
// The lines of a text, each ending in `end_of_line` (the last one may lack it).
std::vector<std::string> SplitLines(const std::string& bytes, const std::string& end_of_line);
// The rows of a CSV file as the library reads them: lines ending in CR LF.
std::vector<std::string> CsvRows(const std::string& bytes);
// A sample table of samples/data.
std::string SampleFile(const std::string& name);

// korvane.dll's own DllCanUnloadNow, through the module COM loaded.
HRESULT DllCanUnloadNowOfKorvane();

// Rows of an enumerator as Windows-1251 text; fails the test on a non-string element.
std::vector<std::string> DrainEnum(IEnumVARIANT* e);

// An event sink that records every call and checks its shape: DISPATCH_METHOD, IID_NULL, two VT_I4
// arguments, no named arguments, no result wanted.
class RecordingSink final : public IDispatch {
 public:
  struct Call {
    DISPID id;
    long done;   // nReceived / nSent
    long total;  // nCount
  };
  std::vector<Call> calls;
  int bad_shape = 0;
  std::function<void(const Call&)> on_call;  // runs inside the event
  // Across apartments the marshaler's stub always hands in a result variant.
  bool result_allowed = false;

  STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
  STDMETHODIMP_(ULONG) Release() override { return --refs_; }  // lives on the test's stack
  STDMETHODIMP GetTypeInfoCount(UINT* n) override {
    *n = 0;
    return S_OK;
  }
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  STDMETHODIMP Invoke(DISPID id, REFIID iid, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT* result, EXCEPINFO*,
                      UINT*) override;
  ULONG Refs() const { return refs_; }

 private:
  ULONG refs_ = 0;
};

// Advises `sink` on the object's event interface; returns the cookie (0 on failure).
DWORD Advise(IUnknown* object, IUnknown* sink, HRESULT* hr = nullptr, const IID& events = DIID__IOstrelEvents);
HRESULT Unadvise(IUnknown* object, DWORD cookie, const IID& events = DIID__IOstrelEvents);

}  // namespace korvane::comtest
