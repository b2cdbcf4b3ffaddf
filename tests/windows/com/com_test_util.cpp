#include "com_test_util.h"

#include <fstream>
#include <sstream>

namespace korvane::comtest {

namespace {
constexpr UINT kTerminalCodePage = 1251;
}

std::string Bstr::cp1251() const {
  if (!b_ || !::SysStringLen(b_)) return {};
  const int n = static_cast<int>(::SysStringLen(b_));
  const int bytes = ::WideCharToMultiByte(kTerminalCodePage, 0, b_, n, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(bytes), '\0');
  ::WideCharToMultiByte(kTerminalCodePage, 0, b_, n, out.data(), bytes, nullptr, nullptr);
  return out;
}

std::wstring Wide1251(const std::string& bytes) {
  if (bytes.empty()) return {};
  const int n = ::MultiByteToWideChar(kTerminalCodePage, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  ::MultiByteToWideChar(kTerminalCodePage, 0, bytes.data(), static_cast<int>(bytes.size()), out.data(), n);
  return out;
}

std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string SimFile(const char* name, const std::string& relative) {
  return ReadBytes(std::string(KORVANE_COM_STATE) + "/" + name + "/" + relative);
}

std::wstring SimPort(const char* name) {
  std::string port = SimFile(name, "port");
  while (!port.empty() && (port.back() == '\n' || port.back() == '\r')) port.pop_back();
  if (port.empty()) return {};
  return L"LAN:127.0.0.1:" + std::wstring(port.begin(), port.end());
}

std::string SampleFile(const std::string& name) { return ReadBytes(std::string(KORVANE_SAMPLES) + "/" + name); }

std::vector<std::string> SplitLines(const std::string& bytes, const std::string& end_of_line) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < bytes.size()) {
    size_t end = bytes.find(end_of_line, start);
    if (end == std::string::npos) end = bytes.size();
    lines.push_back(bytes.substr(start, end - start));
    start = end + end_of_line.size();
  }
  return lines;
}

std::vector<std::string> CsvRows(const std::string& bytes) { return SplitLines(bytes, "\r\n"); }

HRESULT DllCanUnloadNowOfKorvane() {
  HMODULE module = ::GetModuleHandleW(L"korvane.dll");
  if (!module) return S_OK;  // never loaded: nothing alive
  auto fn = reinterpret_cast<HRESULT(WINAPI*)()>(reinterpret_cast<void*>(::GetProcAddress(module, "DllCanUnloadNow")));
  return fn ? fn() : E_FAIL;
}

std::vector<std::string> DrainEnum(IEnumVARIANT* e) {
  std::vector<std::string> rows;
  if (!e) return rows;
  for (;;) {
    VARIANT v;
    ::VariantInit(&v);
    ULONG fetched = 0;
    if (e->Next(1, &v, &fetched) != S_OK || fetched != 1) break;
    EXPECT_EQ(V_VT(&v), VT_BSTR);
    if (V_VT(&v) == VT_BSTR) {
      Bstr b;
      *b.out() = V_BSTR(&v);
      rows.push_back(b.cp1251());
    } else {
      ::VariantClear(&v);
    }
  }
  return rows;
}

STDMETHODIMP RecordingSink::QueryInterface(REFIID iid, void** out) {
  if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch) || IsEqualIID(iid, DIID__IOstrelEvents)) {
    *out = static_cast<IDispatch*>(this);
    AddRef();
    return S_OK;
  }
  *out = nullptr;
  return E_NOINTERFACE;
}

STDMETHODIMP RecordingSink::Invoke(DISPID id, REFIID iid, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                                   EXCEPINFO*, UINT*) {
  const bool shape = IsEqualIID(iid, IID_NULL) && flags == DISPATCH_METHOD && params && params->cArgs == 2 &&
                     params->cNamedArgs == 0 && (!result || result_allowed) && V_VT(&params->rgvarg[0]) == VT_I4 &&
                     V_VT(&params->rgvarg[1]) == VT_I4;
  if (!shape) {
    ++bad_shape;
    return S_OK;
  }
  // Arguments arrive in reverse order: rgvarg[0] is nCount.
  Call call{id, V_I4(&params->rgvarg[1]), V_I4(&params->rgvarg[0])};
  calls.push_back(call);
  if (on_call) on_call(call);
  return S_OK;
}

namespace {
HRESULT FindPoint(IUnknown* object, const IID& events, IConnectionPoint** point) {
  IConnectionPointContainer* container = nullptr;
  HRESULT hr = object->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container));
  if (FAILED(hr)) return hr;
  hr = container->FindConnectionPoint(events, point);
  container->Release();
  return hr;
}
}  // namespace

DWORD Advise(IUnknown* object, IUnknown* sink, HRESULT* hr_out, const IID& events) {
  IConnectionPoint* point = nullptr;
  HRESULT hr = FindPoint(object, events, &point);
  DWORD cookie = 0;
  if (SUCCEEDED(hr)) {
    hr = point->Advise(sink, &cookie);
    point->Release();
  }
  if (hr_out) *hr_out = hr;
  return cookie;
}

HRESULT Unadvise(IUnknown* object, DWORD cookie, const IID& events) {
  IConnectionPoint* point = nullptr;
  HRESULT hr = FindPoint(object, events, &point);
  if (FAILED(hr)) return hr;
  hr = point->Unadvise(cookie);
  point->Release();
  return hr;
}

}  // namespace korvane::comtest
