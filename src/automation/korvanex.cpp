#include "automation/korvanex.h"

#include <algorithm>

#include "automation/bstr_text.h"

namespace korvane::com {

namespace {

int32_t Clamped(int32_t r, bool clamp) { return clamp ? std::max<int32_t>(r, 0) : r; }

// A text argument run through `op`; its result into *ret, held at 0 from below when `clamp`.
template <class Op>
HRESULT WithText(BSTR text, LONG* ret, bool clamp, Op op) {
  if (!ret) return E_POINTER;
  return Boundary([&] {
    std::string ansi;
    const HRESULT hr = BstrToAnsi(text, ansi);
    if (FAILED(hr)) return hr;
    *ret = Clamped(op(ansi), clamp);
    return S_OK;
  });
}

template <class Op>
HRESULT Result(Op op, LONG* ret, bool clamp) {
  if (!ret) return E_POINTER;
  return Boundary([&] {
    *ret = Clamped(op(), clamp);
    return S_OK;
  });
}

HRESULT Receive(KorvaneXCore& core, BSTR* text, LONG* ret, bool clamp) {
  if (!text || !ret) return E_POINTER;
  *text = nullptr;
  return Boundary([&] {
    const int32_t r = core.TryToRecv();
    const HRESULT hr = AnsiToBstr(core.Buffer(), text);
    if (FAILED(hr)) return hr;
    *ret = Clamped(r, clamp);
    return S_OK;
  });
}

template <class Op>
HRESULT Text(Op value, BSTR* out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  return Boundary([&] { return AnsiToBstr(value(), out); });
}

}  // namespace

// ---- KorvaneX ----

CKorvaneX::CKorvaneX(IUnknown* outer)
    : ObjectRoot(outer), core_(KorvaneXCore::Flavor::kX1, SystemProfile(kKorvaneIni)) {}

void* CKorvaneX::InterfaceFor(REFIID iid) {
  if (IsEqualIID(iid, IID_IKorvaneX) || IsEqualIID(iid, IID_IDispatch)) return static_cast<IKorvaneX*>(this);
  return nullptr;
}

STDMETHODIMP CKorvaneX::OpenPort(BSTR szComPort, LONG* pRetVal) {
  return WithText(szComPort, pRetVal, true, [&](const std::string& s) { return core_.OpenPort(s); });
}
STDMETHODIMP CKorvaneX::ClosePort(LONG* pRetVal) {
  return Result([&] { return core_.ClosePort(); }, pRetVal, true);
}
STDMETHODIMP CKorvaneX::SendCMD(BSTR szCMD, LONG* pRetVal) {
  return WithText(szCMD, pRetVal, true, [&](const std::string& s) { return core_.SendCMD(s); });
}
STDMETHODIMP CKorvaneX::TryToRecv(BSTR* szBuffer, LONG* pRetVal) { return Receive(core_, szBuffer, pRetVal, true); }
STDMETHODIMP CKorvaneX::TryToSend(BSTR szBuffer, LONG* pRetVal) {
  return WithText(szBuffer, pRetVal, true, [&](const std::string& s) { return core_.TryToSend(s); });
}
STDMETHODIMP CKorvaneX::get_Buffer(BSTR* pVal) {
  return Text([&] { return core_.Buffer(); }, pVal);
}
STDMETHODIMP CKorvaneX::SendEOT() {
  return Boundary([&] {
    core_.SendEOT();
    return S_OK;
  });
}
STDMETHODIMP CKorvaneX::get_EOF(LONG* pVal) {
  return Result([&] { return core_.EndOfData(); }, pVal, false);
}
STDMETHODIMP CKorvaneX::OpenIRDA(BSTR szComPort, LONG* pRetVal) {
  return WithText(szComPort, pRetVal, true, [&](const std::string& s) { return core_.OpenIRDA(s); });
}

HRESULT CreateKorvaneX(IUnknown* outer, REFIID iid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (outer) return CLASS_E_NOAGGREGATION;
  return CreateObject<CKorvaneX>(nullptr, iid, out);
}

// ---- KorvaneX2 ----

CKorvaneX2::CKorvaneX2(IUnknown* outer)
    : ObjectRoot(outer), core_(KorvaneXCore::Flavor::kX2, SystemProfile(kKorvaneIni)) {}

void* CKorvaneX2::InterfaceFor(REFIID iid) {
  if (IsEqualIID(iid, IID_IKorvaneX2) || IsEqualIID(iid, IID_IDispatch)) return static_cast<IKorvaneX2*>(this);
  return nullptr;
}

STDMETHODIMP CKorvaneX2::OpenPort(BSTR szComPort, LONG* pRetVal) {
  return WithText(szComPort, pRetVal, false, [&](const std::string& s) { return core_.OpenPort(s); });
}
STDMETHODIMP CKorvaneX2::OpenIRDA(BSTR szComPort, LONG* pRetVal) {
  return WithText(szComPort, pRetVal, false, [&](const std::string& s) { return core_.OpenIRDA(s); });
}
STDMETHODIMP CKorvaneX2::ClosePort(LONG* pRetVal) {
  return Result([&] { return core_.ClosePort(); }, pRetVal, false);
}
STDMETHODIMP CKorvaneX2::SendCMD(BSTR szCMD, LONG* pRetVal) {
  return WithText(szCMD, pRetVal, false, [&](const std::string& s) { return core_.SendCMD(s); });
}
STDMETHODIMP CKorvaneX2::TryToSend(BSTR szBuffer, LONG* pRetVal) {
  return WithText(szBuffer, pRetVal, false, [&](const std::string& s) { return core_.TryToSend(s); });
}
STDMETHODIMP CKorvaneX2::TryToRecv(BSTR* szBuffer, LONG* pRetVal) { return Receive(core_, szBuffer, pRetVal, false); }
STDMETHODIMP CKorvaneX2::SendEOT(LONG* pRetVal) {
  return Result([&] { return core_.SendEOT(); }, pRetVal, false);
}
STDMETHODIMP CKorvaneX2::get_EOF(LONG* pVal) {
  return Result([&] { return core_.EndOfData(); }, pVal, false);
}
STDMETHODIMP CKorvaneX2::get_LibraryVersion(BSTR* pVal) {
  return Text([] { return std::string(kKorvaneLibraryVersion); }, pVal);
}
STDMETHODIMP CKorvaneX2::get_ProtocolVersion(BSTR* pVal) {
  return Text([&] { return core_.ProtocolVersion(); }, pVal);
}
STDMETHODIMP CKorvaneX2::IsTerminalOnline(LONG nTimeoutMS, LONG* pRetVal) {
  return Result([&] { return core_.IsTerminalOnline(nTimeoutMS); }, pRetVal, false);
}
STDMETHODIMP CKorvaneX2::SelectProtocolVersion(BSTR szQueryVersion, BSTR* szSelectedVersion) {
  if (!szSelectedVersion) return E_POINTER;
  *szSelectedVersion = nullptr;
  return Boundary([&] {
    std::string query;
    const HRESULT hr = BstrToAnsi(szQueryVersion, query);
    if (FAILED(hr)) return hr;
    return AnsiToBstr(core_.SelectProtocolVersion(query), szSelectedVersion);
  });
}
STDMETHODIMP CKorvaneX2::get_Buffer(BSTR* pVal) {
  return Text([&] { return core_.Buffer(); }, pVal);
}

}  // namespace korvane::com
